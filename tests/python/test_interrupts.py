"""Ctrl-C and the caller's own exceptions: a KeyboardInterrupt or SystemExit
raised by the caller's code, or by a signal handler during a long run, ends
the call and reaches the caller as the very object raised, unwrapped. And a
call on a daemon thread that the exiting interpreter ends leaves quietly."""

import os
import select
import signal
import subprocess
import sys
import time
import types

import numpy as np
import pyarrow as pa
import pytest

import _vornik
from contracts import DAY_MS, T0, YEAR_MS, flat_rate_dataset, timetable

# A step of one millisecond over twelve days: 10**9 rolls.
LONG_DATASET = flat_rate_dataset(FD={"N_X": 1, "MAX_X": 0.1, "TIMESTEP": 1.5 / YEAR_MS},
                                 HW={"MEANREV": 0.1, "VOL": 0.01})
LONG_EVENTS = timetable([(T0 + 12 * DAY_MS, "a", "+", 1.0, "USD")])


def many_rows(n=10**7):
    """n rows of "+" 1.0 USD on one track over a hundred days, built from arrays at once."""

    def one_text(text):
        return pa.DictionaryArray.from_arrays(np.zeros(n, np.int64), pa.array([text]))

    times = T0 + DAY_MS + np.arange(n, dtype=np.int64) * 100 // n * DAY_MS
    return pa.RecordBatch.from_arrays(
        [pa.array(times, pa.timestamp("ms")), one_text("a"), one_text("+"), pa.array(np.ones(n)), one_text("USD")],
        names=["time", "track", "op", "quantity", "unit"],
    )


def long_call(entry):
    """A call of the entry that runs for a while."""
    if entry == "fd_hullwhite_price":
        return lambda: _vornik.fd_hullwhite_price(LONG_EVENTS, None, LONG_DATASET, {})
    rows = many_rows()
    if entry == "fixed_price":
        return lambda: _vornik.fixed_price(rows, None, flat_rate_dataset(), {})
    state = types.SimpleNamespace(set_stat=lambda name, value: None)
    return lambda: _vornik.backtest_csv(rows, state, "", "USD", {})


# The call is repeated until the signal ends it, so that every moment lands in one.
CHILD = """
import sys
from test_interrupts import long_call

call = long_call(sys.argv[1])
print("pricing", flush=True)
try:
    while True:
        call()
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def child_env():
    """The child imports the same module as this run (the sanitized build's too)."""
    path = [os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p))


# Moments after the call starts: the rows' reading, graph and walk, settlement
# and writing. Ten million rows answered in tens of milliseconds before the
# polls of these phases, and in hundreds without them.
@pytest.mark.parametrize("entry, moment", [("fd_hullwhite_price", 0.1), ("fixed_price", 0.01), ("fixed_price", 0.1),
                                           ("backtest_csv", 0.1), ("backtest_csv", 0.4)])
def test_ctrl_c_ends_a_long_run_at_once(entry, moment):
    child = subprocess.Popen([sys.executable, "-c", CHILD, entry], stdout=subprocess.PIPE, text=True, env=child_env())
    try:
        assert child.stdout.readline() == "pricing\n"
        time.sleep(moment)
        child.send_signal(signal.SIGINT)
        ready, _, _ = select.select([child.stdout], [], [], 0.25)
        assert ready, "no answer to SIGINT within a quarter of a second"
        assert child.stdout.readline() == "interrupted\n"
    finally:
        child.kill()
        child.wait()


@pytest.mark.parametrize("exc_type", [ValueError, SystemExit])
def test_what_a_signal_handler_raises_during_a_long_run_reaches_the_caller(exc_type):
    exc = exc_type("from the handler")

    def handler(signum, frame):
        raise exc

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        start = time.monotonic()
        with pytest.raises(exc_type) as info:
            _vornik.fd_hullwhite_price(LONG_EVENTS, None, LONG_DATASET, {})
        assert time.monotonic() - start < 5.0, "the handler ran only after the run"
        assert info.value is exc
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


class Caller:
    """The caller's code of one call: `fire` raises the exception under test,
    and every hook that runs after it is noted in `late`."""

    def __init__(self, exc):
        self.exc, self.fired, self.late = exc, False, []

    def fire(self, *_):
        self.fired = True
        raise self.exc

    def hook(self, name, answer=None):
        def call(*args):
            if self.fired:
                self.late.append(name)
            return answer(*args) if callable(answer) else answer

        return call

    def state(self, advance=1.0, get_value=None, set_stat=None):
        return types.SimpleNamespace(advance=self.hook("advance", advance), get_value=self.hook("get_value", get_value),
                                     set_stat=self.hook("set_stat", set_stat))

    def number(self):
        """An object whose float and index conversions fire."""
        return type("Number", (), {"__float__": self.fire, "__index__": self.fire})()


LATER = [(T0 + DAY_MS, "a", "+", 1.0, "USD"), (T0 + 2 * DAY_MS, "a", "+", 1.0, "USD")]


def mc(state, paths=3):
    return _vornik.mc_price(timetable(LATER), state, flat_rate_dataset(MC={"PATHS": paths, "SEED": 1}), {})


def fixed(c, expressions=None, unit="USD", dataset=None):
    dataset = dataset or flat_rate_dataset()
    return _vornik.fixed_price(timetable([(T0, "a", "+", 1.0, unit)]), c.state(), dataset, expressions or {})


def phrase(fn, inp=()):
    return {"p": {"type": "phrase", "fn": fn, "inp": inp}}


def colliding_key(c):
    """A dataset key that the lookup of the optional FIXED compares with."""
    key = type("Key", (), {"__hash__": lambda self: hash("FIXED"), "__eq__": c.fire})()
    return {**flat_rate_dataset(), key: 1}


def raises_unprintable(c):
    def fn(inputs):
        raise type("Unprintable", (Exception,), {"__str__": c.fire})()

    return fn


CALLS = {
    "events_rb": lambda c: _vornik.fixed_price(types.SimpleNamespace(__arrow_c_array__=c.fire), None, {}, {}),
    "advance": lambda c: mc(c.state(advance=c.fire)),
    "float-of-advance": lambda c: mc(c.state(advance=lambda dt: c.number())),
    "get_value": lambda c: mc(c.state(get_value=c.fire)),
    "backtest-get_value": lambda c: _vornik.backtest_py(timetable(LATER), c.state(get_value=c.fire), {}, "EQ"),
    "phrase": lambda c: fixed(c, phrase(c.fire), unit="p"),
    "float-of-phrase-item": lambda c: fixed(c, phrase(lambda x: [c.number()]), unit="p"),
    "snapper": lambda c: fixed(c, {"s": {"type": "snapper", "fn": c.fire, "inp": [], "out": ["x"]}}, unit="s"),
    "str-of-raised-exception": lambda c: fixed(c, phrase(raises_unprintable(c)), unit="p"),
    "set_stat": lambda c: _vornik.fixed_price(timetable(LATER), c.state(set_stat=c.fire),
                                              flat_rate_dataset(FIXED={"FLAGS": 11}), {}),
    "index-of-PATHS": lambda c: mc(c.state(), paths=c.number()),
    "len-of-inp": lambda c: fixed(c, phrase(lambda x: [1.0], type("Inp", (list,), {"__len__": c.fire})(["USD"]))),
    "eq-of-FIXED-key": lambda c: fixed(c, dataset=colliding_key(c)),
}


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_the_callers_own_exception_ends_the_call_unchanged(call, exc_type):
    exc = exc_type("from the caller")
    c = Caller(exc)
    with pytest.raises(exc_type) as info:
        call(c)
    assert info.value is exc
    assert not hasattr(exc, "__notes__")
    assert c.late == []


def spin():
    """Python code long enough for the interpreter to hand its lock over."""
    for _ in range(300):
        pass


class Spun(float):
    """A number whose finalizer runs Python code when the module drops it."""

    def __del__(self):
        spin()


class Spinning:
    """A state object whose every method runs Python code."""

    def advance(self, dt):
        spin()
        return Spun(1.0)

    def get_value(self, name, time_ms=None):
        spin()
        return np.ones(4) if time_ms is None else Spun(100.0)

    def set_stat(self, name, value):
        spin()
        return Spun(0.0)


def spinning_phrase(inputs):
    spin()
    return [Spun(1.0)]


class Sleeper:
    """A phrase whose first evaluation empties the caller's expressions, so
    that the module holds the last reference of every phrase; each one's
    finalizer lets go of the interpreter lock."""

    def __init__(self, expressions):
        self.expressions = expressions

    def __call__(self, inputs):
        self.expressions.clear()
        return [1.0]

    def __del__(self):
        time.sleep(0.001)


SLEEPERS = [f"s{i}" for i in range(200)]
SLEEPER_ROWS = timetable([(T0 + DAY_MS, "a", "+", 1.0, name) for name in SLEEPERS])


def last_references_that_sleep():
    expressions = {}
    expressions.update({name: {"type": "phrase", "fn": Sleeper(expressions), "inp": []} for name in SLEEPERS})
    _vornik.backtest_csv(SLEEPER_ROWS, Spinning(), "", "USD", expressions)


EQ = flat_rate_dataset(assets={"EQ": ("FORWARDS", np.array([[0.0, 50.0], [100.0, 100.0]]))})
FD = {"N_X": 20, "TIMESTEP": 0.01, "FLAGS": 9}
ROWS = timetable([(T0 + (i + 1) * DAY_MS, "a", "+", 1.0, "EQ") for i in range(50)])
PHRASE_ROWS = timetable([(T0 + (i + 1) * DAY_MS, "a", "+", 1.0, "p") for i in range(50)])
PHRASE = {"p": {"type": "phrase", "fn": spinning_phrase, "inp": []}}
# Each entry with caller code that runs during the call.
DAEMON_CALLS = {
    "mc_price": lambda: _vornik.mc_price(ROWS, Spinning(), {**EQ, "MC": {"PATHS": 4, "SEED": 1, "FLAGS": 8}}, {}),
    "fixed_price": lambda: _vornik.fixed_price(PHRASE_ROWS, Spinning(), {**EQ, "FIXED": {"FLAGS": 8}}, PHRASE),
    "fd_hullwhite_price": lambda: _vornik.fd_hullwhite_price(
        ROWS, Spinning(), {**EQ, "FD": {**FD, "MAX_X": 0.1}, "HW": {"MEANREV": 0.1, "VOL": 0.01}}, {}),
    "fd_blackscholes_price": lambda: _vornik.fd_blackscholes_price(
        ROWS, Spinning(), {**EQ, "FD": {**FD, "MAX_X": 1.0}, "BS": {"VOL": 0.2, "ASSET": "EQ"}}, {}),
    "backtest_csv": lambda: _vornik.backtest_csv(PHRASE_ROWS, Spinning(), "", "USD", PHRASE),
    "backtest_py": lambda: _vornik.backtest_py(ROWS, Spinning(), {}, "USD"),
    "200-last-references": last_references_that_sleep,
}

DAEMON_CHILD = """
import sys, threading, time
from test_interrupts import DAEMON_CALLS

call = DAEMON_CALLS[sys.argv[1]]
call()

def loop():
    while True:
        call()

for _ in range(int(sys.argv[2])):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(float(sys.argv[3]))
"""


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("entry", DAEMON_CALLS)
def test_the_process_exits_quietly_while_daemon_threads_are_inside_calls(entry, threads):
    children = [subprocess.Popen([sys.executable, "-c", DAEMON_CHILD, entry, str(threads), str(delay)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
                for delay in (0.1, 0.15, 0.2, 0.25, 0.3)]
    ends = [(*child.communicate(timeout=60), child.returncode) for child in children]
    assert ends == [("", "", 0)] * len(children)


# get_value is C all the way (libc's raise, through ctypes and functools):
# it makes SIGINT pending and hands back an object with a finalizer, and no
# Python code runs before the module releases that object: at the next
# row's advance, before set_stat, or at the call's end.
FINALIZER_CHILD = """
import ctypes, functools, signal, sys, types
import numpy as np
import _vornik
from contracts import DAY_MS, T0, flat_rate_dataset, timetable

class Finalized(ctypes.c_int):
    def __del__(self):
        pass

raise_signal = getattr(ctypes.CDLL(None), "raise")
raise_signal.restype = Finalized
state = types.SimpleNamespace(advance=lambda dt: 1.0, get_value=functools.partial(raise_signal, signal.SIGINT),
                              set_stat=lambda name, value: None)
rows, flags = int(sys.argv[1]), int(sys.argv[2])
events = timetable([(T0 + (i + 1) * DAY_MS, "a", "+", 1.0, "EQ") for i in range(rows)])
dataset = flat_rate_dataset(assets={"EQ": ("FORWARDS", np.array([[0.0, 50.0], [100.0, 100.0]]))},
                            MC={"PATHS": 4, "SEED": 1, "FLAGS": flags})
try:
    _vornik.mc_price(events, state, dataset, {})
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.parametrize("rows, flags", [(2, 0), (1, 1), (1, 0)], ids=["next-callback", "set_stat", "call-end"])
def test_a_signal_pending_when_a_finalizer_would_run_reaches_the_caller(rows, flags):
    child = subprocess.run([sys.executable, "-c", FINALIZER_CHILD, str(rows), str(flags)], capture_output=True,
                           text=True, env=child_env(), timeout=60)
    assert (child.returncode, child.stdout, child.stderr) == (0, "interrupted\n", "")
