// Results handed to the caller's state object through set_stat: the
// statistics of a pricing run as NumPy arrays over the ledger's own memory,
// and the cashflows of a backtest as pyarrow record batches.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "ledger/ledger.h"
#include "python_module/binding.h"
#include "python_module/errors.h"

namespace vornik {

// state.set_stat(name, value); the caller decides what to do with a failure.
PyResult<PyRef> call_set_stat(PyObject* state, std::string_view name, PyRef value);
// dict[int(key)] = value
PyResult<void> dict_set_u64_key(PyObject* dict, std::uint64_t key, PyRef value);

// PV_VEC, CHOICES and CASHFLOW as FLAGS selects; takes the books it writes
// out of the ledger. set_stat is best effort: its failures are dropped, but
// the caller's own exception (Ctrl-C) ends the writing with Interrupted.
std::expected<void, EvaluationError> emit_ledger_stats(std::uint32_t flags, Ledger& ledger, PyObject* state);

// CASHFLOW as {track: pyarrow.RecordBatch(index: uint64, value: float64)};
// a pyarrow exception comes back unchanged, ready to raise.
PyResult<void> emit_backtest_cashflows(Ledger& ledger, PyObject* state);

}  // namespace vornik
