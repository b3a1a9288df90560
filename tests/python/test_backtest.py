"""The backtests end to end: what the history source is asked and how its
answers are converted, the clock from the epoch, named-op weights, the
cashflows handed back as pyarrow record batches, and that thousands of calls
leave neither memory nor references behind."""

import ctypes
import gc
import os
import sys

import numpy as np
import pyarrow as pa
import pytest

import _vornik
from contracts import DAY_MS, T0, flat_rate_dataset, forward_curve, timetable

LEAD = "Error during model evaluation, caused by\n"
SCHEMA = pa.schema([pa.field("index", pa.uint64(), nullable=False), pa.field("value", pa.float64(), nullable=False)])


class History:
    """A `backtest_py` source answering from a dict (2.0 for unknown names)."""

    def __init__(self, values=None):
        self.values = values or {}
        self.calls = []
        self.stats = {}

    def get_value(self, name, time_ms):
        self.calls.append((name, time_ms))
        answer = self.values.get(name, 2.0)
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def set_stat(self, name, value):
        self.stats[name] = value


def csv(rows, state, expressions=None):
    return _vornik.backtest_csv(timetable(rows), state, "", "USD", expressions or {})


def py(rows, state, expressions=None):
    return _vornik.backtest_py(timetable(rows), state, expressions or {}, "USD")


def cashflows(state):
    """{track: [(row, value), ...]} from the batches, in row order."""
    batches = state.stats["CASHFLOW"].items()
    return {track: sorted(zip(b["index"].to_pylist(), b["value"].to_pylist())) for track, b in batches}


class Half:
    def __float__(self):
        return 0.5


@pytest.mark.parametrize(
    "answer, value",
    [(3, 3.0), (np.float32(0.25), 0.25), (Half(), 0.5)],
    ids=["int", "numpy-float32", "has-float"],
)
def test_the_base_is_never_asked_and_answers_become_floats(answer, value):
    state = History({"EQ": answer})
    rows = [
        (T0, "a", "+", 2.0, "USD"),
        (T0 + 1, "a", "+", 2.0, "EQ"),
        (T0 + 1, "a", "+", 1.0, "p"),
    ]
    py(rows, state, {"p": {"type": "phrase", "fn": lambda x: [x[0] + x[1]], "inp": ["EQ", "USD"]}})
    # Each lookup asks again; times are epoch milliseconds as ints.
    assert state.calls == [("EQ", T0 + 1), ("EQ", T0 + 1)]
    assert all(type(t) is int for _, t in state.calls)
    assert cashflows(state) == {0: [(0, 2.0), (1, 2 * value), (2, value + 1.0)]}


ROW_1 = ("Error at event:\n  #1: track: Track(0), time: Single(2024-01-01T00:00:00Z), op: +, qty: 1, unit: Asset(EQ), "
         "caused by \n")


@pytest.mark.parametrize(
    "state, cause",
    [
        (History({"EQ": None}), "TypeError: must be real number, not NoneType"),
        (History({"EQ": "x"}), "TypeError: must be real number, not str"),
        (History({"EQ": KeyError("EQ")}), "KeyError: 'EQ'"),
        (object(), "AttributeError: 'object' object has no attribute 'get_value'"),
    ],
    ids=["none", "text", "raises", "no-method"],
)
def test_get_value_that_gives_no_number_ends_with_the_method_error_at_the_row(state, cause):
    with pytest.raises(RuntimeError) as info:
        py([(T0, "a", "+", 1.0, "USD"), (T0, "a", "+", 1.0, "EQ")], state)
    assert str(info.value) == f"{LEAD}{ROW_1}Error in Python method 'get_value', caused by \n{cause}"
    assert getattr(state, "stats", {}) == {}


@pytest.mark.parametrize("run", [csv, py])
def test_rows_before_the_epoch_are_refused_with_the_clock_at_zero(run):
    with pytest.raises(RuntimeError) as info:
        run([(-1, "a", "+", 1.0, "USD")], History())
    assert str(info.value) == (
        f"{LEAD}Error at event:\n  #0: track: Track(0), time: Single(1969-12-31T23:59:59.999Z), op: +, qty: 1, "
        "unit: Asset(USD), caused by \nevent time is earlier than the current time 0"
    )


@pytest.mark.parametrize(
    "run, op, values, expected",
    [
        (csv, "W", {}, [(0, 10000.0), (1, -99.0)]),  # weight 100: the later row is scaled by 1 - 100
        (csv, "USD", {}, [(0, 100.0), (1, 0.0)]),
        (py, "W", {"EQ": 8.0, "W": 0.25}, [(0, 2.0), (1, 0.75)]),
        (py, "USD", {"EQ": 8.0}, [(0, 8.0), (1, 0.0)]),
    ],
    ids=["csv-asset", "csv-base", "py-asset", "py-base"],
)
def test_named_op_weights_come_from_the_source(run, op, values, expected):
    state = History(values)
    run([(T0, "a", op, 1.0, "EQ"), (T0 + 1, "a", "+", 1.0, "USD")], state)
    assert cashflows(state) == {0: expected}


SNAPPER = {"s": {"type": "snapper", "fn": lambda x: [1.0], "inp": [], "out": ["k"]}}


@pytest.mark.parametrize(
    "rows, expected",
    [
        ([(T0, "a", "+", 1.0, "USD"), (T0, "b", ">", 1.0, "c"), (T0 + DAY_MS, "c", "+", 2.0, "EQ"),
          (T0 + DAY_MS, "a", "+", -1.0, "EQ")],
         {0: [(0, 1.0), (3, -100.0)], 1: [(1, 200.0)], 2: [(2, 200.0)]}),
        ([(0, "a", "+", 1.0, "s"), (2**62, "a", "+", 1.0, "EQ")], {0: [(1, 100.0)]}),
        ([(T0, "a", "+", 1.0, "s")], {}),
        ([], {}),
    ],
    ids=["three-tracks", "from-the-epoch-to-beyond-the-calendar", "nothing-booked", "no-rows"],
)
def test_cashflows_come_back_as_one_record_batch_per_track(rows, expected):
    state = History()
    assert csv(rows, state, SNAPPER) is None
    batches = state.stats["CASHFLOW"]
    for batch in batches.values():
        assert type(batch) is pa.RecordBatch
        assert batch.schema.equals(SCHEMA, check_metadata=True), batch.schema
        assert batch.schema.metadata is None
        assert all(column.null_count == 0 for column in batch.columns)
    assert cashflows(state) == expected


@pytest.mark.parametrize("run", [csv, py])
def test_backtests_return_none_and_print_nothing(run, capfd):
    assert run([(T0, "a", "+", 1.0, "EQ"), (T0, "a", ">", 1.0, "USD")], History()) is None
    assert capfd.readouterr() == ("", "")


class Quiet:
    """A state object that looks at what it is given and keeps nothing."""

    def __init__(self):
        self.seen = 0

    def get_value(self, name, time_ms=None):
        return 3.0 if time_ms is not None else None

    def advance(self, dt):
        return 0.5

    def set_stat(self, name, value):
        self.seen += len(value)


def resident_bytes():
    """Resident memory; under AddressSanitizer, whose quarantine keeps freed
    blocks resident, the heap bytes still allocated."""
    allocated = getattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes", None)
    if allocated is not None:
        allocated.restype = ctypes.c_size_t
        return allocated()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_repeated_calls_leave_no_memory_and_no_references_behind():
    state = Quiet()
    fn = lambda x: [np.maximum(x[0], 1.0)]  # noqa: E731
    expressions = {"p": {"type": "phrase", "fn": fn, "inp": ["EQ"]}}
    # 2000 cashflows in two tracks per backtest: ~32 kB a call that a leak would keep.
    backtest = timetable([(T0 + i, "a" if i % 2 else "b", "+", 1.0, "p" if i < 4 else "USD") for i in range(2000)])
    # Arrays of 4096 paths for every statistic: ~160 kB a call.
    later = T0 + DAY_MS
    priced = timetable([(T0, "o", ">", 1.0, "p"), (later, "o", "+", 1.0, "EQ"), (later, "x", "<", 1.0, "EQ")])
    dataset = flat_rate_dataset(assets={"EQ": forward_curve([0.0, 5.0], [100.0, 100.0])},
                                MC={"PATHS": 4096, "SEED": 0, "FLAGS": 11})
    # 500 cashflows of 40,000 paths: 160 MB a call, more than twice what the module keeps.
    large = timetable([(T0, "o", "+", 1.0, "EQ")] * 500)
    large_dataset = {**dataset, "MC": {"PATHS": 40_000, "SEED": 0, "FLAGS": 11}}
    objects = (state, fn, expressions, backtest, priced, dataset, large, large_dataset, "USD")

    def calls(n):
        for i in range(n):
            _vornik.backtest_csv(backtest, state, "", "USD", expressions)
            _vornik.backtest_py(backtest, state, expressions, "USD")
            if i % 5 == 0:
                _vornik.mc_price(priced, state, dataset, expressions)
            if i % 200 == 0:
                _vornik.mc_price(large, state, large_dataset, expressions)

    gc.collect()
    at_start = resident_bytes()
    calls(100)
    gc.collect()
    before = (resident_bytes(), pa.total_allocated_bytes(), len(gc.get_objects()))
    references = [sys.getrefcount(o) for o in objects]
    calls(1500)  # 3000 backtests, 300 priced calls
    gc.collect()
    after = (resident_bytes(), pa.total_allocated_bytes(), len(gc.get_objects()))
    assert [sys.getrefcount(o) for o in objects] == references
    assert after[0] - before[0] < 8 << 20, f"resident memory grew by {after[0] - before[0]} bytes"
    assert after[0] - at_start < (64 + 8) << 20, f"resident memory kept: {after[0] - at_start} bytes"
    assert after[1] == before[1], f"pyarrow allocations: {before[1]} before, {after[1]} after"
    assert after[2] - before[2] < 20, f"tracked objects: {before[2]} before, {after[2]} after"
    assert state.seen > 0
