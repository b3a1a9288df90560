"""End-to-end read of a 1,000,000-row timetable through an entry: the Arrow
import and the column checks. Prints the time per call and how much memory
the process and pyarrow hold afterwards (no column may be copied)."""

import resource
import time

import pyarrow as pa

import _vornik

T0 = 1_704_067_200_000
ROWS = 1_000_000
REPEATS = 20

units = ["EUR", "USD", "t0", "t1", "GBP"]
events = pa.RecordBatch.from_arrays(
    [
        pa.array(range(T0, T0 + ROWS), pa.timestamp("ms")),
        pa.DictionaryArray.from_arrays(pa.array([i % 3 for i in range(ROWS)], pa.int64()), pa.array(["t0", "t1", "t2"])),
        pa.DictionaryArray.from_arrays(pa.array([i % 2 for i in range(ROWS)], pa.int64()), pa.array(["+", ">"])),
        pa.array([float(i) for i in range(ROWS)], pa.float64()),
        pa.DictionaryArray.from_arrays(pa.array([i % 5 for i in range(ROWS)], pa.int64()), pa.array(units)),
    ],
    names=["time", "track", "op", "quantity", "unit"],
)


def read():
    # An empty dataset stops the call right after the timetable is read.
    try:
        _vornik.fixed_price(events, None, {}, {})
    except RuntimeError as e:
        if not str(e).startswith("Error while parsing Dataset"):
            raise


read()
rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
arrow_before = pa.total_allocated_bytes()
start = time.perf_counter()
for _ in range(REPEATS):
    read()
elapsed = (time.perf_counter() - start) / REPEATS
print(f"{ROWS} rows: {elapsed * 1e3:.3f} ms per call (import and read)")
print(f"peak RSS grew by {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss_before} KiB; "
      f"pyarrow allocations changed by {pa.total_allocated_bytes() - arrow_before} bytes; "
      f"the batch holds {events.nbytes // 1024} KiB")
