"""fixed_price through the entry on two contracts of every day: a 30-year payer
swap (semiannual fixed coupons, quarterly floating coupons booked as notional
exchanges) and a 30-year semiannual bond. Each call reads the batch and the
dataset again; prints microseconds per call (best of several repeats) and
the price, checked against a sum by hand over the same curves.
"""

import math
import sys
import time

import numpy as np
import pyarrow as pa

import _vornik

T0 = 1_704_067_200_000  # 2024-01-01T00:00:00Z
YEAR_MS = 31_536_000_000
YEARS, NOTIONAL, COUPON = 30, 100.0, 0.04
CALLS, REPEATS = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000, 7

# About 40 zero-rate pillars out to 40 years, and a forward curve for the
# floating leg's index (what one unit of it is worth at each time, in USD).
pillars = np.concatenate([[1 / 12, 0.25, 0.5, 0.75], np.arange(1.0, 31.0), np.arange(32.0, 41.0, 2.0)])
zero_rates = 0.03 + 0.012 * (1.0 - np.exp(-pillars / 6.0))
index_times = np.concatenate([[0.0], pillars])
index_forwards = 1.0 + 0.0002 * index_times  # a small basis over the base curve
dataset = {
    "BASE": "USD",
    "ASSETS": {
        "USD": ("ZERO_RATES", np.array([pillars, zero_rates])),
        "SOFR": ("FORWARDS", np.array([index_times, index_forwards])),
    },
    "PRICING_TS": T0,
    "FIXED": {"FLAGS": 0},
}


def at(years):
    return T0 + round(years * YEAR_MS)


def batch(rows, tracks):
    times, track, op, qty, unit = zip(*rows)

    def dictionary(texts, values):
        index = {v: i for i, v in enumerate(values)}
        return pa.DictionaryArray.from_arrays(pa.array([index[t] for t in texts], pa.int64()), pa.array(values))

    return pa.RecordBatch.from_arrays(
        [pa.array(times, pa.timestamp("ms")), dictionary(track, tracks), dictionary(op, ["+"]),
         pa.array(qty, pa.float64()), dictionary(unit, sorted(set(unit)))],
        names=["time", "track", "op", "quantity", "unit"],
    )


# Payer swap: pay the fixed leg, receive the floating leg. Each floating
# period is a notional exchange: +N units of the index at its start, -N USD
# at its end; the fixed coupons are -N * c / 2 USD. Rows in time order.
# The swap's track rows come first: settlement runs from the last row back,
# so a track row takes what the later rows booked on its leg.
swap_rows = [(T0, "swap", "+", 1.0, "fixed"), (T0, "swap", "+", 1.0, "float")]
for q in range(4 * YEARS):
    start, end = q / 4, (q + 1) / 4
    swap_rows.append((at(start), "float", "+", NOTIONAL, "SOFR"))
    swap_rows.append((at(end), "float", "+", -NOTIONAL, "USD"))
    if (q + 1) % 2 == 0:
        swap_rows.append((at(end), "fixed", "+", -NOTIONAL * COUPON / 2, "USD"))
swap_rows.sort(key=lambda r: r[0])  # stable: the track rows stay first
swap = batch(swap_rows, ["swap", "fixed", "float"])

# Bond: pay par today, receive semiannual coupons and the notional at the end.
bond_rows = [(T0, "bond", "+", -NOTIONAL, "USD")]
bond_rows += [(at(k / 2), "bond", "+", NOTIONAL * COUPON / 2, "USD") for k in range(1, 2 * YEARS + 1)]
bond_rows[-1] = (bond_rows[-1][0], "bond", "+", NOTIONAL * (1 + COUPON / 2), "USD")
bond = batch(bond_rows, ["bond"])


def curve(xs, ys, t):
    """The value at t of the piecewise-linear curve through (xs, ys), the line from the origin before xs[0]."""
    if t <= xs[0]:
        return t * ys[0] / xs[0] if xs[0] > 0 else ys[0]
    return float(np.interp(t, xs, ys))


def df(t):
    return math.exp(-curve(pillars, pillars * zero_rates, t))


def sofr(t):
    return math.exp(curve(index_times, np.log(index_forwards), t))


def by_hand(rows):
    total = 0.0
    for t_ms, track, _, qty, unit in rows:
        t = (t_ms - T0) / YEAR_MS
        if unit == "USD":
            total += qty * df(t)
        elif unit == "SOFR":
            total += qty * df(t) * sofr(t)
    return total


def per_call(events):
    best = float("inf")
    for _ in range(REPEATS):
        start = time.perf_counter()
        for _ in range(CALLS):
            _vornik.fixed_price(events, None, dataset, {})
        best = min(best, time.perf_counter() - start)
    return best * 1e6 / CALLS


if __name__ == "__main__":
    for name, events, rows in (("swap", swap, swap_rows), ("bond", bond, bond_rows)):
        price = _vornik.fixed_price(events, None, dataset, {})
        expected = by_hand([r for r in rows if r[4] in ("USD", "SOFR")])
        assert math.isclose(price, expected, rel_tol=1e-12, abs_tol=1e-9), (name, price, expected)
        print(f"{name}: {events.num_rows} rows, {per_call(events):.2f} us per call (best of {REPEATS} x {CALLS}), "
              f"price {price:.10f}")
