// The finite-difference grid of one run and the Crank-Nicolson operator that
// rolls its value vectors back by one step. Kept apart from the walk over the
// rows (fd/run.h) so that the numerics can be held against their formulas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "fd/settings.h"
#include "ledger/ledger.h"
#include "timetable/errors.h"
#include "timetable/timetable.h"
#include "timetable/values.h"

namespace vornik {

struct FdState {
  Ledger ledger;             // every vector has `size` elements
  std::vector<double> grid;  // x_0 = max_x descending to x_{2N} = -max_x
  std::int64_t time = 0;     // epoch ms at which the ledger's values stand
  double dx = 0.0;           // max_x / n_x
  std::uint64_t size = 0;    // 2 n_x + 1
};

// Refuses an n_x whose grid could not be addressed, as a failed allocation.
FdState build_fd_grid_state(std::uint64_t n_x, double max_x, std::int64_t time);
// Both start at the time of the timetable's last row. A timetable without
// rows, or whose last time cell is null, is refused instead of read.
std::expected<FdState, EvaluationError> build_hw_fd_state(const HwSettings& settings, const Timetable& timetable);
// The grid is shifted by ln F(0) of the settings' asset.
std::expected<FdState, EvaluationError> build_bs_fd_state(const BsSettings& settings, const Timetable& timetable);

// lower[i] multiplies element i-1 of row i (lower[0] unused); upper[i]
// multiplies element i+1 (upper[n-1] unused).
struct Tridiagonal {
  Values lower;
  Values main;
  Values upper;

  // Zeros; uninit leaves every element to the caller.
  explicit Tridiagonal(std::size_t n) : lower(Values::zeros(n)), main(Values::zeros(n)), upper(Values::zeros(n)) {}
  static Tridiagonal uninit(std::size_t n) { return {Values::uninit(n), Values::uninit(n), Values::uninit(n)}; }
  std::size_t n() const { return lower.size(); }

 private:
  Tridiagonal(Values l, Values m, Values u) : lower(std::move(l)), main(std::move(m)), upper(std::move(u)) {}
};

// One roll solves implicit * v_target = explicit_ * v_current.
struct StepOperator {
  Tridiagonal implicit;
  Tridiagonal explicit_;  // "explicit" is a keyword
};

std::expected<StepOperator, EvaluationError> hw_step_operator(const HwSettings& settings, const FdState& state,
                                                              std::int64_t target);
std::expected<StepOperator, EvaluationError> bs_step_operator(const BsSettings& settings, const FdState& state,
                                                              std::int64_t target);

// v needs matrix.n() elements (n >= 1).
Values tridiagonal_matvec(const Tridiagonal& matrix, std::span<const double> v);
// Thomas algorithm without pivoting; rhs needs matrix.n() elements.
Values solve_tridiagonal(const Tridiagonal& matrix, std::span<const double> rhs);

// v := solve(implicit, explicit_ * v) for each vector, by the operations of
// the two calls above, in place and a few vectors side by side; the
// elimination of implicit, which no right-hand side changes, is done once.
// scratch is grown as needed.
void roll_values(const StepOperator& op, std::span<const std::span<double>> vectors, Values& scratch);

// exp(x_i) over the grid when name is the settings' asset, else none.
std::optional<Values> bs_state_value(const BsSettings& settings, const FdState& state, std::string_view name);
// The value of asset `name` at event time t times the event vector v.
std::expected<Values, EvaluationError> input_value_array(const BsSettings& settings, const FdState& state,
                                                         const Values& v, std::string_view name, std::int64_t t);

Ledger into_ledger(FdState&& state);

}  // namespace vornik
