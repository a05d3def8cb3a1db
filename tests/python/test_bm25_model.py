import math

import pytest

from durevarare import BM25


def test_document_worked_example_is_exact(worked_model):
    assert worked_model.encode_document(["a", "b", "a"]) == {"a": 0.547945205479452, "b": 0.37735849056603776}


def test_query_worked_examples_are_exact(worked_model):
    expected = {"a": 0.2082559308114424, "c": 0.7917440691885577}
    assert worked_model.encode_query(["a", "c"]) == expected
    assert worked_model.encode_query(["c", "a", "c"]) == expected
    assert worked_model.encode_query(["only"]) == {"only": 1.0}


def test_inner_product_is_the_bm25_score(worked_model):
    query = worked_model.encode_query(["a", "c"])
    document = worked_model.encode_document(["a", "b", "a"])
    idf_a, idf_c = math.log(3 / 2.5), math.log(3 / 1.5)
    score = sum(weight * document.get(token, 0.0) for token, weight in query.items())
    assert score == pytest.approx(idf_a * (2 / 3.65) / (idf_a + idf_c), rel=1e-15)


def test_negative_weights_are_kept():
    model = BM25()
    model.train(["x", "x", "x"])
    assert model.encode_query(["x", "y"]) == {"x": 2.05791248407771, "y": -1.0579124840777099}


def test_integer_and_string_tokens_share_statistics():
    model = BM25()
    model.train([5, 5, 9])
    assert model.encode_query([9]) == {9: 1.0}
    by_int = model.encode_query([9, 5])
    model_str = BM25()
    model_str.train(["5", "5", "9"])
    by_str = model_str.encode_query(["9", "5"])
    assert by_int == {int(key): value for key, value in by_str.items()}
    model.train(["9"])
    assert model.encode_query([9, 1])[9] == pytest.approx(
        math.log(3 / 2.5) / (math.log(3 / 2.5) + math.log(3 / 1.5)))


def test_bytes_tokens_train_like_their_text():
    by_bytes, by_text = BM25(), BM25()
    by_bytes.train([b"\xe4\xb8\xad", b"x"])
    by_text.train(["中", "x"])
    assert by_bytes.encode_query(["中", "y"]) == by_text.encode_query(["中", "y"])


def test_parameters_apply_at_the_next_encoding(worked_model):
    before = worked_model.encode_document(["a", "a", "a"])
    worked_model.b(0.0)
    worked_model.k1(1.0)
    assert worked_model.encode_document(["a", "a", "a"]) == {"a": 0.75}
    assert before != {"a": 0.75}
