"""mc_price through the entry: 100,000 paths and 250 event times, the paths
precomputed by the state object so that the figure is the engine's own cost.
Prints nanoseconds per path per row and the peak memory one call adds.

Each recorded row holds one fresh vector until settlement; with glibc's
default thresholds that memory goes back to the kernel after every call and
is faulted in again by the next. To see the engine alone, keep it:
  GLIBC_TUNABLES=glibc.malloc.mmap_threshold=4294967296:glibc.malloc.trim_threshold=4294967296
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


def run(flags):
    dataset["MC"]["FLAGS"] = flags
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        _vornik.mc_price(events, Precomputed(), dataset, {})
        best = min(best, time.perf_counter() - start)
    return best * 1e9 / (PATHS * TIMES)


def status_kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))


for flags in (0, 8):
    print(f"FLAGS {flags}: {run(flags):.2f} ns per path per row (best of {REPEATS})")

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # restart the peak at the current resident size
before = status_kib("VmRSS:")
_vornik.mc_price(events, Precomputed(), dataset, {})
added = (status_kib("VmHWM:") - before) / 1024
vector = PATHS * 8 / 2**20
print(f"peak memory of one call: {added:.0f} MiB; one vector per row: {TIMES * vector:.0f} MiB ({vector:.2f} MiB each)")
