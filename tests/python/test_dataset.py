"""Reading the dataset through the pricing entries: the order of the keys, the
failure texts of the settings and of the asset table, and the refusal of
finite-difference settings the grid cannot run on."""

import copy
import math

import numpy as np
import pytest

import _vornik
from contracts import T0, YEAR_MS, flat_rate_dataset, forward_curve, timetable, zero_curve

LEAD = "Error while parsing Dataset, caused by\n"
MISSING = "Py Dictionary is missing key '{}'"
WRONG = "Error in value of {}, likely incorrect type. caused by \n{}"

MC, FIX, HW, BS = "mc_price", "fixed_price", "fd_hullwhite_price", "fd_blackscholes_price"
FD = {"N_X": 2, "MAX_X": 1.0, "TIMESTEP": 1 / 365}
COMPLETE = {
    MC: flat_rate_dataset(MC={"PATHS": 10, "SEED": 7}),
    FIX: flat_rate_dataset(FIXED={}),
    HW: flat_rate_dataset(FD=FD, HW={"MEANREV": 0.1, "VOL": 0.01}),
    BS: flat_rate_dataset(FD=FD, BS={"VOL": 0.2, "ASSET": "USD"}),
}
DROP = object()


def call(entry, dataset):
    """The dataset error text of a call, or None when the dataset was read."""
    events = timetable([(T0, "a", "+", 1.0, "USD")])
    try:
        getattr(_vornik, entry)(events, None, dataset, {})
    except RuntimeError as e:
        text = str(e)
        assert not text.startswith("Error while parsing Timetable"), text
        return text[len(LEAD):] if text.startswith(LEAD) else None
    return None


def dataset_of(entry, **changes):
    """The complete dataset of an entry with keys changed ("MC__PATHS" reaches
    into MC); DROP removes the key."""
    dataset = copy.deepcopy(COMPLETE[entry])
    for path, value in changes.items():
        *outer, key = path.split("__")
        target = dataset
        for name in outer:
            target = target[name]
        if value is DROP:
            target.pop(key, None)
        else:
            target[key] = value
    return dataset


OVERFLOW_NEGATIVE = "OverflowError: can't convert negative int to unsigned"
NOT_INDEX = "TypeError: 'float' object cannot be interpreted as an integer"
GOOD = np.array([[0.0, 1.0], [0.02, 0.03]])

# Most cases spoil several keys: the first in reading order is reported.
CASES = [
    *[(entry, {}, None) for entry in COMPLETE],
    (MC, {"BASE": DROP, "ASSETS": DROP, "MC": DROP}, MISSING.format("BASE")),
    (FIX, {"BASE": 1}, WRONG.format("BASE", "TypeError: 'int' object is not an instance of 'str'")),
    (MC, {"ASSETS": DROP, "MC": DROP}, MISSING.format("ASSETS")),
    (FIX, {"ASSETS": [("USD", GOOD)]}, WRONG.format("ASSETS", "TypeError: 'list' object is not an instance of 'dict'")),
    (MC, {"ASSETS": {"X": ["FORWARDS"]}, "MC": DROP},
     WRONG.format("n/a", "CastError { from: ['FORWARDS'], classinfo: <class 'tuple'> }")),
    (MC, {"MC": DROP, "PRICING_TS": DROP}, MISSING.format("MC")),
    (MC, {"MC": [1]}, WRONG.format("MC", "TypeError: 'list' object is not an instance of 'dict'")),
    (MC, {"MC__PATHS": DROP, "MC__SEED": DROP, "PRICING_TS": DROP}, MISSING.format("PATHS")),
    (MC, {"MC__SEED": DROP, "MC__FLAGS": 99, "PRICING_TS": DROP}, MISSING.format("SEED")),
    (MC, {"MC__SEED": -1}, WRONG.format("SEED", OVERFLOW_NEGATIVE)),
    (MC, {"MC__SEED": 2**64 - 1}, None),
    (MC, {"MC__FLAGS": 99, "PRICING_TS": DROP}, "Invalid bits set in FLAG"),
    (MC, {"PRICING_TS": DROP}, MISSING.format("PRICING_TS")),
    (MC, {"EXTRA": object(), "MC__EXTRA": []}, None),
    (FIX, {"BASE": "EUR"}, None),  # the base need not be among the assets
    (FIX, {"PRICING_TS": DROP, "FIXED": {"FLAGS": 99}}, MISSING.format("PRICING_TS")),
    (HW, {"FD": DROP, "HW": DROP}, MISSING.format("FD")),
    (HW, {"FD__N_X": DROP, "FD__MAX_X": DROP}, MISSING.format("N_X")),
    (HW, {"FD__N_X": 0, "FD__MAX_X": 0.0}, "Invalid value '0' for key 'N_X'"),
    (HW, {"FD__MAX_X": DROP, "FD__TIMESTEP": DROP}, MISSING.format("MAX_X")),
    (HW, {"FD__MAX_X": -1.0, "FD__TIMESTEP": DROP}, "Invalid value '-1' for key 'MAX_X'"),
    (HW, {"FD__TIMESTEP": DROP, "FD__FLAGS": 99}, MISSING.format("TIMESTEP")),
    (HW, {"FD__TIMESTEP": 0.0, "FD__FLAGS": 99}, "Invalid value '0' for key 'TIMESTEP'"),
    (HW, {"FD__FLAGS": 99, "PRICING_TS": DROP}, "Invalid bits set in FLAG"),
    (HW, {"HW": DROP, "PRICING_TS": DROP}, MISSING.format("PRICING_TS")),
    (HW, {"HW": DROP}, MISSING.format("HW")),
    (HW, {"HW__MEANREV": DROP, "HW__VOL": DROP}, MISSING.format("MEANREV")),
    (HW, {"HW__MEANREV": 0.0, "HW__VOL": DROP}, "Invalid value '0' for key 'MEANREV'"),
    (HW, {"HW__MEANREV": -0.0}, "Invalid value '-0' for key 'MEANREV'"),
    (HW, {"HW__VOL": DROP}, MISSING.format("VOL")),
    (BS, {"BS": DROP, "PRICING_TS": DROP}, MISSING.format("PRICING_TS")),
    (BS, {"BS": DROP}, MISSING.format("BS")),
    (BS, {"BS__VOL": DROP, "BS__ASSET": DROP}, MISSING.format("VOL")),
    (BS, {"BS__ASSET": DROP}, MISSING.format("ASSET")),
    (BS, {"BS__ASSET": b"USD"}, WRONG.format("ASSET", "TypeError: 'bytes' object is not an instance of 'str'")),
    # values at the limits of the grid, and settings the readers do not limit
    *[(HW, {"FD__" + k: v}, None)
      for k, v in [("N_X", 1), ("MAX_X", 1e-3), ("TIMESTEP", 1 / YEAR_MS), ("TIMESTEP", 40.0),
                   ("TIMESTEP", math.inf)]],
    (HW, {"HW__MEANREV": -0.1, "HW__VOL": 0.0}, None),
    (BS, {"BS__VOL": 0.0, "BS__ASSET": "NOT THERE"}, None),
]


@pytest.mark.parametrize("entry, changes, expected", CASES)
def test_keys_are_read_in_order_and_typed(entry, changes, expected):
    assert call(entry, dataset_of(entry, **changes)) == expected


FLAGS_WRONG = "Error in value of FLAGS, likely incorrect type. caused by \n"


@pytest.mark.parametrize("section, entry", [("MC", MC), ("FIXED", FIX), ("FD", HW)])
@pytest.mark.parametrize(
    "flags, expected",
    [
        (DROP, None),
        (0, None),
        (15, None),
        (True, None),
        (np.int64(9), None),
        (16, "Invalid bits set in FLAG"),
        (2**32 - 1, "Invalid bits set in FLAG"),
        (-1, FLAGS_WRONG + OVERFLOW_NEGATIVE),
        (2**32, FLAGS_WRONG + "OverflowError: Python int too large to convert to C unsigned int"),
        (2.0, FLAGS_WRONG + NOT_INDEX),
        (None, FLAGS_WRONG + "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_flags_below_sixteen_in_each_section(section, entry, flags, expected):
    assert call(entry, dataset_of(entry, **{section + "__FLAGS": flags})) == expected


class Colliding:
    """A key that collides with `name` and fails the dict's comparison."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise ValueError("no comparison")


@pytest.mark.parametrize(
    "fixed, expected",
    [
        (DROP, None),
        (3, None),
        ([], None),
        ({}, None),
        ({"FLAGS": 99}, "Invalid bits set in FLAG"),
        ({Colliding("FLAGS"): 1}, "ValueError: no comparison"),  # FIXED was read: its failures count
    ],
)
def test_fixed_absent_or_not_a_dict_means_no_flags(fixed, expected):
    assert call(FIX, dataset_of(FIX, FIXED=fixed)) == expected


def test_fixed_lookup_that_raises_is_discarded():
    dataset = dataset_of(FIX, FIXED=DROP)
    dataset[Colliding("FIXED")] = 1
    assert call(FIX, dataset) is None


# Settings the finite-difference grid cannot run on are refused when read.
@pytest.mark.parametrize("entry", [HW, BS])
@pytest.mark.parametrize(
    "key, value, text",
    [
        ("N_X", 0, "0"),
        ("N_X", 2**63, "9223372036854775808"),  # 2 N_X + 1 does not fit 64 bits
        ("N_X", 2**64 - 1, "18446744073709551615"),
        ("MAX_X", 0.0, "0"),
        ("MAX_X", -0.0, "-0"),
        ("MAX_X", -1, "-1"),
        ("MAX_X", math.nan, "NaN"),
        ("MAX_X", math.inf, "inf"),
        ("TIMESTEP", 0, "0"),
        ("TIMESTEP", -1 / 365, "-0.0027397260273972603"),
        ("TIMESTEP", math.nan, "NaN"),
        ("TIMESTEP", -math.inf, "-inf"),
        ("TIMESTEP", 0.5 / YEAR_MS, "0.000000000015854895991882293"),  # half a millisecond
    ],
)
def test_grid_settings_outside_limits_are_invalid(entry, key, value, text):
    dataset = dataset_of(entry, **{"FD__" + key: value})
    assert call(entry, dataset) == f"Invalid value '{text}' for key '{key}'"


class TupleSubclass(tuple):
    pass


class ArraySubclass(np.ndarray):
    pass


@pytest.mark.parametrize(
    "assets",
    [
        {},
        {"EQ": ("FORWARDS", np.array([[0.0, 1.0, 2.0], [100.0, 101.0, 102.0], [9.0, 9.0, -1.0]]))},
        {"EQ": ("FORWARDS", np.array([[2.0], [100.0]])), "FX": zero_curve([-1.0], [0.01])},
        {"EQ": TupleSubclass(("FORWARDS", GOOD.view(ArraySubclass), "ignored"))},
        {"EQ": forward_curve([0.0, 1.0], [0.0, -1.0])},  # ln of 0 and of -1 are stored as they come
    ],
)
def test_asset_tables_that_are_read(assets):
    assert call(FIX, flat_rate_dataset(assets=assets)) is None


CAST_TUPLE = WRONG.format("n/a", "CastError { from: {}, classinfo: <class 'tuple'> }")
NOT_RISING = ("Error while parsing Asset, caused by \n"
              "BuilderError Values in the x axis need to be strictly monotonic rising")
NOT_ARRAY = "TypeError: '{}' object is not an instance of 'ndarray'"


@pytest.mark.parametrize(
    "entry, expected",
    [
        (["ZERO_RATES", GOOD], CAST_TUPLE.replace("{}", repr(["ZERO_RATES", GOOD]))),
        (None, CAST_TUPLE.replace("{}", "None")),
        ((), "IndexError: tuple index out of range"),
        (("ZERO_RATES",), "IndexError: tuple index out of range"),
        ((1, GOOD), "TypeError: 'int' object is not an instance of 'str'"),
        (("ZERO_RATES", [[0.0, 1.0], [0.02, 0.03]]), NOT_ARRAY.format("list")),
        (("ZERO_RATES", np.array([[0, 1], [2, 3]])), NOT_ARRAY.format("ndarray")),
        (("ZERO_RATES", np.zeros((1, 3))), "ValueError: expected at least two rows, got an array of shape (1, 3)"),
        (("ZERO_RATES", np.zeros((0, 3))), "ValueError: expected at least two rows, got an array of shape (0, 3)"),
        (("ZERO_RATES", np.zeros((2, 0))), "Asset 'X' has no pillars: its array has no column"),
        (("ZERO_RATES", np.zeros((3, 0))), "Asset 'X' has no pillars: its array has no column"),
        (("zero_rates", GOOD), "Unknown asset type zero_rates"),
        (("ZERO_RATE", GOOD), "Unknown asset type ZERO_RATE"),
        (("", GOOD), "Unknown asset type "),
        (("SPOT", np.array([0.0, 1.0])), NOT_ARRAY.format("ndarray")),  # the array is read before the type
        (("SPOT", np.zeros((2, 0))), "Asset 'X' has no pillars: its array has no column"),
        (("ZERO_RATES", np.array([[1.0, 1.0], [0.02, 0.03]])), NOT_RISING),
        (("FORWARDS", np.array([[2.0, 1.0], [1.0, 1.0]])), NOT_RISING),
        (("FORWARDS", np.array([[0.0, math.nan], [1.0, 1.0]])), NOT_RISING),
    ],
)
def test_asset_entry_failures(entry, expected):
    assert call(FIX, flat_rate_dataset(assets={"X": entry})) == expected


def test_asset_name_must_be_text():
    assert call(FIX, flat_rate_dataset(assets={7: zero_curve([1.0], [0.1])})) == (
        "TypeError: 'int' object is not an instance of 'str'"
    )


def test_first_failing_entry_in_dict_order_is_reported():
    assets = {"A": zero_curve([1.0], [0.1]), "B": ("B_TYPE", GOOD), "C": ("C_TYPE", GOOD)}
    assert call(FIX, flat_rate_dataset(assets=assets)) == "Unknown asset type B_TYPE"


class Rerouted(dict):
    """A dict subclass whose own iteration hides its entries."""

    def __iter__(self):
        return iter(())

    def items(self):
        return []


def test_assets_are_walked_over_the_dicts_own_storage():
    assets = Rerouted(X=("BAD", GOOD))
    assert call(FIX, {"BASE": "USD", "ASSETS": assets, "PRICING_TS": T0}) == "Unknown asset type BAD"


class Growing(tuple):
    """An entry whose item access adds an asset to the dict being walked."""

    def __getitem__(self, i):
        self.table.setdefault("Z", zero_curve([1.0], [0.1]))
        return tuple.__getitem__(self, i)


def test_assets_changed_during_the_walk_are_refused():
    entry = Growing(("ZERO_RATES", GOOD))
    assets = {"X": entry}
    entry.table = assets
    assert call(FIX, {"BASE": "USD", "ASSETS": assets, "PRICING_TS": T0}) == (
        "RuntimeError: dictionary changed size during iteration"
    )
