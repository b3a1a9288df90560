"""How soon Ctrl-C ends a call on 10,000,000 "+" rows of one track: a child
process makes the call over and over; the parent sends SIGINT at a moment of
one call, given as a fraction of the call's duration, and the child notes the
time it sees the KeyboardInterrupt. Prints the milliseconds from the signal
to that moment: median, fastest and slowest of the runs.

    python bench/ctrl_c.py ENTRY [RUNS] [FROM] [TO]

ENTRY is fixed_price, mc_price, backtest_csv or backtest_py; the moments are
spread evenly over FROM to TO of a call (default 0 to 1). Run it pinned to a
core (taskset -c 1): the child and the parent share it.
"""

import os
import select
import signal
import statistics
import subprocess
import sys
import time

CHILD = """
import sys, time, types
import numpy as np
import pyarrow as pa
import _vornik

T0, DAY = 1_704_067_200_000, 86_400_000
n = 10**7

def one_text(text):
    return pa.DictionaryArray.from_arrays(np.zeros(n, np.int64), pa.array([text]))

times = T0 + DAY + np.arange(n, dtype=np.int64) * 100 // n * DAY
rows = pa.RecordBatch.from_arrays(
    [pa.array(times, pa.timestamp("ms")), one_text("a"), one_text("+"), pa.array(np.ones(n)), one_text("USD")],
    names=["time", "track", "op", "quantity", "unit"])
dataset = {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", np.array([[0.0, 50.0], [0.05, 0.05]]))},
           "PRICING_TS": T0, "MC": {"PATHS": 1, "SEED": 1}}
state = types.SimpleNamespace(advance=lambda dt: 1.0, get_value=lambda *args: 1.0, set_stat=lambda name, value: None)
call = {
    "fixed_price": lambda: _vornik.fixed_price(rows, state, dataset, {}),
    "mc_price": lambda: _vornik.mc_price(rows, state, dataset, {}),
    "backtest_csv": lambda: _vornik.backtest_csv(rows, state, "", "USD", {}),
    "backtest_py": lambda: _vornik.backtest_py(rows, state, {}, "USD"),
}[sys.argv[1]]
call()
durations = []
for _ in range(3):
    start = time.monotonic()
    call()
    durations.append(time.monotonic() - start)
print(min(durations), flush=True)
while True:
    try:
        sys.stdin.readline()
    except KeyboardInterrupt:  # the signal of a call that had ended
        print("late", flush=True)
        continue
    print("go", flush=True)
    try:
        call()
        print("done", flush=True)
    except KeyboardInterrupt:
        print(time.monotonic(), flush=True)
"""


def line(child, timeout):
    ready, _, _ = select.select([child.stdout], [], [], timeout)
    if not ready:
        raise TimeoutError("the child did not answer")
    return child.stdout.readline().strip()


def main():
    entry = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    lo, hi = (float(a) for a in sys.argv[3:5]) if len(sys.argv) > 4 else (0.0, 1.0)
    child = subprocess.Popen([sys.executable, "-c", CHILD, entry], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True)
    try:
        duration = float(line(child, 300))
        latencies = []
        for k in range(runs):
            moment = duration * (lo + (hi - lo) * (k + 0.5) / runs)
            child.stdin.write("\n")
            child.stdin.flush()
            assert line(child, 60) == "go"
            time.sleep(moment)
            sent = time.monotonic()
            os.kill(child.pid, signal.SIGINT)
            answer = line(child, 60)
            if answer == "done":  # the call ended before the signal
                assert line(child, 60) == "late"
                continue
            latencies.append((float(answer) - sent) * 1e3)
        print(f"{entry}: one call {duration * 1e3:.0f} ms; SIGINT at {lo:.2f} to {hi:.2f} of it, "
              f"{len(latencies)} answered: median {statistics.median(latencies):.1f} ms "
              f"({min(latencies):.1f} to {max(latencies):.1f})")
    finally:
        child.kill()
        child.wait()


if __name__ == "__main__":
    main()
