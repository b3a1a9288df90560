"""mc_price through the entry: 100,000 paths and 250 event times, the paths
precomputed by the state object so that the figure is the engine's own cost.
Prints nanoseconds per path per row for the first call of the process and for
repeated calls, the peak memory one call adds and what stays resident.

Each recorded row holds one fresh vector until settlement (190 MiB in all).
Up to 64 MiB of that stays mapped between calls; the rest is given back and
faulted in again by the next call, as transparent huge pages.
"""

import time

import numpy as np
import pyarrow as pa

import _vornik

T0 = 1_704_067_200_000
DAY = 86_400_000
PATHS, TIMES, REPEATS = 100_000, 250, 5

rng = np.random.default_rng(1)
paths = 100.0 * np.exp(np.cumsum(0.01 * rng.standard_normal((TIMES, PATHS)), axis=0))


class Precomputed:
    def __init__(self):
        self.k = -1

    def advance(self, dt):
        self.k += 1
        return 0.9999

    def get_value(self, name):
        return paths[self.k]

    def set_stat(self, name, value):
        pass


def dictionary(values, n):
    return pa.DictionaryArray.from_arrays(pa.array([0] * n, pa.int64()), pa.array(values))


# An Asian-style average: one "+" row on SPX per event time.
events = pa.RecordBatch.from_arrays(
    [pa.array([T0 + (k + 1) * DAY for k in range(TIMES)], pa.timestamp("ms")), dictionary(["avg"], TIMES),
     dictionary(["+"], TIMES), pa.array([1.0 / TIMES] * TIMES), dictionary(["SPX"], TIMES)],
    names=["time", "track", "op", "quantity", "unit"],
)
dataset = {"BASE": "USD", "ASSETS": {}, "PRICING_TS": T0, "MC": {"PATHS": PATHS, "SEED": 0, "FLAGS": 0}}


def call(flags):
    dataset["MC"]["FLAGS"] = flags
    start = time.perf_counter()
    _vornik.mc_price(events, Precomputed(), dataset, {})
    return (time.perf_counter() - start) * 1e9 / (PATHS * TIMES)


def status_kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))


resident = status_kib("VmRSS:")
print(f"first call of the process, FLAGS 0: {call(0):.2f} ns per path per row")
for flags in (0, 8):
    print(f"FLAGS {flags}: {min(call(flags) for _ in range(REPEATS)):.2f} ns per path per row (best of {REPEATS})")
print(f"resident memory after the calls: {(status_kib('VmRSS:') - resident) / 1024:.0f} MiB above where it stood")

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # restart the peak at the current resident size
_vornik.mc_price(events, Precomputed(), dataset, {})
peak = (status_kib("VmHWM:") - resident) / 1024
vector = PATHS * 8 / 2**20
print(f"peak memory of one call: {peak:.0f} MiB above where resident memory stood before the first call; "
      f"one vector per row: {TIMES * vector:.0f} MiB ({vector:.2f} MiB each)")
