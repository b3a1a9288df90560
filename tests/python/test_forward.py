"""The forward runs through `mc_price` and `fixed_price`: the state-object
protocol and its numeraire, the booking rules and settlement seen in the
statistics, every failure of a run with its text, and prices against a hand
computation and a closed form."""

import math

import numpy as np
import pyarrow as pa
import pytest

import _vornik
from contracts import DAY_MS, T0, YEAR_MS, flat_rate_dataset, forward_curve, timetable, zero_curve

LEAD = "Error during model evaluation, caused by\n"
RATE = 0.05
EQ = {"EQ": forward_curve([0.0, 5.0], [100.0, 100.0])}


def df(years):
    return math.exp(-RATE * years)


class State:
    """A scripted state object: `advance` answers from a list (1.0 once it is
    used up), `get_value` from a dict of answers; every call is recorded."""

    def __init__(self, values=None, advances=()):
        self.values = values or {}
        self.advances = list(advances)
        self.calls = []
        self.stats = {}

    def advance(self, dt):
        self.calls.append(("advance", dt))
        return self.advances.pop(0) if self.advances else 1.0

    def get_value(self, name):
        self.calls.append(("get_value", name))
        answer = self.values.get(name)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def set_stat(self, name, value):
        self.stats[name] = value


def batch(rows):
    return rows if isinstance(rows, pa.RecordBatch) else timetable(rows)


def mc(rows, state, paths=3, flags=8, expressions=None):
    dataset = flat_rate_dataset(RATE, assets=EQ, MC={"PATHS": paths, "SEED": 7, "FLAGS": flags})
    return _vornik.mc_price(batch(rows), state, dataset, expressions or {})


def fixed(rows, state=None, flags=0, expressions=None, assets=None):
    dataset = flat_rate_dataset(RATE, assets=assets or EQ, FIXED={"FLAGS": flags})
    return _vornik.fixed_price(batch(rows), state, dataset, expressions or {})


def plain(book):
    """A statistic's nested dicts of arrays as nested dicts of lists."""
    return {k: plain(v) if isinstance(v, dict) else v.tolist() for k, v in book.items()}


def phrase(fn, inp=()):
    return {"type": "phrase", "fn": fn, "inp": list(inp)}


def snapper(fn, inp, out):
    return {"type": "snapper", "fn": fn, "inp": list(inp), "out": list(out)}


VALUE = ("get_value", "USD")


@pytest.mark.parametrize(
    "times, calls",
    [
        ([T0, T0, T0 + YEAR_MS // 2, T0 + YEAR_MS // 2, T0 + YEAR_MS],
         [VALUE, VALUE, ("advance", 0.5), VALUE, VALUE, ("advance", 1.0), VALUE]),
        ([T0, T0], [VALUE, VALUE]),
    ],
    ids=["once-per-later-time", "never-at-pricing-time"],
)
def test_advance_is_told_the_years_since_pricing_once_per_later_time(times, calls):
    state = State()
    mc([(t, "a", "+", 1.0, "USD") for t in times], state)
    assert state.calls == calls


TWO_YEARS = [(T0 + YEAR_MS, "a", "+", 1.0, "USD"), (T0 + 2 * YEAR_MS, "a", "+", 1.0, "USD")]


@pytest.mark.parametrize(
    "advances, first, second",
    [
        ((0.5, 0.5), [0.5] * 3, [0.25] * 3),
        ((2, np.float64(1.5)), [2.0] * 3, [3.0] * 3),
        ((np.array([1.0, 2.0, 4.0]), 0.5), [1.0, 2.0, 4.0], [0.5, 1.0, 2.0]),
        ((np.array([1.0, 2.0, 4.0]), None), [1.0, 2.0, 4.0], [df(2)] * 3),
        (("x", 3.0), [df(1)] * 3, [3 * df(1)] * 3),
        (([2.0, 2.0, 2.0], np.array([1.0, 2.0, 4.0])), [df(1)] * 3, [df(1), 2 * df(1), 4 * df(1)]),
        ((np.array([2, 2, 2]), 1.0), [df(1)] * 3, [df(1)] * 3),
        ((np.array([1.0, 2.0, 4.0], dtype=">f8"), 1.0), [1.0, 2.0, 4.0], [1.0, 2.0, 4.0]),
    ],
    ids=["floats-multiply", "int-and-numpy-scalar", "array-per-path", "none-resets", "text-resets",
         "list-resets", "int-array-resets", "big-endian-array-multiplies"],
)
def test_numeraire_follows_what_advance_returns(advances, first, second):
    state = State(advances=advances)
    mc(TWO_YEARS, state)
    cashflows = state.stats["CASHFLOW"][0]
    np.testing.assert_allclose(cashflows[0], first, rtol=1e-15)
    np.testing.assert_allclose(cashflows[1], second, rtol=1e-15)


class Raising(State):
    def advance(self, dt):
        raise KeyError("boom")


class NoMethods:
    pass


@pytest.mark.parametrize(
    "state, cause",
    [(Raising(), "KeyError: 'boom'"), (NoMethods(), "AttributeError: 'NoMethods' object has no attribute 'advance'")],
)
def test_a_failing_advance_ends_the_run_without_the_row(state, cause):
    with pytest.raises(RuntimeError) as info:
        mc([(T0 + DAY_MS, "a", "+", 1.0, "USD")], state)
    assert str(info.value) == f"{LEAD}Error in Python method 'advance', caused by \n{cause}"


@pytest.mark.parametrize(
    "answer, expected",
    [
        (np.array([1.0, 2.0, 3.0]), [2.0, 4.0, 6.0]),
        (np.arange(6.0)[::2], [0.0, 4.0, 8.0]),
        (np.arange(6.0)[::-2], [10.0, 6.0, 2.0]),
        (np.array([5.0]), [10.0] * 3),
        (5.0, [200.0] * 3),
        (None, [200.0] * 3),
        ([1.0, 2.0, 3.0], [200.0] * 3),
        (np.array([1, 2, 3]), [200.0] * 3),
        (np.array([1.0, 2.0, 3.0], dtype=">f8"), [2.0, 4.0, 6.0]),
    ],
    ids=["array", "strided-view", "reversed-view", "one-element", "float-ignored", "none-ignored",
         "list-ignored", "int-array-ignored", "big-endian-array"],
)
def test_get_value_arrays_are_used_per_path_and_anything_else_falls_back_to_the_curve(answer, expected):
    state = State({"EQ": answer})
    mc([(T0, "a", "+", 2.0, "EQ")], state)
    np.testing.assert_allclose(state.stats["CASHFLOW"][0][0], expected, rtol=1e-15)


def test_get_value_is_asked_for_every_name_that_is_no_phrase_or_snap():
    expressions = {
        "fix": snapper(lambda x: [x[0]], ["EQ"], ["k"]),
        "p": phrase(lambda x: [x[0] + x[1]], ["k", "FX"]),
    }
    state = State({"EQ": np.array([1.0, 2.0, 3.0]), "FX": np.array([10.0, 20.0, 30.0]), "W": np.array([1.0, 0.5, 0.0])})
    mc([(T0, "a", "+", 1.0, "fix"), (T0, "a", "W", 1.0, "p")], state, expressions=expressions)
    # FX and W are unknown to the dataset; the state object's arrays stand for them.
    assert [name for kind, name in state.calls if kind == "get_value"] == ["EQ", "FX", "W"]
    assert state.stats["CASHFLOW"][0][1].tolist() == [11.0, 11.0, 0.0]


class InPlacePaths(State):
    """Moves its spot array in place, so values kept by reference would change."""

    def __init__(self, later):
        super().__init__()
        self.spot = np.full(3, 100.0)
        self.later = later

    def advance(self, dt):
        self.spot[:] = self.later
        return 0.5

    def get_value(self, name):
        return self.spot if name == "EQ" else None


def test_phrases_and_snappers_work_on_per_path_arrays():
    seen = []

    def call(x):
        seen.append([(a.dtype, a.shape, a.flags.writeable) for a in x])
        x[0] -= x[1]  # the arrays are the phrase's own
        return [np.maximum(x[0], 0.0)]

    expressions = {
        "fix": snapper(lambda x: [x[0]], ["EQ"], ["K0"]),
        "call": phrase(call, ["EQ", "K0"]),
        "itm": phrase(lambda x: [x[0] > x[1]], ["EQ", "K0"]),
    }
    state = InPlacePaths([90.0, 100.0, 120.0])
    rows = [
        (T0, "a", "+", 0.0, "fix"),
        (T0 + YEAR_MS, "a", "+", 2.0, "call"),  # 2 × numeraire 0.5 × payoff
        (T0 + YEAR_MS, "b", "itm", 1.0, "EQ"),  # EQ weighted by a bool array
        (T0 + YEAR_MS, "c", "+", 1.0, "K0"),  # the snap, untouched by the phrase
    ]
    mc(rows, state, flags=8, expressions=expressions)
    assert seen == [[(np.float64, (3,), True)] * 2]
    assert plain(state.stats["CASHFLOW"]) == {
        0: {1: [0.0, 0.0, 20.0]},
        1: {2: [0.0, 0.0, 60.0]},
        2: {3: [50.0, 50.0, 50.0]},
    }


X, Y = np.array([3.0, 0.0, 2.0]), np.array([2.0, 2.0, 2.0])


@pytest.mark.parametrize(
    "rows, values, pv, choices, cashflows",
    [
        pytest.param([(T0, "a", ">", 1.0, "X"), (T0, "a", "+", 1.0, "Y")], {"X": X, "Y": Y},
                     [3.0, 2.0, 2.0], {0: {0: [1, 0, 0]}}, {0: {0: [3.0, 0.0, 0.0], 1: [0.0, 2.0, 2.0]}},
                     id="max-voids-later-cashflows-where-it-wins-ties-lose"),
        pytest.param([(T0, "a", "<", 1.0, "X")], {"X": np.array([-1.0, 0.0, 1.0])},
                     [-1.0, 0.0, 0.0], {0: {0: [1, 0, 0]}}, {0: {0: [-1.0, 0.0, 0.0]}},
                     id="first-min-meets-zero"),
        pytest.param([(T0, "a", ">", 0.0, "USD"), (T0, "a", "+", 1.0, "Y")], {"Y": np.array([-1.0, 2.0, -3.0])},
                     [0.0, 2.0, 0.0], {0: {0: [1, 0, 1]}}, {0: {1: [0.0, 2.0, 0.0]}},
                     id="single-zero-max-voids-but-books-nothing"),
        pytest.param([(T0, "a", "+", 0.0, "USD")], {}, [0.0] * 3, {}, {0: {0: [0.0] * 3}},
                     id="single-zero-add-books-zeros"),
        pytest.param([(T0, "a", "W", 1.0, "X"), (T0, "a", "+", 1.0, "Y")],
                     {"W": np.array([1.0, 0.0, 0.5]), "X": np.full(3, 10.0), "Y": Y},
                     [10.0, 2.0, 6.0], {}, {0: {0: [10.0, 0.0, 5.0], 1: [0.0, 2.0, 1.0]}},
                     id="named-op-weights"),
        pytest.param([(T0, "opt", ">", 5.0, "ex"), (T0, "ex", "+", 1.0, "X")], {"X": np.array([1.0, -1.0, 0.0])},
                     [1.0, 0.0, 0.0], {0: {0: [1, 0, 0]}}, {0: {0: [1.0, 0.0, 0.0]}, 1: {1: [1.0, -1.0, 0.0]}},
                     id="track-reference-without-quantity"),
        pytest.param([(T0, "a", "+", 1.0, "a"), (T0, "a", "+", 1.0, "X")], {"X": X},
                     [6.0, 0.0, 4.0], {}, {0: {0: [3.0, 0.0, 2.0], 1: [3.0, 0.0, 2.0]}},
                     id="own-track-reference-doubles"),
    ],
)
def test_booking_rules(rows, values, pv, choices, cashflows):
    state = State(values)
    price = mc(rows, state, flags=11)
    assert state.stats["PV_VEC"].tolist() == pv
    assert plain(state.stats["CHOICES"]) == choices
    assert plain(state.stats["CASHFLOW"]) == cashflows
    assert price == pytest.approx(sum(pv) / 3, rel=1e-15)


def row(i, unit, message, op="+", time="2024-01-01T00:00:00Z"):
    """The run's error at row i, for rows of track key 0 and quantity 1."""
    event = f"#{i}: track: Track(0), time: Single({time}), op: {op}, qty: 1, unit: {unit}"
    return f"Error at event:\n  {event}, caused by \n{message}"


def raises(error):
    def fn(inputs):
        raise error

    return fn


class Surrogates(ValueError):
    pass


Surrogates.__qualname__ = "Bad\udc80"  # lone surrogates print as U+FFFD


def unit_dictionary_with_null(rows):
    """The batch with a null entry in the unit dictionary, used by every row."""
    events = timetable(rows)
    units = pa.DictionaryArray.from_arrays(pa.array([0] * len(rows), pa.int64()), pa.array([None], pa.string()))
    return events.set_column(events.schema.get_field_index("unit"), "unit", units)


OUT_OF_RANGE = ("Error: Interpolation out of range at time {}.\n"
                " Perhaps the time range in forwards/discount data is too short.")
USD = (T0, "a", "+", 1.0, "USD")


@pytest.mark.parametrize(
    "run, rows, expressions, values, message",
    [
        (mc, [USD, (None, "a", "+", 1.0, "USD")], {}, {},
         row(1, "Asset(USD)", "missing time", time="1970-01-01T00:00:00Z")),
        (fixed, [(None, "a", "+", 1.0, "USD")], {}, {},
         row(0, "Asset(USD)", "No event time", time="1970-01-01T00:00:00Z")),
        (mc, [(T0 - 1, "a", "+", 1.0, "USD")], {}, {},
         row(0, "Asset(USD)", f"event time is earlier than the current time {T0}", time="2023-12-31T23:59:59.999Z")),
        (mc, [(T0 + 2, "a", "+", 1.0, "USD"), (T0 + 1, "a", "+", 1.0, "USD")], {}, {},
         row(1, "Asset(USD)", f"event time is earlier than the current time {T0 + 2}",
             time="2024-01-01T00:00:00.001Z")),
        (mc, [(T0, "a", "+", 1.0, None)], {}, {}, row(0, "<none>", "Error in Event Specs: Missing Unit Name")),
        (mc, unit_dictionary_with_null([USD]), {}, {}, row(0, "<none>", "Unknown Unit")),
        (mc, [(T0, "a", "+", 1.0, "k"), (T0, "a", "+", 1.0, "s")], {"s": snapper(lambda x: [1.0], [], ["k"])}, {},
         row(0, "Snap(k)", "Unknown Snap 'k'")),
        (mc, [(T0, "a", "+", 1.0, "p")], {"p": phrase(raises(ValueError("bad")))}, {},
         row(0, "Phrase(p)", "Error in Phrase Evaluation, caused by \nValueError: bad")),
        (mc, [(T0, "a", "+", 1.0, "p")], {"p": phrase(raises(Surrogates("bad \ud800")))}, {},
         row(0, "Phrase(p)", "Error in Phrase Evaluation, caused by \nBad\ufffd: bad \ufffd")),
        (mc, [(T0, "a", "+", 1.0, "s")], {"s": snapper(lambda x: (1.0,), [], ["k"])}, {},
         row(0, "Snapper(s)", "Error in Phrase Evaluation, caused by \nError in Python execution:\n"
                              "'tuple' object is not an instance of 'list'")),
        (mc, [(T0, "a", "+", 1.0, "p")], {"p": phrase(lambda x: [])}, {}, row(0, "Phrase(p)", "No output from phrase")),
        (mc, [(T0, "a", "+", 1.0, "ZZ")], {}, {},
         row(0, "Asset(ZZ)", "Asset 'ZZ' not found in snaps, expressions, or in dataset[ASSETS]")),
        (mc, [(T0, "a", "+", 1.0, "p")], {"p": phrase(lambda x: x, ["ZZ"])}, {},
         row(0, "Phrase(p)", "Asset 'ZZ' not found in snaps, expressions, or in dataset[ASSETS]")),
        (mc, [(T0, "a", "+", 1.0, "ZZ")], {}, {"ZZ": KeyError("ZZ")},
         row(0, "Asset(ZZ)", "Error in Python method 'get_value', caused by \nKeyError: 'ZZ'")),
        (fixed, [(T0, "a", "W", 1.0, "USD")], {}, {},
         row(0, "Asset(USD)", "Asset 'W' not found in snaps, expressions, or in dataset[ASSETS]", op="W")),
        (fixed, [USD, (T0, "a", "+", 1.0, "EQ"), (T0 + DAY_MS, "a", "+", 1.0, "ZZ")], {}, {},
         row(2, "Asset(ZZ)", "Asset 'ZZ' not found in snaps, expressions, or in dataset[ASSETS]",
             time="2024-01-02T00:00:00Z")),
        (fixed, [(T0 + 6 * YEAR_MS, "a", "+", 1.0, "EQ")], {}, {},
         row(0, "Asset(EQ)", OUT_OF_RANGE.format(6), time="2029-12-30T00:00:00Z")),
        (fixed, [(T0 + 60 * YEAR_MS, "a", "+", 1.0, "USD")], {}, {},
         "Error in 'discount factor' value at 60, caused by \n'" + OUT_OF_RANGE.format(60) + "'"),
        (mc, [(T0, "a", None, 1.0, "USD")], {}, {}, "Error in Op, caused by \nUnknown Op ''"),
        (fixed, [(T0, "a", "W", 1.0, "b"), (T0, "b", "+", 1.0, "USD")], {"W": phrase(lambda x: [0.5])}, {},
         "Error in Op, caused by \nUnknown Op 'W'"),
        (mc, [USD, (T0, "b", "+", 1.0, "USD"), (T0, "a", "+", 1.0, "b")], {}, {}, "Track 1 not found"),
        (fixed, [(T0, None, "+", 1.0, "USD")], {}, {}, "No track specified at event#0"),
    ],
    ids=["mc-null-time", "fixed-null-time", "before-pricing", "out-of-order", "null-unit-key", "null-unit",
         "snap-not-yet-stored", "phrase-raises", "phrase-raises-surrogates", "snapper-returns-tuple",
         "phrase-returns-nothing", "unknown-asset", "unknown-input", "get-value-raises", "unknown-named-op",
         "asset-missing-at-a-later-row", "asset-beyond-curve",
         "discount-beyond-curve", "null-op", "track-with-named-op", "track-booked-only-earlier", "null-track"],
)
def test_run_failures(run, rows, expressions, values, message):
    with pytest.raises(RuntimeError) as info:
        run(rows, State(values), expressions=expressions)
    assert str(info.value) == LEAD + message


def cycle():
    return {"p": phrase(lambda x: x, ["q"]), "q": phrase(lambda x: x, ["p"])}


@pytest.mark.parametrize(
    "rows, state, expressions, message",
    [
        ([(T0, "a", "+", 1.0, "EQ")], State({"EQ": np.ones(2)}), {},
         row(0, "Asset(EQ)", "Vector lengths 3 and 2 cannot be combined")),
        ([(T0, "a", "W", 1.0, "USD")], State({"W": np.ones(4)}), {},
         row(0, "Asset(USD)", "Vector lengths 3 and 4 cannot be combined", op="W")),
        ([(T0 + 1, "a", "+", 1.0, "USD")], State(advances=[np.ones(2)]), {},
         "Vector lengths 3 and 2 cannot be combined"),
        ([(T0, "a", "+", 1.0, "p")], State(), {"p": phrase(lambda x: [np.ones(4)])},
         row(0, "Phrase(p)", "Vector lengths 3 and 4 cannot be combined")),
        ([(T0, "a", "+", 1.0, "s")], State(), {"s": snapper(lambda x: [np.ones(2)], [], ["k"])},
         row(0, "Snapper(s)", "Vector lengths 3 and 2 cannot be combined")),
        ([(T0, "a", "+", 1.0, "p")], State(), cycle(), row(0, "Phrase(p)", "Phrase 'p' depends on itself")),
    ],
    ids=["get-value", "named-op-weight", "advance", "phrase", "snapper", "phrase-cycle"],
)
def test_arrays_of_a_wrong_length_and_phrase_cycles_end_with_an_error(rows, state, expressions, message):
    with pytest.raises(RuntimeError) as info:
        mc(rows, state, expressions=expressions)
    assert str(info.value) == LEAD + message


def at_years(t):
    return T0 + round(t * YEAR_MS)


def test_fixed_price_of_a_bond_is_the_sum_of_its_discounted_cashflows():
    curve = zero_curve([0.5, 1.0, 2.0], [0.03, 0.035, 0.04])  # y = 0.015, 0.035, 0.08 at the pillars
    flows = [(0.25, 2.5), (0.75, 2.5), (1.25, 2.5), (1.75, 102.5)]
    # y on the line from the origin before the first pillar, linear in y between pillars.
    y = {0.25: 0.0075, 0.75: 0.025, 1.25: 0.04625, 1.75: 0.06875}
    rows = [(T0, "bond", "+", -100.0, "USD")] + [(at_years(t), "bond", "+", q, "USD") for t, q in flows]
    expected = -100.0 + sum(q * math.exp(-y[t]) for t, q in flows)
    assert fixed(rows, assets={"USD": curve}) == pytest.approx(expected, rel=1e-14, abs=0)


R, VOL, S0, K = 0.05, 0.2, 100.0, 100.0


class Gbm:
    """Geometric Brownian motion paths, moved in place by each advance."""

    def __init__(self, paths, seed):
        self.rng = np.random.default_rng(seed)
        self.spot = np.full(paths, S0)
        self.t = 0.0
        self.stats = {}

    def advance(self, t):
        dt, self.t = t - self.t, t
        z = self.rng.standard_normal(self.spot.size)
        self.spot *= np.exp((R - 0.5 * VOL * VOL) * dt + VOL * math.sqrt(dt) * z)
        return math.exp(-R * dt)

    def get_value(self, name):
        return self.spot if name == "EQ" else None

    def set_stat(self, name, value):
        self.stats[name] = value


def black_scholes_call(T):
    d1 = (math.log(S0 / K) + (R + 0.5 * VOL * VOL) * T) / (VOL * math.sqrt(T))
    d2 = d1 - VOL * math.sqrt(T)
    n = lambda x: 0.5 * math.erfc(-x / math.sqrt(2.0))
    return S0 * n(d1) - K * math.exp(-R * T) * n(d2)


def test_european_call_on_gbm_paths_lands_within_three_standard_errors():
    paths = 40_000
    quarters = [(at_years(q / 4), "spot", "+", 1.0, "EQ") for q in (1, 2, 3)]
    expiry = at_years(1.0)
    rows = quarters + [
        (expiry, "call", ">", 1.0, "payoff"),
        (expiry, "payoff", "+", 1.0, "EQ"),
        (expiry, "payoff", "+", -K, "USD"),
    ]
    state = Gbm(paths, seed=20240101)
    price = mc(timetable(rows, tracks=["call", "payoff", "spot"]), state, paths=paths, flags=1)
    pv = state.stats["PV_VEC"]
    assert pv.shape == (paths,)
    assert price == pytest.approx(pv.mean(), rel=1e-12)
    error = pv.std(ddof=1) / math.sqrt(paths)
    expected = black_scholes_call(1.0)
    assert abs(price - expected) < 3 * error, f"price {price}, closed form {expected}, standard error {error}"


def test_an_abort_reaches_python_as_panic_exception_and_the_next_call_works():
    # Vectors of 2**62 paths cannot be allocated: the call aborts.
    with pytest.raises(BaseException) as info:
        mc([USD], State(), paths=2**62)
    first = info.value
    panic = type(first)
    assert (panic.__module__, panic.__name__) == ("pyo3_runtime", "PanicException")
    assert not issubclass(panic, Exception)

    # A PanicException raised by user code inside a call is an abort too.
    with pytest.raises(panic) as info:
        try:
            fixed([(T0, "a", "+", 1.0, "p")], expressions={"p": phrase(raises(first))})
        except Exception as e:  # pragma: no cover - the failure this test looks for
            pytest.fail(f"PanicException caught as Exception: {e!r}")
    assert str(info.value) == str(first)
    assert fixed([USD]) == 1.0
