"""Reading the timetable batch through the entries: the Arrow import, the
column checks in their order, and the refusal of malformed batches, also of
keys and offsets that the caller's code rewrites while a call runs."""

import gc

import numpy as np
import pyarrow as pa
import pytest

import _vornik
from contracts import DAY_MS as DAY, T0, timetable

ROWS = [
    (T0, "t0", "+", 1.0, "EUR"),
    (T0 + 1, "t1", ">", 2.0, "t0"),
    (T0 + 2, "t0", None, None, None),
]
TIMETABLE_ERROR = "Error while parsing Timetable, caused by \n"


def read_error(events, expressions=None):
    """The text of the timetable error that reading gives, or None when it reads."""
    try:
        _vornik.backtest_csv(events, None, "", "USD", expressions or {})
    except RuntimeError as e:
        if str(e).startswith(TIMETABLE_ERROR):
            return str(e)[len(TIMETABLE_ERROR):]
    return None


def import_error(events):
    """The exception raised while importing events_rb."""
    with pytest.raises(Exception) as info:
        _vornik.backtest_csv(events, None, "", "USD", {})
    assert info.value.__notes__ == ["while processing 'events_rb'"]
    return info.value


def with_column(batch, name, array):
    """The batch with column `name` replaced (or appended)."""
    names = batch.schema.names
    columns = list(batch.columns)
    if name in names:
        columns[names.index(name)] = array
    else:
        names = names + [name]
        columns.append(array)
    return pa.RecordBatch.from_arrays(columns, names=names)


def without(batch, name):
    return batch.drop_columns([name])


def dict_column(values, keys=(0,), key_type=pa.int64(), value_type=pa.string()):
    return pa.DictionaryArray.from_arrays(pa.array(list(keys), key_type), pa.array(values, value_type), safe=False)


class Capsules:
    """A producer of the capsule protocol that is not pyarrow's."""

    def __init__(self, result):
        self.result = result

    def __arrow_c_array__(self, requested_schema=None):
        return self.result


class StreamOnly:
    def __init__(self, batch):
        self.batch = batch

    def __arrow_c_stream__(self, requested_schema=None):
        return pa.Table.from_batches([self.batch]).__arrow_c_stream__()


BASE = timetable(ROWS)
ONE = timetable(ROWS[:1])


@pytest.mark.parametrize(
    "events",
    [
        pytest.param(BASE, id="plain"),
        pytest.param(timetable([]), id="zero-rows"),
        pytest.param(timetable(ROWS, tz="America/New_York"), id="new-york-zone"),
        pytest.param(timetable(ROWS, tz="UTC"), id="utc-zone"),
        pytest.param(BASE.slice(1, 2), id="sliced-batch"),
        pytest.param(BASE.slice(3), id="sliced-to-nothing"),
        pytest.param(BASE.to_struct_array().slice(1), id="sliced-struct-array"),
        pytest.param(timetable([(None, None, None, None, None)]), id="all-cells-null"),
        pytest.param(timetable(ROWS, units=["EUR", None, "t0"], ops=["+", ">", None]), id="null-dictionary-values"),
        pytest.param(timetable(ROWS, tracks=["t0", "t1", "t0"]), id="tracks-with-equal-texts"),
        pytest.param(with_column(BASE, "extra", pa.array([1, 2, 3])), id="extra-column"),
        pytest.param(BASE.select(["unit", "quantity", "op", "track", "time"]), id="columns-reordered"),
        pytest.param(
            with_column(ONE, "unit", pa.DictionaryArray.from_arrays(pa.array([0], pa.int64()),
                                                                    pa.array(["x", "EUR", "t0"]).slice(1))),
            id="sliced-dictionary"),
        pytest.param(Capsules(BASE.__arrow_c_array__()), id="foreign-capsule-producer"),
    ],
)
def test_well_formed_batches_read(events):
    assert read_error(events) is None


@pytest.mark.parametrize(
    "events, message",
    [
        (without(BASE, "time"), "Column 'time' not found"),
        (without(BASE, "track"), "Column 'track' not found"),
        (without(BASE, "op"), "Column 'op' not found"),
        (without(BASE, "quantity"), "Column 'quantity' not found"),
        (without(BASE, "unit"), "Column 'unit' not found"),
        (BASE.rename_columns(["Time", "track", "op", "quantity", "unit"]), "Column 'time' not found"),
        (BASE.rename_columns(["times", "track", "op", "quantity", "unit"]), "Column 'time' not found"),
        (with_column(ONE, "time", pa.array([0], pa.timestamp("s"))), "Couldn't convert column 'time', likely incorrect type"),
        (with_column(ONE, "time", pa.array([0], pa.timestamp("us"))), "Couldn't convert column 'time', likely incorrect type"),
        (with_column(ONE, "time", pa.array([0], pa.timestamp("ns", tz="UTC"))),
         "Couldn't convert column 'time', likely incorrect type"),
        (with_column(ONE, "time", pa.array([0], pa.date64())), "Couldn't convert column 'time', likely incorrect type"),
        (with_column(ONE, "time", pa.array([0], pa.int64())), "Couldn't convert column 'time', likely incorrect type"),
        (with_column(ONE, "quantity", pa.array([1], pa.float32())),
         "Couldn't convert column 'quantity', likely incorrect type"),
        (with_column(ONE, "quantity", pa.array([1], pa.int64())),
         "Couldn't convert column 'quantity', likely incorrect type"),
        (with_column(ONE, "quantity", pa.array([1], pa.decimal128(5, 2))),
         "Couldn't convert column 'quantity', likely incorrect type"),
        (with_column(ONE, "track", pa.array(["t0"])), "Couldn't convert column 'track', likely incorrect type"),
        (with_column(ONE, "track", dict_column(["t0"], key_type=pa.int32())),
         "Couldn't convert column 'track', likely incorrect type"),
        (with_column(ONE, "op", dict_column(["+"], key_type=pa.int32())),
         "Couldn't convert column 'op', likely incorrect type"),
        (with_column(ONE, "unit", dict_column(["EUR"], key_type=pa.uint64())),
         "Couldn't convert column 'unit', likely incorrect type"),
        (with_column(ONE, "unit", pa.array(["EUR"])), "Couldn't convert column 'unit', likely incorrect type"),
    ],
)
def test_missing_or_mistyped_columns_are_refused(events, message):
    assert read_error(events) == message


def test_the_first_field_of_a_name_is_the_column():
    events = pa.RecordBatch.from_arrays([pa.array([1.0]), *ONE.columns], names=["time", *ONE.schema.names])
    assert read_error(events) == "Couldn't convert column 'time', likely incorrect type"


BAD_EXPRESSIONS = {"b1": {"type": "batch"}}
LARGE_UNITS = with_column(ONE, "unit", dict_column(["EUR"], value_type=pa.large_string()))


@pytest.mark.parametrize(
    "events, expressions, message",
    [
        (without(without(BASE, "time"), "quantity"), BAD_EXPRESSIONS, "Column 'time' not found"),
        (with_column(without(ONE, "op"), "track", dict_column(["t0"], key_type=pa.int32())), {},
         "Couldn't convert column 'track', likely incorrect type"),
        (LARGE_UNITS, BAD_EXPRESSIONS,
         "Error while parsing expression 'b1', caused by \nBatch is not supported in this package"),
        (with_column(LARGE_UNITS, "track", dict_column(["t0"], value_type=pa.large_string())), {},
         "Error in units column, expected strings"),
        (with_column(ONE, "unit", dict_column([1], value_type=pa.int64())), {}, "Error in units column, expected strings"),
        (with_column(ONE, "track", dict_column(["t0"], value_type=pa.large_string())), {},
         "Error in tracks column, expected strings"),
        (with_column(ONE, "track", dict_column(["t0", None])), {}, "Missing Track Value"),
        (with_column(with_column(ONE, "track", dict_column(["t0", None])), "op",
                     dict_column(["+"], value_type=pa.large_string())), {}, "Missing Track Value"),
        (with_column(ONE, "op", dict_column(["+"], value_type=pa.large_string())), {},
         "Error in ops column, expected strings"),
    ],
)
def test_checks_run_in_their_order(events, expressions, message):
    assert read_error(events, expressions) == message


OUT_OF_RANGE = with_column(BASE, "track", dict_column(["t0", "t1"], keys=[0, 1, 5]))


@pytest.mark.parametrize(
    "events, message",
    [
        (OUT_OF_RANGE, "Malformed record batch: key 5 of 'track' at row 2 is outside its dictionary of 2 values"),
        (with_column(BASE, "unit", dict_column(["EUR"], keys=[0, -1, 0])),
         "Malformed record batch: key -1 of 'unit' at row 1 is outside its dictionary of 1 values"),
        (with_column(BASE, "op", dict_column(["+"], keys=[0, 0, 1])),
         "Malformed record batch: key 1 of 'op' at row 2 is outside its dictionary of 1 values"),
        (OUT_OF_RANGE.slice(1), "Malformed record batch: key 5 of 'track' at row 1 is outside its dictionary of 2 values"),
        (OUT_OF_RANGE.slice(0, 2), None),
        (with_column(BASE, "track", pa.DictionaryArray.from_arrays(pa.array([0, None, 1], pa.int64()),
                                                                   pa.array(["t0", "t1"]))), None),
    ],
)
def test_keys_outside_their_dictionary_are_refused_at_read_time(events, message):
    assert read_error(events) == message


@pytest.mark.parametrize(
    "result, message",
    [
        ([1, 2], "Expected __arrow_c_array__ to return a tuple of (schema, array) capsules."),
        (BASE.__arrow_c_array__()[:1], "Expected __arrow_c_array__ to return a tuple of (schema, array) capsules."),
        ((1, 2), "Expected __arrow_c_array__ to return a tuple of (schema, array) capsules."),
        (BASE.__arrow_c_array__()[::-1], "Expected __arrow_c_array__ to return a arrow_schema capsule."),
        ((BASE.schema.__arrow_c_schema__(),) * 2, "Expected __arrow_c_array__ to return a arrow_array capsule."),
        (pa.array([1, 2]).__arrow_c_array__(), "Expected Struct type from __arrow_c_array__, found Int64"),
        (pa.array(["a"]).dictionary_encode().__arrow_c_array__(),
         "Expected Struct type from __arrow_c_array__, found Dictionary(Int32, Utf8)"),
        (pa.array([0], pa.timestamp("ms", "UTC")).__arrow_c_array__(),
         "Expected Struct type from __arrow_c_array__, found Timestamp(ms, UTC)"),
    ],
)
def test_capsule_protocol_faults_raise_type_error(result, message):
    error = import_error(Capsules(result))
    assert type(error) is TypeError
    assert str(error) == message


def test_a_struct_with_top_level_nulls_is_refused_unless_sliced_away():
    struct = pa.StructArray.from_arrays(BASE.columns, names=BASE.schema.names,
                                        mask=pa.array([False, False, True]))
    error = import_error(struct)
    assert type(error) is ValueError
    assert str(error) == "Cannot convert nullable StructArray to RecordBatch, see StructArray documentation"
    assert read_error(struct.slice(0, 2)) is None


@pytest.mark.parametrize("events", [3, None, pa.table(BASE), StreamOnly(BASE)], ids=["int", "None", "table", "stream"])
def test_objects_without_the_array_protocol_must_be_record_batches(events):
    error = import_error(events)
    assert type(error) is TypeError
    found = type(events)
    name = found.__qualname__ if found.__module__ == "builtins" else f"{found.__module__}.{found.__qualname__}"
    assert str(error) == f"Expected instance of pyarrow.lib.RecordBatch, got {name}"


def test_an_exception_of_the_producer_passes_through():
    class Failing:
        def __arrow_c_array__(self, requested_schema=None):
            raise KeyError("producer")

    error = import_error(Failing())
    assert type(error) is KeyError


def test_capsules_are_moved_out_once():
    events = Capsules(BASE.__arrow_c_array__())
    assert read_error(events) is None
    error = import_error(events)
    assert type(error) is ValueError
    assert str(error) == "The capsules returned by __arrow_c_array__ have already been consumed"


@pytest.mark.parametrize(
    "expressions", [{}, BAD_EXPRESSIONS], ids=["read", "refused"])
def test_the_imported_batch_is_released_when_the_call_ends(expressions):
    gc.collect()
    baseline = pa.total_allocated_bytes()
    big = timetable([(T0 + i, "t0", "+", float(i), "EUR") for i in range(100_000)])
    capsules = Capsules(big.__arrow_c_array__())
    del big
    assert pa.total_allocated_bytes() > baseline
    read_error(capsules, expressions)
    del capsules
    gc.collect()
    assert pa.total_allocated_bytes() == baseline



class Rewritable:
    """A timetable over NumPy memory, as pyarrow reads it without a copy; its
    caller rewrites `cell` once, at the first `fire()`, while a call runs."""

    def __init__(self, rows, cell, value, null=None):
        times, tracks, ops, qty, units = zip(*rows)
        self.keys, self.offsets, columns = {}, {}, {}
        for name, texts in (("track", tracks), ("op", ops), ("unit", units)):
            values = list(dict.fromkeys(texts))
            self.keys[name] = np.array([values.index(t) for t in texts], np.int64)
            self.offsets[name] = np.cumsum([0] + [len(v) for v in values], dtype=np.int32)
            data = pa.py_buffer(np.frombuffer("".join(values).encode(), np.uint8).copy())
            dictionary = pa.StringArray.from_buffers(len(values), pa.py_buffer(self.offsets[name]), data)
            bits = None
            if null is not None and null[0] == name:  # a null cell whose slot holds null[2]
                self.bits = np.full(1, 0xFF & ~(1 << null[1]), np.uint8)
                self.keys[name][null[1]] = null[2]
                bits = pa.py_buffer(self.bits)
            keys = pa.Array.from_buffers(pa.int64(), len(rows), [bits, pa.py_buffer(self.keys[name])],
                                         null_count=0 if bits is None else 1)
            columns[name] = pa.DictionaryArray.from_arrays(keys, dictionary)
        self.batch = pa.RecordBatch.from_arrays(
            [pa.array(times, pa.timestamp("ms")), columns["track"], columns["op"], pa.array(qty), columns["unit"]],
            names=["time", "track", "op", "quantity", "unit"])
        self.cell, self.value = cell, value

    def fire(self):
        if self.cell is not None:
            field, name, i = self.cell
            array = getattr(self, field)
            (array if name is None else array[name])[i] = self.value
            self.cell = None


class Hooks:
    """The caller's code that runs during a call: a state object, a phrase, a
    dataset number and an `inp` sequence, each firing the rewrite when used."""

    def __init__(self, events, at):
        self.events, self.at = events, at

    def when(self, place, answer=None):
        if place == self.at:
            self.events.fire()
        return answer

    def advance(self, dt):
        return self.when("advance")

    def get_value(self, name, *time_ms):
        return self.when("get_value", 1.0 if time_ms else None)

    def set_stat(self, name, value):
        pass

    def __index__(self):
        return self.when("number", T0)

    def __float__(self):
        return self.when("number", 0.15)

    def expressions(self):
        hooks = self

        class Names(list):
            def __iter__(self):
                hooks.when("inp")
                return super().__iter__()

        return {"p": {"type": "phrase", "fn": lambda xs: self.when("phrase", [1.0]), "inp": Names()}}


FORWARD_ROWS = [(T0, "a", "+", 1.0, "EUR"), (T0 + DAY, "a", "+", 1.0, "p"), (T0 + 2 * DAY, "a", "+", 1.0, "b"),
                (T0 + 2 * DAY, "b", "+", 1.0, "USD")]
FD_ROWS = [(T0 + 180 * DAY, "a", "+", 1.0, "b"), (T0 + 360 * DAY, "b", "+", 1.0, "USD"),
           (T0 + 360 * DAY, "a", "+", 1.0, "USD")]
CURVES = {"USD": ("ZERO_RATES", np.array([[0.0, 50.0], [0.05, 0.05]])),
          "EUR": ("FORWARDS", np.array([[0.0, 50.0], [1.1, 1.1]]))}


def run_with_hooks(run, events, hooks):
    dataset = {"BASE": "USD", "ASSETS": CURVES, "PRICING_TS": hooks}
    fd = {"N_X": 10, "MAX_X": hooks, "TIMESTEP": 0.1}
    if run == "mc_price":
        return _vornik.mc_price(events, hooks, {**dataset, "MC": {"PATHS": 2, "SEED": 1}}, hooks.expressions())
    if run == "fixed_price":
        return _vornik.fixed_price(events, hooks, dataset, hooks.expressions())
    if run == "backtest_py":
        return _vornik.backtest_py(events, hooks, hooks.expressions(), "USD")
    if run == "backtest_csv":
        return _vornik.backtest_csv(events, hooks, "", "USD", hooks.expressions())
    if run == "fd_hullwhite_price":
        return _vornik.fd_hullwhite_price(events, hooks, {**dataset, "FD": fd, "HW": {"MEANREV": 0.1, "VOL": 0.01}}, {})
    return _vornik.fd_blackscholes_price(events, hooks, {**dataset, "FD": fd, "BS": {"VOL": 0.2, "ASSET": "USD"}}, {})


EVALUATION_ERROR = "Error during model evaluation, caused by\nMalformed record batch: "


@pytest.mark.parametrize(
    "run, at, cell, value, null, message",
    [
        ("mc_price", "advance", ("keys", "unit", 3), 2**40, None,
         EVALUATION_ERROR + "key 1099511627776 of 'unit' at row 3 is outside its dictionary of 4 values"),
        ("mc_price", "get_value", ("keys", "track", 3), -1, None,
         EVALUATION_ERROR + "key -1 of 'track' at row 3 is outside its dictionary of 2 values"),
        ("mc_price", "phrase", ("keys", "op", 2), 2**62, None,
         EVALUATION_ERROR + "key 4611686018427387904 of 'op' at row 2 is outside its dictionary of 1 values"),
        ("fixed_price", "phrase", ("keys", "unit", 2), -3, None,
         EVALUATION_ERROR + "key -3 of 'unit' at row 2 is outside its dictionary of 4 values"),
        ("fixed_price", "number", ("keys", "op", 0), -1, None,
         EVALUATION_ERROR + "key -1 of 'op' at row 0 is outside its dictionary of 1 values"),
        ("fixed_price", "phrase", ("keys", "unit", 0), 2**40, None, None),  # row 0 is valued already
        ("backtest_py", "get_value", ("keys", "track", 3), 2**40, None,
         EVALUATION_ERROR + "key 1099511627776 of 'track' at row 3 is outside its dictionary of 2 values"),
        ("backtest_csv", "phrase", ("bits", None, 0), 0xFF, ("op", 3, 1000),
         EVALUATION_ERROR + "key 1000 of 'op' at row 3 is outside its dictionary of 1 values"),
        ("fd_hullwhite_price", "number", ("keys", "unit", 0), 2**40, None,
         EVALUATION_ERROR + "key 1099511627776 of 'unit' at row 0 is outside its dictionary of 2 values"),
        ("fd_blackscholes_price", "number", ("keys", "track", 1), -1, None,
         EVALUATION_ERROR + "key -1 of 'track' at row 1 is outside its dictionary of 2 values"),
        ("fd_hullwhite_price", "number", ("keys", "op", 2), 5, None,
         EVALUATION_ERROR + "key 5 of 'op' at row 2 is outside its dictionary of 1 values"),
        ("fixed_price", "inp", ("offsets", "unit", 1), 2**31 - 1, None,
         TIMETABLE_ERROR + "Malformed record batch: the dictionary of 'unit' has offsets out of order at value 0"),
        ("backtest_py", "inp", ("offsets", "track", 1), -5, None,
         TIMETABLE_ERROR + "Malformed record batch: the dictionary of 'track' has offsets out of order at value 0"),
        ("mc_price", "inp", ("offsets", "op", 0), 2, None,
         TIMETABLE_ERROR + "Malformed record batch: the dictionary of 'op' has offsets out of order at value 0"),
    ],
)
def test_keys_and_offsets_rewritten_during_a_call_are_refused_where_used(run, at, cell, value, null, message):
    rows = FD_ROWS if run.startswith("fd") else FORWARD_ROWS
    events = Rewritable(rows, cell, value, null)
    try:
        result = run_with_hooks(run, events.batch, Hooks(events, at))
    except RuntimeError as e:
        assert str(e) == message
    else:
        assert message is None, f"expected {message!r}, got {result}"
        assert result == run_with_hooks(run, Rewritable(rows, None, None).batch, Hooks(None, None))
