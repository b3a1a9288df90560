"""The statistics a pricing call hands to `set_stat`: which ones FLAGS
selects and in what order, the arrays' shapes, keys, dtypes and ownership,
what a failing price or a failing `set_stat` does to them, and memory that
runs out during a call or while they are dropped."""

import ctypes
import gc
import os
import subprocess
import sys

import numpy as np
import pytest

import _vornik
from contracts import T0, flat_rate_dataset, timetable

LEAD = "Error during model evaluation, caused by\n"
ALL = ["PV_VEC", "CHOICES", "CASHFLOW"]


class Recorder:
    """Answers nothing to the model (curves are used) and records set_stat."""

    def __init__(self, fail_on=()):
        self.fail_on = fail_on
        self.stats = []

    def advance(self, dt):
        return None

    def get_value(self, name):
        return None

    def set_stat(self, name, value):
        self.stats.append((name, value))
        if name in self.fail_on:
            raise ValueError(name)

    def names(self):
        return [name for name, _ in self.stats]


# Track "p" (key 0) is worth 3; the ">" row 2 of track "c" (key 1) wins
# everywhere and voids the cashflow of row 3.
ROWS = [
    (T0, "p", "+", 1.0, "USD"),
    (T0, "p", "+", 2.0, "USD"),
    (T0, "c", ">", 1.0, "USD"),
    (T0, "c", "+", -1.0, "USD"),
]
# "mc-pooled": vectors large enough to come from the module's pool.
PATHS = {"mc": 4, "mc-pooled": 8192, "fixed": 1}


def price(entry, state, flags, events=None, paths=None):
    events = events or timetable(ROWS)
    if entry.startswith("mc"):
        dataset = flat_rate_dataset(MC={"PATHS": PATHS[entry] if paths is None else paths, "SEED": 1, "FLAGS": flags})
        return _vornik.mc_price(events, state, dataset, {})
    return _vornik.fixed_price(events, state, flat_rate_dataset(FIXED={"FLAGS": flags}), {})


@pytest.mark.parametrize("entry", ["mc", "fixed"])
@pytest.mark.parametrize(
    "flags, names",
    [(0, []), (4, []), (1, ["PV_VEC"]), (2, ["CHOICES"]), (8, ["CASHFLOW"]), (10, ["CHOICES", "CASHFLOW"]),
     (11, ALL), (15, ALL)],
)
def test_flags_select_the_statistics_in_order(entry, flags, names):
    state = Recorder()
    assert price(entry, state, flags) == 3.0
    assert state.names() == names


def arrays(value):
    if isinstance(value, np.ndarray):
        yield value
    else:
        for inner in value.values():
            yield from arrays(inner)


@pytest.mark.parametrize("entry", ["mc", "mc-pooled", "fixed"])
def test_arrays_are_writeable_views_over_memory_they_own(entry):
    n = PATHS[entry]
    state = Recorder()
    price(entry, state, 11)
    stats = dict(state.stats)
    assert stats["PV_VEC"].tolist() == [3.0] * n
    # CHOICES: row, then track. CASHFLOW: track, then row.
    assert {r: {t: a.tolist() for t, a in d.items()} for r, d in stats["CHOICES"].items()} == {2: {1: [1] * n}}
    assert {t: {r: a.tolist() for r, a in d.items()} for t, d in stats["CASHFLOW"].items()} == {
        0: {0: [1.0] * n, 1: [2.0] * n},
        1: {2: [1.0] * n, 3: [0.0] * n},
    }
    written = [(name, a) for name in ALL for a in arrays(stats[name])]
    for name, a in written:
        expected = np.uint64 if name == "CHOICES" else np.float64
        assert (a.dtype, a.shape, a.flags.writeable) == (expected, (n,), True), name
        assert type(a.base).__name__ == "PySliceContainer", name
        a[:] = 7

    # The memory stays with the arrays after the call and through the next one.
    del state, stats
    gc.collect()
    price(entry, Recorder(), 11)
    assert all((a == 7).all() for _, a in written)


# Caps the address space at what is mapped now and fills the heap up to the
# cap, but for a few small blocks of every size class that Python needs to go
# on; lift() undoes both.
FILL = """
import resource

def fill_address_space():
    reserve = [[bytes(n) for _ in range(8)] for n in range(0, 480, 16)]  # no list above 512 bytes
    filler, n = [None] * (1 << 20), 0  # made first: a list that grows would fail early and leave memory free
    with open("/proc/self/statm") as f:
        address_space = int(f.read().split()[0]) * resource.getpagesize()
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space, hard))
    for size in (1 << 20, 1 << 16, 1 << 12, 1 << 10, 940, 256, 16):
        try:
            while True:
                filler[n] = bytes(size)
                n += 1
        except MemoryError:
            pass
    del reserve

    def lift():
        nonlocal filler
        filler = None
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))

    return lift
"""

# Keeps 3,000 arrays from the module's pool, exhausts the address space,
# prices (which must fail cleanly) and drops every other array: each drop
# leaves a hole the pool must note without allocating. With the limit lifted,
# the module prices as before.
DROP_WHEN_FULL = FILL + """
from test_stats import T0, Recorder, arrays, price, timetable

N = 3000
events = timetable([(T0, "p", "+", 1.0, "USD")] * N)
state = Recorder()
assert price("mc", state, 8, events, paths=4096) == N
kept = list(arrays(state.stats.pop()[1]))
dropped = list(range(0, N, 2))  # made now: the drops must be the only frees

lift = fill_address_space()
try:
    price("mc", Recorder(), 0, events, paths=10**7)
except BaseException as e:  # the abort class, or MemoryError where Python runs out first
    failed = type(e).__name__
assert failed in ("PanicException", "MemoryError"), failed
for i in dropped:
    kept[i] = None
lift()

assert all((a == 1.0).all() for a in kept[1::2])
state = Recorder()
assert price("mc", state, 8, events, paths=4096) == N
assert all((a == 1.0).all() for a in arrays(state.stats[0][1]))
print("priced again", flush=True)
"""

# The first abort of the process, with memory exhausted: its exception class
# must need no memory then. (The child keeps to the module and pyarrow: what
# pytest leaves on the heap is slack enough to hide the fault.)
FIRST_ABORT_WHEN_FULL = FILL + """
import _vornik
from contracts import T0, flat_rate_dataset, timetable

events = timetable([(T0, "p", "+", 1.0, "USD")])
lift = fill_address_space()
try:
    _vornik.mc_price(events, None, flat_rate_dataset(MC={"PATHS": 2**40, "SEED": 1}), {})
except BaseException as e:
    failed = type(e).__name__
lift()
assert failed in ("PanicException", "MemoryError"), failed
assert _vornik.fixed_price(events, None, flat_rate_dataset(), {}) == 1.0
print("priced again", flush=True)
"""

# pyarrow lets a C++ exception out with the interpreter lock released when
# its memory runs out. A ctypes call of the throw stands in for it, made from
# C (no Python frame between) once a phrase's names have handed the module
# that many last references: their drops must wait for the lock.
THROW_AFTER_DROPS = """
import ctypes
import _vornik
from test_stats import T0, Recorder, price, timetable
from contracts import flat_rate_dataset

class Name(str):
    pass

class Names:
    def __init__(self):
        self.left = {}
    def __len__(self):
        return 0
    def __getitem__(self, i):
        raise IndexError
    def __iter__(self):
        return self
    def __next__(self):
        self.left -= 1
        if self.left == 0:
            type(self).__next__ = ctypes.CDLL("libstdc++.so.6")._ZSt17__throw_bad_allocv
        return Name("USD")

expressions = {{"p": {{"type": "phrase", "fn": lambda x: [1.0], "inp": Names()}}}}
try:
    _vornik.fixed_price(timetable([(T0, "a", "+", 1.0, "p")]), None, flat_rate_dataset(), expressions)
except BaseException as e:
    assert (type(e).__name__, str(e)) == ("PanicException", "std::bad_alloc"), e
assert price("fixed", Recorder(), 0, timetable([(T0, "p", "+", 1.0, "USD")])) == 1.0
print("priced again", flush=True)
"""

UNDER_ASAN = pytest.mark.skipif(hasattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes"),
                                reason="AddressSanitizer ends the process when its own mappings fail under the limit")


@pytest.mark.parametrize("script", [
    pytest.param(DROP_WHEN_FULL, marks=UNDER_ASAN, id="arrays-dropped-when-full"),
    pytest.param(FIRST_ABORT_WHEN_FULL, marks=UNDER_ASAN, id="first-abort-when-full"),
    pytest.param(THROW_AFTER_DROPS.format(40), id="throw-after-40-drops"),
    pytest.param(THROW_AFTER_DROPS.format(200), id="throw-after-200-drops"),
])
def test_memory_running_out_ends_nothing(script):
    # The child imports the same module as this run (the sanitized build's too).
    path = [os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    assert (child.returncode, child.stdout) == (0, "priced again\n"), child.stderr


@pytest.mark.parametrize(
    "events, paths, flags, message",
    [
        (timetable(ROWS[2:], tracks=["p", "c"]), None, 9, "Track 0 not found"),
        (None, 0, 11, "Empty PV Vector"),
    ],
    ids=["no-track-0", "no-paths"],
)
def test_no_statistic_is_written_when_the_price_fails(events, paths, flags, message):
    state = Recorder()
    with pytest.raises(RuntimeError) as info:
        price("mc", state, flags, events, paths)
    assert str(info.value) == LEAD + message
    assert state.stats == []


@pytest.mark.parametrize("failing", ALL)
def test_a_raising_set_stat_stops_neither_the_others_nor_the_price(failing):
    state = Recorder(fail_on={failing})
    assert price("mc", state, 11) == 3.0
    assert state.names() == ALL


@pytest.mark.parametrize("state", [None, object()], ids=["none", "no-set-stat"])
def test_a_state_without_set_stat_still_gets_the_price(state):
    assert price("fixed", state, 11) == 3.0
