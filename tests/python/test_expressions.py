"""The walk of the `expressions` dictionary, seen through the entries: every
refusal with its chain, and a dictionary changed while it is walked."""

import pytest

import _vornik
from contracts import T0, timetable

EVENTS = timetable([(T0, "t0", "+", 1.0, "p")])
TIMETABLE_ERROR = "Error while parsing Timetable, caused by \n"


def read_error(expressions):
    """The timetable error text for these expressions, or None when they read."""
    try:
        _vornik.backtest_csv(EVENTS, None, "", "USD", expressions)
    except RuntimeError as e:
        if str(e).startswith(TIMETABLE_ERROR):
            return str(e)[len(TIMETABLE_ERROR):]
    return None


def fn(inputs):
    return [1.0]


def phrase(**extra):
    return {"type": "phrase", "fn": fn, "inp": ["a"], **extra}


def snapper(**extra):
    return {"type": "snapper", "fn": fn, "inp": [], "out": ["x", "y"], **extra}


def without(description, key):
    return {k: v for k, v in description.items() if k != key}


class Unsized(list):
    """Input names whose length cannot be told; they are still walked."""

    def __len__(self):
        raise ValueError("no length")


class Description(dict):
    """A dict subclass whose own lookups must not be used."""

    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")

    def __missing__(self, key):
        raise AssertionError("__missing__ called")


@pytest.mark.parametrize(
    "expressions",
    [
        {},
        {"p": phrase(), "s": snapper()},
        {"p": phrase(out=3, extra="ignored")},
        {"p": phrase(fn=None, inp=[])},
        {"p": phrase(inp=("a", "b"))},
        {"p": phrase(inp=Unsized(["a"]))},
        {"s": snapper(out=[])},
        {"p": Description(phrase())},
    ],
    ids=["empty", "phrase-and-snapper", "phrase-ignores-out", "fn-not-checked", "inp-tuple", "inp-without-length",
         "no-outputs", "description-subclass"],
)
def test_valid_expressions_read(expressions):
    assert read_error(expressions) is None


def expression(name, cause):
    return f"Error while parsing expression '{name}', caused by \n{cause}"


@pytest.mark.parametrize(
    "expressions, message",
    [
        ({1: phrase()}, "TypeError: 'int' object is not an instance of 'str'"),
        ({"p": 3}, "Error in value of n/a, likely incorrect type. caused by \n'int' object is not an instance of 'dict'"),
        ({"p": None}, "Error in value of n/a, likely incorrect type. caused by \n'None' is not an instance of 'dict'"),
        ({"p": {}}, expression("p", "Py Dictionary is missing key 'type'")),
        ({"p": Description()}, expression("p", "Py Dictionary is missing key 'type'")),
        ({"p": phrase(type=1)}, expression("p", "Error in value of type, likely incorrect type. caused by \n"
                                                "TypeError: 'int' object is not an instance of 'str'")),
        ({"b1": {"type": "batch"}}, expression("b1", "Batch is not supported in this package")),
        ({"p": phrase(type="Phrase")}, expression("p", "Invalid value 'Phrase' for key 'type'")),
        ({"p": phrase(type="function")}, expression("p", "Invalid value 'function' for key 'type'")),
        ({"p": without(phrase(), "fn")}, expression("p", "Py Dictionary is missing key 'fn'")),
        ({"p": without(phrase(), "inp")}, expression("p", "Py Dictionary is missing key 'inp'")),
        ({"s": {"type": "snapper"}}, expression("s", "Py Dictionary is missing key 'fn'")),
        ({"s": without(snapper(), "out")}, expression("s", "Py Dictionary is missing key 'out'")),
        ({"p": phrase(inp="a")}, expression("p", "Error in value of inp, likely incorrect type. caused by \n"
                                                 "TypeError: Can't extract `str` to `Vec`")),
        ({"p": phrase(inp=["a", 1])}, expression("p", "Error in value of inp, likely incorrect type. caused by \n"
                                                      "TypeError: 'int' object is not an instance of 'str'")),
        ({"p": phrase(inp={"a": 1})}, expression("p", "Error in value of inp, likely incorrect type. caused by \n"
                                                      "TypeError: 'dict' object is not an instance of 'Sequence'")),
        ({"s": snapper(out="x")}, expression("s", "Error in value of out, likely incorrect type. caused by \n"
                                                  "TypeError: Can't extract `str` to `Vec`")),
        ({"a": phrase(), "b": phrase(type="x"), "c": 3}, expression("b", "Invalid value 'x' for key 'type'")),
        ({"\udc80": phrase()}, "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udc80' in position 0: "
                               "surrogates not allowed"),
    ],
)
def test_refusals_print_their_chain(expressions, message):
    assert read_error(expressions) == message


def test_a_subclass_of_dict_is_walked_as_a_dict():
    class Expressions(dict):
        def items(self):
            raise AssertionError("items called")

        def __iter__(self):
            raise AssertionError("__iter__ called")

    assert read_error(Expressions(p=phrase())) is None
    assert read_error(Expressions(b1={"type": "batch"})) == expression("b1", "Batch is not supported in this package")


class Changing:
    """A sequence of input names whose iteration changes the expressions."""

    def __init__(self, change):
        self.change = change

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i > 0:
            raise IndexError(i)
        return "a"

    def __iter__(self):
        self.change()
        return iter(["a"])


@pytest.mark.parametrize("change", ["add", "remove", "clear"])
def test_a_dictionary_changed_during_the_walk_ends_the_read(change):
    expressions = {}
    actions = {
        "add": lambda: expressions.__setitem__("new", phrase()),
        "remove": lambda: expressions.pop("q"),
        "clear": expressions.clear,
    }
    expressions.update(p=phrase(inp=Changing(actions[change])), q=phrase())
    assert read_error(expressions) == "RuntimeError: dictionary changed size during iteration"


def test_a_change_during_the_last_entry_is_noticed():
    expressions = {}
    expressions["p"] = phrase(inp=Changing(lambda: expressions.__setitem__("new", phrase())))
    assert read_error(expressions) == "RuntimeError: dictionary changed size during iteration"
