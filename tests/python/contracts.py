"""Builders of timetable record batches and datasets shared by the tests."""

import numpy as np
import pyarrow as pa

DAY_MS = 86_400_000
YEAR_MS = 31_536_000_000
T0 = 1_704_067_200_000  # 2024-01-01T00:00:00Z


def dictionary(texts, values=None):
    """A dictionary column with Int64 keys; `values` fixes the dictionary, else first appearance."""
    if values is None:
        values = []
        for t in texts:
            if t is not None and t not in values:
                values.append(t)
    index = {v: i for i, v in enumerate(values)}
    keys = pa.array([None if t is None else index[t] for t in texts], pa.int64())
    return pa.DictionaryArray.from_arrays(keys, pa.array(values, pa.string()))


def timetable(rows, tracks=None, ops=None, units=None, tz=None):
    """rows: (time_ms, track, op, quantity, unit) tuples; texts are dictionary-encoded."""
    times, track, op, qty, unit = zip(*rows) if rows else ((), (), (), (), ())
    return pa.RecordBatch.from_arrays(
        [
            pa.array(times, pa.timestamp("ms", tz=tz)),
            dictionary(track, tracks),
            dictionary(op, ops),
            pa.array(qty, pa.float64()),
            dictionary(unit, units),
        ],
        names=["time", "track", "op", "quantity", "unit"],
    )


def zero_curve(times, rates):
    return ("ZERO_RATES", np.array([times, rates], dtype=np.float64))


def forward_curve(times, forwards):
    return ("FORWARDS", np.array([times, forwards], dtype=np.float64))


def flat_rate_dataset(rate=0.05, base="USD", assets=None, pricing_ts=T0, **sections):
    """A dataset with a flat zero curve for the base asset, plus sections such as MC={...}."""
    table = {base: zero_curve([0.0, 50.0], [rate, rate])}
    table.update(assets or {})
    return {"BASE": base, "ASSETS": table, "PRICING_TS": pricing_ts, **sections}
