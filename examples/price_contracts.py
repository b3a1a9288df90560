"""Prices a few contracts with every entry of _vornik and prints the results.

Each contract is a timetable: one row per event (time, track, op, quantity,
unit), as an Arrow record batch. Track key 0 (the first track named) is priced.
"""

import math

import numpy as np
import pyarrow as pa

import _vornik

YEAR = 31_536_000_000  # milliseconds in a 365-day year
DAY = 86_400_000
T0 = 1_704_067_200_000  # 2024-01-01T00:00:00Z, the pricing time
RATE, SPOT, VOL, STRIKE = 0.03, 100.0, 0.2, 100.0


def dictionary(texts):
    values = list(dict.fromkeys(t for t in texts if t is not None))
    keys = pa.array([None if t is None else values.index(t) for t in texts], pa.int64())
    return pa.DictionaryArray.from_arrays(keys, pa.array(values, pa.string()))


def timetable(rows):
    times, tracks, ops, quantities, units = zip(*rows)
    return pa.RecordBatch.from_arrays(
        [pa.array(times, pa.timestamp("ms", tz="UTC")), dictionary(tracks), dictionary(ops),
         pa.array(quantities, pa.float64()), dictionary(units)],
        names=["time", "track", "op", "quantity", "unit"],
    )


def at(years):
    return T0 + round(years * YEAR)


# Market data: a flat 3% zero curve for USD, and SPX forwards growing at 3%.
pillars = np.linspace(0.0, 30.0, 61)
DATASET = {
    "BASE": "USD",
    "ASSETS": {
        "USD": ("ZERO_RATES", np.array([pillars, np.full_like(pillars, RATE)])),
        "SPX": ("FORWARDS", np.array([pillars, SPOT * np.exp(RATE * pillars)])),
    },
    "PRICING_TS": T0,
}


class GbmPaths:
    """Monte Carlo state object: SPX on geometric Brownian motion paths."""

    def __init__(self, paths, seed=7):
        self.rng = np.random.default_rng(seed)
        self.spot = np.full(paths, SPOT)
        self.time = 0.0
        self.stats = {}

    def advance(self, t):  # t: years since the pricing time
        dt = t - self.time
        z = self.rng.standard_normal(self.spot.size)
        self.spot = self.spot * np.exp((RATE - 0.5 * VOL**2) * dt + VOL * math.sqrt(dt) * z)
        self.time = t
        return math.exp(-RATE * dt)  # multiplies the numeraire: the discount factor of the step

    def get_value(self, name):
        return self.spot if name == "SPX" else None

    def set_stat(self, name, value):
        self.stats[name] = value


class History:
    """backtest_py's state object: a small price history and the cashflows it receives."""

    def __init__(self, prices):
        self.prices = prices
        self.stats = {}

    def get_value(self, name, time_ms):
        return self.prices[name][time_ms]

    def set_stat(self, name, value):
        self.stats[name] = value


def black_scholes_call(s, k, r, sigma, t):
    n = lambda x: 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))
    d1 = (math.log(s / k) + (r + 0.5 * sigma**2) * t) / (sigma * math.sqrt(t))
    return s * n(d1) - k * math.exp(-r * t) * n(d1 - sigma * math.sqrt(t))


def main():
    print("fixed_price")
    bond = [(at(k), "bond", "+", 4.0, "USD") for k in range(1, 6)] + [(at(5), "bond", "+", 100.0, "USD")]
    print(f"  5y 4% bond on 100:              {_vornik.fixed_price(timetable(bond), None, DATASET, {}):.6f}")
    # Pay 3.5% fixed; the floating leg is worth par: receive 100 now, pay it back at the end.
    swap = [(T0, "swap", "+", 100.0, "USD")] + [(at(k), "swap", "+", -3.5, "USD") for k in range(1, 6)]
    swap += [(at(5), "swap", "+", -100.0, "USD")]
    print(f"  5y payer swap, fixed 3.5%:      {_vornik.fixed_price(timetable(swap), None, DATASET, {}):.6f}")

    print("mc_price (100,000 GBM paths from a state object)")
    mc = {**DATASET, "MC": {"PATHS": 100_000, "SEED": 7, "FLAGS": 1}}
    # The option track takes the larger of 0 and what the later rows book to "intrinsic".
    call = [(at(1), "call", ">", 1.0, "intrinsic"), (at(1), "intrinsic", "+", 1.0, "SPX"),
            (at(1), "intrinsic", "+", -STRIKE, "USD")]
    state = GbmPaths(100_000)
    price = _vornik.mc_price(timetable(call), state, mc, {})
    stderr = state.stats["PV_VEC"].std() / math.sqrt(100_000)
    exact = black_scholes_call(SPOT, STRIKE, RATE, VOL, 1.0)
    print(f"  1y European call:               {price:.4f} ± {stderr:.4f} (closed form {exact:.4f})")
    # Asian call on 12 monthly fixings: snappers sum the fixings into a snap, a phrase pays at the end.
    expressions = {
        "start": {"type": "snapper", "fn": lambda inputs: [0.0], "inp": [], "out": ["total"]},
        "fixing": {"type": "snapper", "fn": lambda inputs: [inputs[0] + inputs[1]],
                   "inp": ["SPX", "total"], "out": ["total"]},
        "asian": {"type": "phrase", "fn": lambda inputs: [np.maximum(inputs[0] / 12.0 - STRIKE, 0.0)],
                  "inp": ["total"]},
    }
    asian = [(T0, "asian_call", "+", 0.0, "start")]
    asian += [(at(m / 12), "asian_call", "+", 0.0, "fixing") for m in range(1, 13)]
    asian += [(at(1), "asian_call", "+", 1.0, "asian")]
    price = _vornik.mc_price(timetable(asian), GbmPaths(100_000), mc, expressions)
    print(f"  1y Asian call, monthly fixings: {price:.4f}")

    print("fd_hullwhite_price (mean reversion 0.1, volatility 1%)")
    hw = {**DATASET, "FD": {"N_X": 200, "MAX_X": 0.2, "TIMESTEP": 1 / 365}, "HW": {"MEANREV": 0.1, "VOL": 0.01}}
    zero = [(at(5), "zero", "+", 100.0, "USD")]
    print(f"  5y zero-coupon bond on 100:     {_vornik.fd_hullwhite_price(timetable(zero), None, hw, {}):.6f}"
          f" (curve {100 * math.exp(-5 * RATE):.6f})")
    # Callable by the issuer at 100 after each coupon from year 2: the holder gets the smaller value.
    callable_bond = []
    for k in range(1, 6):
        callable_bond.append((at(k), "bond", "+", 4.0, "USD"))
        if 2 <= k < 5:
            callable_bond.append((at(k), "bond", "<", 100.0, "USD"))
    callable_bond.append((at(5), "bond", "+", 100.0, "USD"))
    print(f"  5y 4% bond callable at par:     {_vornik.fd_hullwhite_price(timetable(callable_bond), None, hw, {}):.6f}")

    print("fd_blackscholes_price (volatility 20%)")
    bs = {**DATASET, "FD": {"N_X": 400, "MAX_X": 2.0, "TIMESTEP": 1 / 365}, "BS": {"VOL": VOL, "ASSET": "SPX"}}
    print(f"  1y European call:               {_vornik.fd_blackscholes_price(timetable(call), None, bs, {}):.4f}"
          f" (closed form {exact:.4f})")
    # American-style put: at each monthly date the holder keeps the larger of exercise and continuation.
    american = []
    for m in range(1, 13):
        date = at(m / 12)
        american += [(date, "put", ">", 1.0, f"exercise{m}"),
                     (date, f"exercise{m}", "+", STRIKE, "USD"), (date, f"exercise{m}", "+", -1.0, "SPX")]
    print(f"  1y put, monthly exercise:       {_vornik.fd_blackscholes_price(timetable(american), None, bs, {}):.4f}")

    print("backtests")
    fixings = [T0 + d * DAY for d in range(3)]
    trade = [(fixings[0], "trade", "+", -1.0, "SPX"), (fixings[2], "trade", "+", 1.0, "SPX"),
             (fixings[2], "trade", "+", 2.5, "USD")]
    history = History({"SPX": dict(zip(fixings, [100.0, 97.0, 103.5]))})
    _vornik.backtest_py(timetable(trade), history, {}, "USD")
    batch = history.stats["CASHFLOW"][0]
    print(f"  backtest_py cashflows:          {sorted(zip(*batch.to_pydict().values()))}")
    replay = History({})
    _vornik.backtest_csv(timetable(trade), replay, "unused.csv", "USD", {})
    batch = replay.stats["CASHFLOW"][0]
    print(f"  backtest_csv cashflows:         {sorted(zip(*batch.to_pydict().values()))}")


if __name__ == "__main__":
    main()
