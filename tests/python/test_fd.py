"""The finite-difference entries end to end: prices against closed forms
under Black-Scholes and Hull-White, early exercise and call features, the
grid vector handed to the state, and the run's failures as RuntimeError."""

import math

import numpy as np
import pytest

import _vornik
from contracts import T0, YEAR_MS, flat_rate_dataset, forward_curve, timetable, zero_curve

LEAD = "Error during model evaluation, caused by\n"
R, S0, K, VOL = 0.05, 100.0, 100.0, 0.2
DAILY = 1 / 365


def bs_dataset(n_x=500, max_x=1.0, flags=0, timestep=DAILY):
    eq = forward_curve([0.0, 5.0], [S0, S0 * math.exp(R * 5.0)])
    return flat_rate_dataset(
        rate=R,
        assets={"EQ": eq},
        FD={"N_X": n_x, "MAX_X": max_x, "TIMESTEP": timestep, "FLAGS": flags},
        BS={"VOL": VOL, "ASSET": "EQ"},
    )


def hw_dataset(rate=0.04, base_curve=None, n_x=200, max_x=0.15, timestep=DAILY):
    return flat_rate_dataset(
        rate=rate,
        assets={"USD": base_curve} if base_curve else None,
        FD={"N_X": n_x, "MAX_X": max_x, "TIMESTEP": timestep},
        HW={"MEANREV": 0.1, "VOL": 0.01},
    )


def norm_cdf(x):
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def black_scholes(call, T=1.0):
    forward = S0 * math.exp(R * T)
    d1 = (math.log(forward / K) + 0.5 * VOL * VOL * T) / (VOL * math.sqrt(T))
    d2 = d1 - VOL * math.sqrt(T)
    df = math.exp(-R * T)
    if call:
        return df * (forward * norm_cdf(d1) - K * norm_cdf(d2))
    return df * (K * norm_cdf(-d2) - forward * norm_cdf(-d1))


def option(call, dates):
    """At each date the holder keeps the larger of the option and its payoff,
    which is booked on a track of its own."""
    rows, tracks = [], ["opt"]
    for k, t in enumerate(dates):
        ex = f"ex{k}"
        tracks.append(ex)
        rows += [
            (t, "opt", ">", 1.0, ex),
            (t, ex, "+", 1.0 if call else -1.0, "EQ"),
            (t, ex, "+", -K if call else K, "USD"),
        ]
    return timetable(rows, tracks=tracks)


@pytest.mark.parametrize("call", [True, False], ids=["call", "put"])
def test_european_option_matches_black_scholes(call):
    expected = black_scholes(call)
    got = _vornik.fd_blackscholes_price(option(call, [T0 + YEAR_MS]), None, bs_dataset(), {})
    assert got == pytest.approx(expected, rel=1e-3), f"expected {expected}, got {got}"


def test_american_put_is_worth_at_least_the_european():
    monthly = [T0 + YEAR_MS * k // 12 for k in range(1, 13)]
    european = _vornik.fd_blackscholes_price(option(False, [T0 + YEAR_MS]), None, bs_dataset(), {})
    american = _vornik.fd_blackscholes_price(option(False, monthly), None, bs_dataset(), {})
    assert american >= european, f"european {european}, american {american}"


@pytest.mark.parametrize(
    "pillars",
    [([0.0, 50.0], [0.04, 0.04]), ([0.0, 1.0, 5.0, 10.0], [0.03, 0.035, 0.04, 0.045])],
    ids=["flat", "rising"],
)
def test_hull_white_zero_bond_is_the_curve_discount_factor(pillars):
    times, rates = pillars
    rate_at_5 = np.interp(5.0, times, np.multiply(times, rates)) / 5.0
    expected = math.exp(-rate_at_5 * 5.0)
    bond = timetable([(T0 + 5 * YEAR_MS, "zcb", "+", 1.0, "USD")])
    got = _vornik.fd_hullwhite_price(bond, None, hw_dataset(base_curve=zero_curve(times, rates)), {})
    assert got == pytest.approx(expected, rel=1e-4), f"expected {expected}, got {got}"


def bond_rows(coupon, feature=None):
    """A five-year annual bond on 100; `feature` ("<" callable, ">" puttable)
    lets one side end it at 100 on each of the first four coupon dates,
    after that date's coupon."""
    rows = []
    for year in range(1, 6):
        t = T0 + year * YEAR_MS
        rows.append((t, "bond", "+", coupon, "USD"))
        if feature and year < 5:
            rows += [(t, "bond", feature, 1.0, f"strike{year}"), (t, f"strike{year}", "+", 100.0, "USD")]
    rows.append((T0 + 5 * YEAR_MS, "bond", "+", 100.0, "USD"))
    return timetable(rows)  # "bond" comes first: track 0


@pytest.mark.parametrize("feature, coupon", [("<", 5.0), (">", 3.0)], ids=["callable", "puttable"])
def test_call_and_put_features_move_the_bond_price_their_way(feature, coupon):
    straight_pv = sum(coupon * math.exp(-0.04 * y) for y in range(1, 6)) + 100.0 * math.exp(-0.2)
    straight = _vornik.fd_hullwhite_price(bond_rows(coupon), None, hw_dataset(), {})
    assert straight == pytest.approx(straight_pv, rel=1e-4)
    with_feature = _vornik.fd_hullwhite_price(bond_rows(coupon, feature), None, hw_dataset(), {})
    if feature == "<":
        assert with_feature < straight - 0.5, f"straight {straight}, callable {with_feature}"
    else:
        assert with_feature > straight + 0.5, f"straight {straight}, puttable {with_feature}"


@pytest.mark.parametrize(
    "price",
    [
        lambda step: _vornik.fd_blackscholes_price(
            option(False, [T0 + YEAR_MS * k // 12 for k in range(1, 13)]), None, bs_dataset(50, timestep=step), {}
        ),
        lambda step: _vornik.fd_hullwhite_price(bond_rows(3.0, ">"), None, hw_dataset(n_x=50, timestep=step), {}),
    ],
    ids=["bermudan_put", "puttable_bond"],
)
def test_infinite_timestep_rolls_from_row_to_row(price):
    # A step longer than the contract leaves only the rolls between rows.
    row_to_row = price(40.0)
    assert math.isfinite(row_to_row) and price(math.inf) == row_to_row


class Stats:
    def __init__(self):
        self.stats = {}

    def set_stat(self, name, value):
        self.stats[name] = value


def test_grid_vector_reaches_the_state_and_its_centre_is_the_price():
    state = Stats()
    price = _vornik.fd_blackscholes_price(
        option(True, [T0 + YEAR_MS]), state, bs_dataset(n_x=50, max_x=1.0, flags=1), {}
    )
    pv = state.stats["PV_VEC"]
    assert pv.shape == (101,)
    assert pv[50] == price
    # Deep in the money the call is worth about the discounted forward less strike.
    assert pv[0] > pv[50] > pv[100] >= 0.0


@pytest.mark.parametrize(
    "rows, expressions, ends_with",
    [
        ([], {}, "Timetable has no events"),
        ([(T0, "a", "w", 1.0, "USD")], {}, "Error in Op, caused by \nUnknown Op 'w'"),
        ([(T0, "b", "+", 1.0, "USD")], {}, "Track 0 not found"),
        (
            [(T0, "a", "+", 1.0, "p1")],
            {"p1": {"type": "phrase", "fn": lambda xs: [1.0], "inp": []}},
            "Feature Not Implemented: `Phrase in FD: p1`",
        ),
        (
            [(T0 + 60 * YEAR_MS, "a", "+", 1.0, "USD")],
            {},
            "Perhaps the time range in forwards/discount data is too short.'",
        ),
        ([(T0 - 1, "a", "+", 1.0, "USD")], {}, f"event time is earlier than the current time {T0}"),
        (
            [(T0 + YEAR_MS, "a", "+", 1.0, "USD"), (T0 + YEAR_MS // 2, "a", "+", 1.0, "USD")],
            {},
            f"event time is earlier than the current time {T0 + YEAR_MS}",
        ),
    ],
    ids=["empty", "named_op", "no_track_0", "phrase", "beyond_curve", "before_pricing", "out_of_order"],
)
@pytest.mark.parametrize(
    "price, dataset",
    [(_vornik.fd_hullwhite_price, hw_dataset()), (_vornik.fd_blackscholes_price, bs_dataset(n_x=50))],
    ids=["hw", "bs"],
)
def test_run_failures_raise_runtime_error(rows, expressions, ends_with, price, dataset):
    events = timetable(rows, tracks=["a", "b"] if rows else None)
    with pytest.raises(RuntimeError) as raised:
        price(events, None, dataset, expressions)
    text = str(raised.value)
    assert text.startswith(LEAD) and text.endswith(ends_with), text
