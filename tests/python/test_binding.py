"""How the six entries are bound: signatures, call sorting, argument checks."""

import shutil
import subprocess

import pytest

import _vornik

PRICING = ["mc_price", "fixed_price", "fd_hullwhite_price", "fd_blackscholes_price"]
SIGNATURES = {
    **{name: "(events_rb, py_state, dataset, expressions)" for name in PRICING},
    "backtest_csv": "(events_rb, py_state, _filename, base, expressions)",
    "backtest_py": "(events_rb, py_state, expressions, base)",
}


def test_module_lists_the_six_entries_in_order():
    assert _vornik.__all__ == [*PRICING, "backtest_csv", "backtest_py"]
    assert _vornik.__doc__ == "basic"


def test_the_init_function_is_the_only_exported_symbol():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is missing")
    listing = subprocess.run([nm, "-D", "--defined-only", _vornik.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit__vornik"], listing


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_text_signature_and_doc(name):
    function = getattr(_vornik, name)
    assert function.__text_signature__ == SIGNATURES[name]
    first = function.__doc__.splitlines()[0]
    if name in ("mc_price", "fixed_price"):
        assert first == "Takes the timetable as a pyarrow record batch and calculates price using monte carlo simulation."
    else:
        assert first == "Takes the timetable as a pyarrow record batch and calculates price using finite difference grid."
    assert function.__module__ == "_vornik"
    assert function.__self__ is _vornik


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _vornik.mc_price(), "mc_price() missing 4 required positional arguments: "
         "'events_rb', 'py_state', 'dataset', and 'expressions'"),
        (lambda: _vornik.backtest_py(1, 2, 3), "backtest_py() missing 1 required positional argument: 'base'"),
        (lambda: _vornik.mc_price(1, 2), "mc_price() missing 2 required positional arguments: 'dataset' and 'expressions'"),
        (lambda: _vornik.fixed_price(1, 2, 3, 4, 5), "fixed_price() takes 4 positional arguments but 5 were given"),
        (lambda: _vornik.backtest_csv(1, 2, 3, 4, 5, 6), "backtest_csv() takes 5 positional arguments but 6 were given"),
        (lambda: _vornik.fd_hullwhite_price(1, 2, 3, 4, dataset=5),
         "fd_hullwhite_price() got multiple values for argument 'dataset'"),
        (lambda: _vornik.mc_price(data=1), "mc_price() got an unexpected keyword argument 'data'"),
        (lambda: _vornik.mc_price(**{"\ud800": 1}), "mc_price() got an unexpected keyword argument '\ufffd'"),
        (lambda: _vornik.mc_price(1, 2, 3, 4, 5, data=1), "mc_price() takes 4 positional arguments but 5 were given"),
    ],
)
def test_bad_call_shapes_raise_type_error_without_note(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


class DictSubclass(dict):
    pass


@pytest.mark.parametrize("name", PRICING)
@pytest.mark.parametrize(
    "dataset, expressions, message, note",
    [
        ([], {}, "'list' object is not an instance of 'dict'", "while processing 'dataset'"),
        (None, {}, "'None' is not an instance of 'dict'", "while processing 'dataset'"),
        ({}, 3, "'int' object is not an instance of 'dict'", "while processing 'expressions'"),
        ([], 3, "'list' object is not an instance of 'dict'", "while processing 'dataset'"),
    ],
)
def test_pricing_arguments_are_type_checked_in_order(name, dataset, expressions, message, note):
    from contracts import timetable

    with pytest.raises(TypeError) as info:
        getattr(_vornik, name)(timetable([]), None, dataset, expressions)
    assert str(info.value) == message
    assert info.value.__notes__ == [note]


@pytest.mark.parametrize(
    "call, message, note",
    [
        (lambda tt: _vornik.backtest_csv(tt, None, 1, "USD", {}), "'int' object is not an instance of 'str'",
         "while processing '_filename'"),
        (lambda tt: _vornik.backtest_csv(tt, None, "", None, {}), "'None' is not an instance of 'str'",
         "while processing 'base'"),
        (lambda tt: _vornik.backtest_csv(tt, None, "", "USD", []), "'list' object is not an instance of 'dict'",
         "while processing 'expressions'"),
        (lambda tt: _vornik.backtest_py(tt, None, [], 1), "'list' object is not an instance of 'dict'",
         "while processing 'expressions'"),
        (lambda tt: _vornik.backtest_py(tt, None, {}, 1), "'int' object is not an instance of 'str'",
         "while processing 'base'"),
    ],
)
def test_backtest_arguments_are_type_checked_in_order(call, message, note):
    from contracts import timetable

    with pytest.raises(TypeError) as info:
        call(timetable([]))
    assert str(info.value) == message
    assert info.value.__notes__ == [note]


def test_keywords_in_any_order_and_dict_subclasses_are_accepted():
    from contracts import timetable

    # The conversions pass; whatever fails later is not a TypeError.
    with pytest.raises(Exception) as info:
        _vornik.fixed_price(expressions=DictSubclass(), dataset=DictSubclass(), py_state=None, events_rb=timetable([]))
    assert not isinstance(info.value, TypeError)
