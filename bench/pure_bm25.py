"""The same formulas in idiomatic pure Python: what a user would otherwise write."""
import math
from collections import Counter


class PureBM25:
    def __init__(self, b=0.75, k1=1.2):
        self.b, self.k1 = b, k1
        self.doc_count, self.length_total, self.average = 0, 0, 0.0
        self.frequency = {}

    def train(self, tokens):
        if not tokens:
            raise RuntimeError("trainning tokens_vec should not be empty")
        frequency = self.frequency
        for token, count in Counter(tokens).items():
            key = token if isinstance(token, str) else str(token)
            frequency[key] = frequency.get(key, 0) + count
        self.doc_count += 1
        self.length_total += len(tokens)
        self.average = self.length_total / self.doc_count

    def encode_document(self, tokens):
        factor = (len(tokens) / self.average * self.b + (1.0 - self.b)) * self.k1
        return {token: count / (count + factor) for token, count in sorted(Counter(tokens).items())}

    def encode_query(self, tokens):
        n1, frequency, weights = self.doc_count + 1, self.frequency, {}
        for token in tokens:
            if token not in weights:
                key = token if isinstance(token, str) else str(token)
                weights[token] = math.log(n1 / (frequency.get(key, 1) + 0.5))
        ordered = sorted(weights.items())
        total = 0.0
        for _, weight in ordered:
            total += weight
        return {token: weight / total for token, weight in ordered}
