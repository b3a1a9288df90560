// The finite-difference runs: walk the rows from the last to the first,
// rolling the Ledger's vectors back on a step anchored at the last row and
// booking each row as it is reached; then read the price at the grid centre.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>

#include "fd/grid.h"
#include "fd/settings.h"
#include "ledger/ledger.h"
#include "timetable/errors.h"
#include "timetable/timetable.h"
#include "timetable/values.h"

namespace vornik {

std::expected<Ledger, EvaluationError> run_fd_hullwhite(const HwSettings& settings, const Timetable& timetable);
std::expected<Ledger, EvaluationError> run_fd_blackscholes(const BsSettings& settings, const Timetable& timetable);

// The element at the grid centre of track 0's vector.
std::expected<double, EvaluationError> fd_price(const FdSettings& settings, const Ledger& ledger);

// Rolls every value vector from state.time back to target; gaps under 1e-10
// years, and later targets, change nothing.
std::expected<void, EvaluationError> roll_grid(const HwSettings& settings, FdState& state, std::int64_t target);
std::expected<void, EvaluationError> roll_grid(const BsSettings& settings, FdState& state, std::int64_t target);

std::expected<void, EvaluationError> book_fd_event_value(const FdSettings& settings, FdState& state,
                                                         const Timetable& timetable, std::size_t row, Values value);

// TIMESTEP in whole milliseconds, truncated towards zero; NaN gives 0 and
// values beyond the 64-bit range the nearest limit.
std::int64_t fd_step_ms(double timestep);

}  // namespace vornik
