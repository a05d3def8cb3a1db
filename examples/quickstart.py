"""A few documents, a BM25 model, and a ranked query: the smallest useful run."""
import durevarare

documents = [
    "the cat sat on the mat".split(),
    "the dog chased the cat".split(),
    "dogs and cats make good pets".split(),
    "the stock market fell sharply today".split(),
]

model = durevarare.BM25()  # b = 0.75, k1 = 1.2
for tokens in documents:
    model.train(tokens)

vectors = [model.encode_document(tokens) for tokens in documents]
for text in ["cat mat", "market today", "dog"]:
    query = model.encode_query(text.split())
    scores = [sum(weight * vector.get(token, 0.0) for token, weight in query.items()) for vector in vectors]
    best = sorted(range(len(documents)), key=lambda i: -scores[i])[:2]
    print(f"{text!r}: " + ", ".join(f"{' '.join(documents[i])!r} ({scores[i]:.4f})" for i in best))
