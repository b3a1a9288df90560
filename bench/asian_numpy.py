"""A daily-fixing Asian call through mc_price against the same payoff written
in NumPy over the same path arrays: 10,000 paths, 366 daily "+" fixings into
an averaging track, the strike, and a ">" row that floors the average at 0.
The NumPy version repeats the engine's operations in the engine's order, so
the two prices agree to the bit. Prints both times (best of several calls in
one process) and their ratio.

The engine must copy each fixing out of NumPy when it is given (the caller
may change the array afterwards) and can sum the fixings only once the last
is known (settlement runs from the last row to the first, and the order of
the additions is part of the result): three passes over memory where NumPy
makes one. Also printed: the payoff as one matrix-vector product (one pass,
another order of summation), and the three passes alone, in NumPy: the floor
of that design.
"""

import math
import time

import numpy as np
import pyarrow as pa

import _vornik

T0 = 1_704_067_200_000
DAY = 86_400_000
PATHS, DAYS, STRIKE, REPEATS = 10_000, 366, 100.0, 30

# Built a row at a time: freeing a large temporary would raise glibc's malloc
# thresholds for the rest of the process and hide what a call costs in a
# process that has not.
rng = np.random.default_rng(7)
paths = np.empty((DAYS, PATHS))
level = np.full(PATHS, 100.0)
for k in range(DAYS):
    level = level * np.exp(0.01 * rng.standard_normal(PATHS))
    paths[k] = level
factors = [math.exp(-0.03 / 365) for _ in range(DAYS)]  # what advance answers at each fixing


class Precomputed:
    def __init__(self):
        self.k = -1

    def advance(self, dt):
        self.k += 1
        return factors[self.k]

    def get_value(self, name):
        return paths[self.k] if name == "S" else None

    def set_stat(self, name, value):
        pass


def column(texts):
    values = list(dict.fromkeys(texts))
    keys = pa.array([values.index(t) for t in texts], pa.int64())
    return pa.DictionaryArray.from_arrays(keys, pa.array(values))


# Row 0: P keeps max(0, A); rows 1..366: A += S / 366; last row: A += -STRIKE.
rows = [(T0, "P", ">", 1.0, "A")]
rows += [(T0 + (k + 1) * DAY, "A", "+", 1.0 / DAYS, "S") for k in range(DAYS)]
rows += [(T0 + DAYS * DAY, "A", "+", -STRIKE, "USD")]
times, tracks, ops, quantities, units = zip(*rows)
events = pa.RecordBatch.from_arrays(
    [pa.array(times, pa.timestamp("ms")), column(tracks), column(ops), pa.array(quantities), column(units)],
    names=["time", "track", "op", "quantity", "unit"],
)
flat = np.array([[0.0, 50.0], [0.03, 0.03]])
dataset = {"BASE": "USD", "ASSETS": {"USD": ("ZERO_RATES", flat)}, "PRICING_TS": T0,
           "MC": {"PATHS": PATHS, "SEED": 0, "FLAGS": 0}}


def engine():
    return _vornik.mc_price(events, Precomputed(), dataset, {})


def numpy_price():
    # The event scale of each fixing: the numeraire (running product of the
    # factors) times the quantity.
    numeraire, scales = 1.0, []
    for f in factors:
        numeraire = numeraire * f
        scales.append(numeraire * (1.0 / DAYS))
    # Settlement runs from the last row to the first: the strike meets a zero track.
    track = np.full(PATHS, 0.0 + (numeraire * -STRIKE) * 1.0)
    for k in reversed(range(DAYS)):
        track += paths[k] * scales[k]
    payoff = np.fmax(0.0, track)
    # The engine's mean: eight running sums, folded in pairs.
    lanes = payoff.reshape(-1, 8).sum(axis=0)
    total = 0.0
    for k in range(4):
        total += lanes[k] + lanes[k + 4]
    return total / PATHS


def numpy_vectorised():
    # The same payoff as one matrix-vector product: one pass over the paths,
    # but another order of summation, so the price may differ in its last bits.
    numeraire, scales = 1.0, np.empty(DAYS)
    for k, f in enumerate(factors):
        numeraire = numeraire * f
        scales[k] = numeraire * (1.0 / DAYS)
    return np.fmax(0.0, scales @ paths + numeraire * -STRIKE).mean()


stored = np.empty((DAYS, PATHS))


def numpy_floor():
    # Every fixing copied and scaled as it comes, then summed from the last.
    numeraire = 1.0
    for k, f in enumerate(factors):
        numeraire = numeraire * f
        np.multiply(paths[k], numeraire * (1.0 / DAYS), out=stored[k])
    track = np.full(PATHS, 0.0 + (numeraire * -STRIKE) * 1.0)
    for k in reversed(range(DAYS)):
        track += stored[k]
    return np.fmax(0.0, track).mean()


def best(fn):
    start = time.perf_counter()
    price = fn()
    return time.perf_counter() - start, price


first = best(engine)[0]
runs = {engine: [], numpy_price: [], numpy_vectorised: [], numpy_floor: []}
prices = {}
for _ in range(REPEATS):
    for fn in runs:
        seconds, prices[fn] = best(fn)
        runs[fn].append(seconds)
ours, theirs = min(runs[engine]), min(runs[numpy_price])
print(f"mc_price: {ours * 1e3:.2f} ms (first call {first * 1e3:.2f} ms); NumPy: {theirs * 1e3:.2f} ms; "
      f"ratio {ours / theirs:.2f} (best of {REPEATS}, {PATHS} paths, {len(rows)} rows)")
vectorised = min(runs[numpy_vectorised])
print(f"NumPy as one matrix-vector product: {vectorised * 1e3:.2f} ms; ratio {ours / vectorised:.2f} "
      f"(price {prices[numpy_vectorised]!r})")
print(f"the design's three passes alone, in NumPy: {min(runs[numpy_floor]) * 1e3:.2f} ms")
print(f"prices: {prices[engine]!r} and {prices[numpy_price]!r}: "
      f"{'the same' if prices[engine] == prices[numpy_price] else 'DIFFERENT'}")
