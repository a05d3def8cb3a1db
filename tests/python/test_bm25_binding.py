import copy
import pickle
import struct

import pytest

from durevarare import BM25


def bits(value):
    return struct.pack(">d", value).hex()


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, (0.75, 1.2)),
    ((0.5,), {}, (0.5, 1.2)),
    ((), {"k1": 2.0}, (0.75, 2.0)),
    ((1.5, 0.8), {}, (1.5, 0.8)),
    ((1, 2), {}, (1.0, 2.0)),
    ((), {"b": 0.1, "k1": 0.2}, (0.1, 0.2)),
])
def test_constructor_arguments(args, kwargs, expected):
    model = BM25(*args, **kwargs)
    assert (model.b(), model.k1()) == expected


def test_defaults_are_exact_doubles():
    model = BM25()
    assert bits(model.b()) == "3fe8000000000000"
    assert bits(model.k1()) == "3ff3333333333333"


@pytest.mark.parametrize("args", [("0.5",), (None,), (0.5, 1.0, 2.0)])
def test_constructor_rejects_bad_arguments(args):
    with pytest.raises(TypeError, match=r"__init__\(\): incompatible constructor arguments"):
        BM25(*args)


def test_signatures_and_docstrings():
    assert BM25.__init__.__doc__.startswith(
        "__init__(self: durevarare.BM25, b: float = 0.75, k1: float = 1.2) -> None")
    assert BM25.train.__doc__.splitlines()[1:] == [
        "Overloaded function.", "",
        "1. train(self: durevarare.BM25, arg0: List[str]) -> None", "",
        "2. train(self: durevarare.BM25, arg0: List[int]) -> None"]
    assert "2. encode_document(self: durevarare.BM25, arg0: List[int]) -> Dict[int, float]" \
        in BM25.encode_document.__doc__
    assert "1. b(self: durevarare.BM25) -> float" in BM25.b.__doc__
    assert "2. b(self: durevarare.BM25, arg0: float) -> None" in BM25.b.__doc__
    assert BM25.__doc__ is None


def test_methods_in_registration_order():
    names = [name for name in vars(BM25) if not name.startswith("_")]
    expected = ["b", "k1", "train", "encode_document", "encode_query"]
    if "load" in names:
        expected[3:3] = ["load", "dump"]
    assert names == expected


def test_parameter_getters_and_setters():
    model = BM25()
    assert model.b(0.6) is None
    assert model.b() == 0.6
    model.b(1)
    assert model.b() == 1.0 and isinstance(model.b(), float)
    model.k1(-3.5)
    assert model.k1() == -3.5
    with pytest.raises(TypeError):
        model.b(value=0.5)
    with pytest.raises(TypeError):
        model.k1("1")


def test_second_init_is_ignored(worked_model):
    assert worked_model.__init__(0.1, 0.2) is None
    assert worked_model.b() == 0.75
    assert worked_model.encode_document(["a"]) != {}


def test_no_dynamic_attributes_and_subclassing():
    model = BM25()
    with pytest.raises(AttributeError):
        model.extra = 1

    class Mine(BM25):
        pass

    assert Mine(0.3).b() == 0.3

    class Forgetful(BM25):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=r"BM25.__init__\(\) must be called when overriding __init__"):
        Forgetful()


@pytest.mark.parametrize("bad", [["a", 1], "ab", ["a", 1.5], [1.5], [2 ** 63], [-2 ** 63 - 1], {"a"}, None])
def test_train_rejects_what_no_overload_takes(bm25, bad):
    with pytest.raises(TypeError) as error:
        bm25.train(bad)
    message = str(error.value)
    assert message.startswith("train(): incompatible function arguments. The following argument types are supported:\n")
    assert "1. (self: durevarare.BM25, arg0: List[str]) -> None" in message
    assert "\nInvoked with: " in message


def test_train_rejects_keywords(bm25):
    with pytest.raises(TypeError):
        bm25.train(tokens=["a"])


def test_empty_list_goes_to_the_string_overload(bm25):
    with pytest.raises(RuntimeError, match="^trainning tokens_vec should not be empty$"):
        bm25.train([])
    with pytest.raises(RuntimeError, match="^trainning tokens_vec should not be empty$"):
        bm25.train(())


def test_sequences_bytes_and_index_objects_are_accepted(bm25):
    class Index:
        def __index__(self):
            return 9

    bm25.train(("a", b"a", bytearray(b"b")))
    bm25.train([Index(), 2 ** 63 - 1, -2 ** 63])
    bm25.train(bytearray(b"\x01\x02"))  # a bytearray is a sequence of integers
    vector = bm25.encode_document(["a", "b"])
    assert list(vector) == ["a", "b"]
    assert bm25.encode_query([9]) == {9: 1.0}


def test_encoders_on_untrained_model(bm25):
    assert bm25.encode_document([]) == {}
    assert bm25.encode_query([]) == {}
    for call in (bm25.encode_document, bm25.encode_query):
        for tokens in (["a"], [1]):
            with pytest.raises(RuntimeError, match="^BM25 has not been initialized$"):
                call(tokens)


def test_dict_keys_come_in_ascending_order(worked_model):
    assert list(worked_model.encode_document(["b", "a", "B"])) == ["B", "a", "b"]
    assert list(worked_model.encode_document([10, -1, 3])) == [-1, 3, 10]
    assert list(worked_model.encode_query(["é", "z", "a"])) == ["a", "z", "é"]
    assert list(worked_model.encode_query([3, -1])) == [-1, 3]


def test_invalid_utf8_result_key_raises_unicode_error(worked_model):
    with pytest.raises(UnicodeDecodeError):
        worked_model.encode_document([b"\xff"])


def test_uninitialised_instance_raises_instead_of_crashing():
    blank = BM25.__new__(BM25)
    calls = [lambda: blank.b(), lambda: blank.b(0.5), lambda: blank.k1(), lambda: blank.train(["a"]),
             lambda: blank.encode_document(["a"]), lambda: blank.encode_query([1])]
    for call in calls:
        with pytest.raises(RuntimeError):
            call()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_raises_type_error(worked_model, protocol):
    with pytest.raises(TypeError, match=r"^cannot pickle 'durevarare.BM25' object$"):
        pickle.dumps(worked_model, protocol)


def test_copy_raises_type_error(worked_model):
    with pytest.raises(TypeError):
        copy.copy(worked_model)
    with pytest.raises(TypeError):
        copy.deepcopy(worked_model)
