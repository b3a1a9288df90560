// The grid state, the Hull-White and Black-Scholes step operators and the
// tridiagonal product and solve. Every formula keeps its grouping and no
// multiply-add is fused, so that a roll reproduces to the bit.
#include "fd/grid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <utility>

#include "curves/curves.h"

namespace vornik {

namespace {

// The time of the last row anchors the grid; reading it needs a row, and a
// null cell would anchor the grid at whatever its slot holds.
std::expected<std::int64_t, EvaluationError> last_event_time(const Timetable& timetable) {
  const std::size_t rows = timetable.rows();
  if (rows == 0) return std::unexpected(EvaluationError::Message{"Timetable has no events"});
  if (!timetable.time_valid(rows - 1)) return std::unexpected(event_error(timetable, rows - 1, "No event time"));
  return timetable.time_at(rows - 1);
}

// The quantities both operators share for a roll from the state's time to target.
struct StepTerms {
  double Ts;  // the state's time, years from the pricing time
  double Tt;  // the target's
  double q;   // dt * 0.25
  double h;   // dt * 0.5
  double sigma2;
  double D;
};

StepTerms step_terms(const FdSettings& fd, double vol, const FdState& state, std::int64_t target) {
  const double dt = year_fraction(state.time, target);
  const double q = dt * 0.25;
  const double h = dt * 0.5;
  const double sigma2 = vol * vol;
  return {.Ts = year_fraction(state.time, fd.pricing_ts),
          .Tt = year_fraction(target, fd.pricing_ts),
          .q = q,
          .h = h,
          .sigma2 = sigma2,
          .D = (sigma2 * q) / (state.dx * state.dx)};
}

// M from the finished E: lower and upper negated, main = -2 - E.main. One
// loop per diagonal: each needs a single overlap check to vectorise.
void implicit_from_explicit(const Tridiagonal& e, Tridiagonal& m) {
  const std::size_t n = e.n();
  for (std::size_t i = 0; i < n; ++i) m.lower[i] = -e.lower[i];
  for (std::size_t i = 0; i < n; ++i) m.main[i] = -2.0 - e.main[i];
  for (std::size_t i = 0; i < n; ++i) m.upper[i] = -e.upper[i];
}

void require_length(std::size_t n, std::size_t len) {
  if (n == 0 || len < n) throw Panic("a tridiagonal operation needs a vector of the matrix's order");
}

}  // namespace

FdState build_fd_grid_state(std::uint64_t n_x, double max_x, std::int64_t time) {
  // 2N + 1 must neither wrap nor exceed what an allocation can address.
  if (n_x > (SIZE_MAX / sizeof(double) - 1) / 2) throw std::bad_alloc();
  const std::uint64_t size = 2 * n_x + 1;
  const double s = n_x == 0 ? 0.0 : (-max_x - max_x) / static_cast<double>(2 * n_x);
  std::vector<double> grid(size);
  for (std::size_t i = 0; i < size; ++i) grid[i] = max_x + s * static_cast<double>(i);
  FdState state;
  state.ledger.len = size;
  state.grid = std::move(grid);
  state.time = time;
  state.dx = max_x / static_cast<double>(n_x);
  state.size = size;
  return state;
}

std::expected<FdState, EvaluationError> build_hw_fd_state(const HwSettings& settings, const Timetable& timetable) {
  const std::int64_t time = VK_TRY(last_event_time(timetable));
  return build_fd_grid_state(settings.fd.n_x, settings.fd.max_x, time);
}

std::expected<FdState, EvaluationError> build_bs_fd_state(const BsSettings& settings, const Timetable& timetable) {
  const std::int64_t time = VK_TRY(last_event_time(timetable));
  FdState state = build_fd_grid_state(settings.fd.n_x, settings.fd.max_x, time);
  const double F = VK_TRY(asset_forward(settings.fd.assets, settings.asset, 0.0));
  const double shift = std::log(F);
  for (double& x : state.grid) x += shift;
  return state;
}

std::expected<StepOperator, EvaluationError> hw_step_operator(const HwSettings& settings, const FdState& state,
                                                              std::int64_t target) {
  const auto [Ts, Tt, q, h, sigma2, D] = step_terms(settings.fd, settings.vol, state, target);
  const double f = VK_TRY(discount_rate(settings.fd.assets, Ts, Tt));
  const double a = settings.meanrev;
  const double w = 1.0 - std::exp(-(a * Tt));
  const double alpha = f + w * ((sigma2 / (a * (a + a))) * w);

  const std::size_t n = state.size;
  const double* x = state.grid.data();
  const double dx = state.dx;
  const double qa = q * a;
  const double diagonal = (D + D) + (-1.0);
  StepOperator op{Tridiagonal::uninit(n), Tridiagonal::uninit(n)};
  Tridiagonal& E = op.explicit_;
  double* lower = E.lower.data();
  double* main = E.main.data();
  double* upper = E.upper.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double r = x[i] + alpha;
    const double B = (x[i] * qa) / dx;
    const double C = r * h;
    lower[i] = B + (-D);
    main[i] = diagonal + C;
    upper[i] = (-D) - B;
  }
  // The edge rows take a one-sided drift and no diffusion.
  const double B0 = (x[0] * qa) / dx;
  const double C0 = (x[0] + alpha) * h;
  main[0] = ((B0 + B0) + (-1.0)) + C0;
  upper[0] = B0 * (-2.0);
  const double Bn = (x[n - 1] * qa) / dx;
  const double Cn = (x[n - 1] + alpha) * h;
  lower[n - 1] = Bn + Bn;
  main[n - 1] = (-1.0 - (Bn + Bn)) + Cn;
  implicit_from_explicit(E, op.implicit);
  return op;
}

std::expected<StepOperator, EvaluationError> bs_step_operator(const BsSettings& settings, const FdState& state,
                                                              std::int64_t target) {
  const auto [Ts, Tt, q, h, sigma2, D] = step_terms(settings.fd, settings.vol, state, target);
  const double rd = VK_TRY(discount_rate(settings.fd.assets, Ts, Tt));
  const double mu = VK_TRY(asset_rate(settings.fd.assets, settings.asset, Ts, Tt));
  const double B = (q * (mu - sigma2 * 0.5)) / state.dx;
  const double C = h * rd;

  const std::size_t n = state.size;
  StepOperator op{Tridiagonal::uninit(n), Tridiagonal::uninit(n)};
  Tridiagonal& E = op.explicit_;
  std::fill(E.lower.begin(), E.lower.end(), (-D) - B);
  std::fill(E.main.begin(), E.main.end(), ((D + D) + (-1.0)) + C);
  std::fill(E.upper.begin(), E.upper.end(), B - D);
  E.main[0] = C + (-1.0 - (B + B));
  E.upper[0] = B + B;
  E.lower[n - 1] = B * (-2.0);
  E.main[n - 1] = C + ((B + B) + (-1.0));
  implicit_from_explicit(E, op.implicit);
  return op;
}

namespace {

// The forward elimination of the Thomas algorithm on a matrix.
struct Elimination {
  Values pivot;       // c_i
  Values multiplier;  // m_i (multiplier[0] unused)
};

Elimination eliminate(const Tridiagonal& m) {
  const std::size_t n = m.n();
  Elimination e{m.main.clone(), Values::zeros(n)};
  double* c = e.pivot.data();
  double* mult = e.multiplier.data();
  // The previous pivot stays in a register: a reload would wait on its store.
  double c_prev = c[0];
  for (std::size_t i = 1; i < n; ++i) {
    mult[i] = m.lower[i] / c_prev;
    c_prev = c[i] - mult[i] * m.upper[i - 1];
    c[i] = c_prev;
  }
  return e;
}

// The kernels below work on K vectors side by side: their chains of
// dependent operations are independent, so they overlap in the pipeline.
// Each carries its last element in a register, since a reload would wait
// on the store before it.
template <std::size_t K>
using Columns = std::array<double*, K>;
// Four chains keep the divider busy; more gain little.
constexpr std::size_t GROUP = 4;

// d_i = d_i - m_i d_{i-1}: the right-hand side's share of the elimination.
void sweep(const Elimination& e, double* d, std::size_t n) {
  const double* mult = e.multiplier.data();
  double carry = d[0];
  for (std::size_t i = 1; i < n; ++i) {
    carry = d[i] - mult[i] * carry;
    d[i] = carry;
  }
}

// The product y = E v row by row (each product rounded before the
// additions), swept as each row is formed: d_i = y_i - m_i d_{i-1}. With
// Eliminate, the pivots and multipliers of M are formed in the same pass,
// which hides the sweep behind the elimination's chain of divisions. The
// operations are those of the product, the elimination and the sweep done
// one after the other. Needs n >= 2.
template <std::size_t K, bool Eliminate>
void product_and_sweep(const StepOperator& op, Elimination& e, Columns<K> v, Columns<K> d) {
  const Tridiagonal& E = op.explicit_;
  const Tridiagonal& M = op.implicit;
  const std::size_t n = E.n();
  double* c = e.pivot.data();
  double* mult = e.multiplier.data();
  double c_prev = c[0];
  const auto eliminate_row = [&](std::size_t i) {
    if constexpr (Eliminate) {
      mult[i] = M.lower[i] / c_prev;
      c_prev = c[i] - mult[i] * M.upper[i - 1];
      c[i] = c_prev;
    }
  };
  std::array<double, K> carry;
  for (std::size_t k = 0; k < K; ++k) {
    carry[k] = E.main[0] * v[k][0] + E.upper[0] * v[k][1];
    d[k][0] = carry[k];
  }
  for (std::size_t i = 1; i + 1 < n; ++i) {
    eliminate_row(i);
    for (std::size_t k = 0; k < K; ++k) {
      const double y = (E.lower[i] * v[k][i - 1] + E.main[i] * v[k][i]) + E.upper[i] * v[k][i + 1];
      carry[k] = y - mult[i] * carry[k];
      d[k][i] = carry[k];
    }
  }
  eliminate_row(n - 1);
  for (std::size_t k = 0; k < K; ++k) {
    const double y = E.lower[n - 1] * v[k][n - 2] + E.main[n - 1] * v[k][n - 1];
    d[k][n - 1] = y - mult[n - 1] * carry[k];
  }
}

// x_{n-1} = d_{n-1} / c_{n-1}; x_i = (d_i - upper_i x_{i+1}) / c_i. x may be d.
template <std::size_t K>
void back_substitute(const Tridiagonal& m, const Elimination& e, Columns<K> d, Columns<K> x) {
  const std::size_t n = m.n();
  const double* c = e.pivot.data();
  const double* upper = m.upper.data();
  std::array<double, K> carry;
  for (std::size_t k = 0; k < K; ++k) {
    carry[k] = d[k][n - 1] / c[n - 1];
    x[k][n - 1] = carry[k];
  }
  for (std::size_t i = n - 1; i-- > 0;) {
    for (std::size_t k = 0; k < K; ++k) {
      carry[k] = (d[k][i] - upper[i] * carry[k]) / c[i];
      x[k][i] = carry[k];
    }
  }
}

// Rolls K of the vectors; their right-hand sides go to scratch. The first
// group of a roll also eliminates M.
template <std::size_t K>
void roll_group(const StepOperator& op, Elimination& e, bool first, const std::span<double>* vectors,
                double* scratch) {
  const std::size_t n = op.explicit_.n();
  Columns<K> v, d;
  for (std::size_t k = 0; k < K; ++k) {
    v[k] = vectors[k].data();
    d[k] = scratch + k * n;
  }
  if (first) {
    product_and_sweep<K, true>(op, e, v, d);
  } else {
    product_and_sweep<K, false>(op, e, v, d);
  }
  back_substitute<K>(op.implicit, e, d, v);
}

}  // namespace

Values tridiagonal_matvec(const Tridiagonal& matrix, std::span<const double> v) {
  const std::size_t n = matrix.n();
  require_length(n, v.size());
  const Tridiagonal& E = matrix;
  Values y = Values::uninit(n);
  if (n == 1) {
    y[0] = E.main[0] * v[0];
    return y;
  }
  y[0] = E.main[0] * v[0] + E.upper[0] * v[1];
  for (std::size_t i = 1; i + 1 < n; ++i) y[i] = (E.lower[i] * v[i - 1] + E.main[i] * v[i]) + E.upper[i] * v[i + 1];
  y[n - 1] = E.lower[n - 1] * v[n - 2] + E.main[n - 1] * v[n - 1];
  return y;
}

Values solve_tridiagonal(const Tridiagonal& matrix, std::span<const double> rhs) {
  const std::size_t n = matrix.n();
  require_length(n, rhs.size());
  const Elimination elimination = eliminate(matrix);
  Values x = Values::from(rhs.first(n));
  sweep(elimination, x.data(), n);
  back_substitute<1>(matrix, elimination, {x.data()}, {x.data()});
  return x;
}

void roll_values(const StepOperator& op, std::span<const std::span<double>> vectors, Values& scratch) {
  const std::size_t n = op.explicit_.n();
  if (n < 2) throw Panic("a roll needs a grid of at least two points");
  for (const std::span<double> v : vectors)
    if (v.size() != n) throw Panic("a grid vector does not match the grid");
  if (vectors.empty()) return;
  if (scratch.size() < GROUP * n) scratch = Values::uninit(GROUP * n);
  Elimination e{op.implicit.main.clone(), Values::zeros(n)};
  const std::span<double>* next = vectors.data();
  std::size_t left = vectors.size();
  bool first = true;
  for (; left >= GROUP; left -= GROUP, next += GROUP, first = false)
    roll_group<GROUP>(op, e, first, next, scratch.data());
  if (left >= 2) {
    roll_group<2>(op, e, first, next, scratch.data());
    left -= 2;
    next += 2;
    first = false;
  }
  if (left == 1) roll_group<1>(op, e, first, next, scratch.data());
}

std::optional<Values> bs_state_value(const BsSettings& settings, const FdState& state, std::string_view name) {
  if (name != settings.asset) return std::nullopt;
  Values prices = Values::uninit(state.grid.size());
  for (std::size_t i = 0; i < state.grid.size(); ++i) prices[i] = std::exp(state.grid[i]);
  return prices;
}

std::expected<Values, EvaluationError> input_value_array(const BsSettings& settings, const FdState& state,
                                                         const Values& v, std::string_view name, std::int64_t t) {
  if (std::optional<Values> prices = bs_state_value(settings, state, name)) {
    auto product = multiply(*prices, v);
    if (!product) {
      const LengthMismatch& e = product.error();
      return std::unexpected(EvaluationError::Message{length_mismatch_text(e.left, e.right)});
    }
    return std::move(*product);
  }
  const double F = VK_TRY(asset_forward(settings.fd.assets, name, year_fraction(t, settings.fd.pricing_ts)));
  return scale(v, F);
}

Ledger into_ledger(FdState&& state) { return std::move(state.ledger); }

}  // namespace vornik
