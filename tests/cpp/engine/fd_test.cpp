// The finite-difference grid, its Crank-Nicolson operators held against a
// literal transcription of their formulas, the roll and walk rules and the
// failure texts. Prices against closed forms are checked from Python.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "fd/grid.h"
#include "fd/run.h"
#include "fd_contract.h"

namespace vornik {
namespace {

using namespace fdtest;

// ---------------------------------------------------------------- grid

struct GridCase {
  std::uint64_t n_x;
  double max_x;
  std::vector<double> grid;
  double dx;
};
class GridPoints : public ::testing::TestWithParam<GridCase> {};
TEST_P(GridPoints, DescendFromMaxXToMinusMaxX) {
  const GridCase& c = GetParam();
  const FdState state = build_fd_grid_state(c.n_x, c.max_x, T0);
  EXPECT_EQ(state.grid, c.grid);
  EXPECT_EQ(state.dx, c.dx);
  EXPECT_EQ(state.size, c.grid.size());
  EXPECT_EQ(state.ledger.len, c.grid.size());
  EXPECT_EQ(state.time, T0);
  EXPECT_TRUE(state.ledger.values.empty());
}
INSTANTIATE_TEST_SUITE_P(Examples, GridPoints,
                         ::testing::Values(GridCase{2, 1.0, {1.0, 0.5, 0.0, -0.5, -1.0}, 0.5},
                                           GridCase{1, 1.0, {1.0, 0.0, -1.0}, 1.0},
                                           GridCase{1, 0.25, {0.25, 0.0, -0.25}, 0.25}));

TEST(GridState, RefusesAGridBeyondAddressableMemory) {
  EXPECT_THROW(build_fd_grid_state(std::numeric_limits<std::uint64_t>::max() / 2, 1.0, T0), std::bad_alloc);
}

struct ShiftCase {
  const char* name;
  Asset eq;
  double centre;  // x_N, up to rounding
};
class BlackScholesGrid : public ::testing::TestWithParam<ShiftCase> {};
TEST_P(BlackScholesGrid, IsCentredAtTheLogForwardAtPricing) {
  AssetTable assets = flat_usd();
  assets.assets.emplace("EQ", GetParam().eq);
  const Contract contract({{T0 + YEAR, "a", "+", 1.0, "USD"}}, {"a"});
  const auto state = build_bs_fd_state(bs_settings(fd_settings(assets, 2, 1.0, 0.1)), contract.timetable());
  ASSERT_TRUE(state) << to_string(state.error());
  const FdState plain = build_fd_grid_state(2, 1.0, T0 + YEAR);
  const double shift = std::log(*asset_forward(assets, "EQ", 0.0));
  EXPECT_EQ(state->time, T0 + YEAR);
  for (std::size_t i = 0; i < plain.grid.size(); ++i)
    EXPECT_EQ(state->grid[i], plain.grid[i] + shift) << "grid point " << i;
  EXPECT_NEAR(state->grid[2], GetParam().centre, 1e-14);
}
INSTANTIATE_TEST_SUITE_P(
    Assets, BlackScholesGrid,
    ::testing::Values(ShiftCase{"forwards", forwards({0.0, 1.0}, {100.0, 105.0}), std::log(100.0)},
                      ShiftCase{"first_pillar_later", forwards({0.5, 1.0}, {100.0, 105.0}), 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------ the operators

// A literal transcription of the operator formulas, the product and the
// Thomas solve; the engine's rolls must reproduce it bit for bit.
struct LiteralOperator {
  std::vector<double> El, Em, Eu, Ml, Mm, Mu;
};

LiteralOperator literal_edges_and_implicit(LiteralOperator op) {
  const std::size_t n = op.El.size();
  op.Ml.resize(n);
  op.Mm.resize(n);
  op.Mu.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    op.Ml[i] = -op.El[i];
    op.Mm[i] = -2.0 - op.Em[i];
    op.Mu[i] = -op.Eu[i];
  }
  return op;
}

// The quantities both operators share, for a roll from state.time to target.
struct RollTerms {
  double Ts, Tt, q, h, sigma2, D;
};
RollTerms roll_terms(const FdSettings& fd, double vol, const FdState& state, std::int64_t target) {
  const double Y = 31536000000.0;
  const double dt = static_cast<double>(state.time - target) / Y;
  const double q = dt * 0.25, sigma2 = vol * vol;
  return {static_cast<double>(state.time - fd.pricing_ts) / Y, static_cast<double>(target - fd.pricing_ts) / Y, q,
          dt * 0.5, sigma2, (sigma2 * q) / (state.dx * state.dx)};
}

LiteralOperator literal_hw(const HwSettings& s, const FdState& state, std::int64_t target) {
  const auto [Ts, Tt, q, h, sigma2, D] = roll_terms(s.fd, s.vol, state, target);
  const double f = *discount_rate(s.fd.assets, Ts, Tt);
  const double a = s.meanrev;
  const double w = 1 - std::exp(-(a * Tt));
  const double alpha = f + w * ((sigma2 / (a * (a + a))) * w);
  const std::size_t n = state.size;
  std::vector<double> B(n), C(n);
  LiteralOperator op{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n), {}, {}, {}};
  for (std::size_t i = 0; i < n; ++i) {
    const double r = state.grid[i] + alpha;
    B[i] = (state.grid[i] * (q * a)) / state.dx;
    C[i] = r * h;
    op.El[i] = B[i] + (-D);
    op.Em[i] = ((D + D) + (-1.0)) + C[i];
    op.Eu[i] = (-D) - B[i];
  }
  op.Em[0] = ((B[0] + B[0]) + (-1.0)) + C[0];
  op.Eu[0] = B[0] * (-2.0);
  op.El[n - 1] = B[n - 1] + B[n - 1];
  op.Em[n - 1] = (-1.0 - (B[n - 1] + B[n - 1])) + C[n - 1];
  return literal_edges_and_implicit(std::move(op));
}

LiteralOperator literal_bs(const BsSettings& s, const FdState& state, std::int64_t target) {
  const auto [Ts, Tt, q, h, sigma2, D] = roll_terms(s.fd, s.vol, state, target);
  const double rd = *discount_rate(s.fd.assets, Ts, Tt);
  const double mu = *asset_rate(s.fd.assets, s.asset, Ts, Tt);
  const double B = (q * (mu - sigma2 * 0.5)) / state.dx;
  const double C = h * rd;
  const std::size_t n = state.size;
  LiteralOperator op{std::vector<double>(n, (-D) - B), std::vector<double>(n, ((D + D) + (-1.0)) + C),
                     std::vector<double>(n, B - D), {}, {}, {}};
  op.Em[0] = C + (-1.0 - (B + B));
  op.Eu[0] = B + B;
  op.El[n - 1] = B * (-2.0);
  op.Em[n - 1] = C + ((B + B) + (-1.0));
  return literal_edges_and_implicit(std::move(op));
}

std::vector<double> literal_roll(const LiteralOperator& op, const std::vector<double>& v) {
  const std::size_t n = v.size();
  std::vector<double> y(n);
  y[0] = op.Em[0] * v[0] + op.Eu[0] * v[1];
  for (std::size_t i = 1; i < n - 1; ++i) y[i] = (op.El[i] * v[i - 1] + op.Em[i] * v[i]) + op.Eu[i] * v[i + 1];
  y[n - 1] = op.El[n - 1] * v[n - 2] + op.Em[n - 1] * v[n - 1];
  std::vector<double> c = op.Mm, d = y, x(n);
  for (std::size_t i = 1; i < n; ++i) {
    const double m = op.Ml[i] / c[i - 1];
    c[i] = c[i] - m * op.Mu[i - 1];
    d[i] = d[i] - m * d[i - 1];
  }
  x[n - 1] = d[n - 1] / c[n - 1];
  for (std::size_t i = n - 1; i-- > 0;) x[i] = (d[i] - op.Mu[i] * x[i + 1]) / c[i];
  return x;
}

void expect_bitwise(const std::vector<double>& expected, std::span<const double> got, const char* what) {
  ASSERT_EQ(expected.size(), got.size()) << what;
  for (std::size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(std::memcmp(&expected[i], &got[i], sizeof(double)), 0)
        << what << "[" << i << "]: expected " << expected[i] << ", got " << got[i];
}

TEST(HullWhiteOperator, ReproducesTheWorkedExample) {
  AssetTable assets;
  assets.base = "USD";
  assets.assets.emplace("USD", zero_rates({1.0, 2.0}, {0.05, 0.05}, AssetBase::Base));
  const HwSettings s = hw_settings(fd_settings(assets, 1, 1.0, 1.0), 0.1, 0.1);
  const FdState state = build_fd_grid_state(1, 1.0, T0 + YEAR);
  const auto op = hw_step_operator(s, state, T0);
  ASSERT_TRUE(op) << to_string(op.error());
  struct Entry {
    const char* name;
    double got;
    double expected;
  };
  const Tridiagonal& E = op->explicit_;
  const Tridiagonal& M = op->implicit;
  for (const Entry& e : {Entry{"E.main[0]", E.main[0], -0.425}, Entry{"E.upper[0]", E.upper[0], -0.05},
                         Entry{"E.lower[1]", E.lower[1], -0.0025}, Entry{"E.main[1]", E.main[1], -0.97},
                         Entry{"E.upper[1]", E.upper[1], -0.0025}, Entry{"E.lower[2]", E.lower[2], -0.05},
                         Entry{"E.main[2]", E.main[2], -1.425}, Entry{"M.main[0]", M.main[0], -1.575},
                         Entry{"M.upper[0]", M.upper[0], 0.05}, Entry{"M.lower[1]", M.lower[1], 0.0025},
                         Entry{"M.main[1]", M.main[1], -1.03}, Entry{"M.upper[1]", M.upper[1], 0.0025},
                         Entry{"M.lower[2]", M.lower[2], 0.05}, Entry{"M.main[2]", M.main[2], -0.575}})
    EXPECT_NEAR(e.got, e.expected, 1e-15) << e.name;
}

TEST(Tridiagonal, IdentityProductAndDiagonalSolve) {
  Tridiagonal identity(4);
  std::fill(identity.main.begin(), identity.main.end(), 1.0);
  const std::vector<double> v{0.3, -1.7, 2.5, 1e-300};
  expect_bitwise(v, tridiagonal_matvec(identity, v).span(), "identity * v");

  Tridiagonal diagonal(4);
  diagonal.main = Values::of({2.0, -3.0, 7.0, 0.1});
  const std::vector<double> rhs{1.0, 1.0, -2.0, 3.0};
  expect_bitwise({1.0 / 2.0, 1.0 / -3.0, -2.0 / 7.0, 3.0 / 0.1}, solve_tridiagonal(diagonal, rhs).span(),
                 "diagonal solve");
}

// Values that exercise every element of the product and the solve.
Values wiggle(std::size_t n, double seed) {
  Values v = Values::uninit(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = std::sin(seed + 1.3 * static_cast<double>(i)) * 10.0 + seed;
  return v;
}

TEST(StepOperator, RollsMatchTheLiteralFormulasBitForBit) {
  AssetTable assets;
  assets.base = "USD";
  assets.assets.emplace("USD", zero_rates({0.1, 0.7, 3.0}, {0.02, 0.031, 0.045}, AssetBase::Base));
  assets.assets.emplace("EQ", forwards({0.0, 1.0, 3.0}, {100.0, 103.0, 112.0}));
  const HwSettings hw = hw_settings(fd_settings(assets, 3, 0.05, 0.1), 0.07, 0.012);
  const BsSettings bs = bs_settings(fd_settings(assets, 3, 0.9, 0.1), "EQ", 0.25);
  const std::int64_t targets[] = {T0 + 2 * YEAR - 7 * DAY, T0 + YEAR + 11, T0 + YEAR / 3, T0};

  // Seven tracks: the rolls take vectors four, two and one at a time.
  constexpr std::uint64_t TRACKS = 7;
  for (const bool hull_white : {true, false}) {
    SCOPED_TRACE(hull_white ? "Hull-White" : "Black-Scholes");
    FdState state = build_fd_grid_state(3, hull_white ? 0.05 : 0.9, T0 + 2 * YEAR);
    std::vector<std::vector<double>> expected;
    for (std::uint64_t k = 0; k < TRACKS; ++k) {
      state.ledger.values.emplace(k, wiggle(7, 0.5 + static_cast<double>(k)));
      expected.emplace_back(state.ledger.values[k].begin(), state.ledger.values[k].end());
    }
    for (const std::int64_t target : targets) {
      const LiteralOperator op = hull_white ? literal_hw(hw, state, target) : literal_bs(bs, state, target);
      // The public product and solve follow the same formulas.
      const auto step = hull_white ? hw_step_operator(hw, state, target) : bs_step_operator(bs, state, target);
      ASSERT_TRUE(step);
      expect_bitwise(op.Em, step->explicit_.main.span(), "E.main");
      expect_bitwise(op.Mm, step->implicit.main.span(), "M.main");
      const Values rhs = tridiagonal_matvec(step->explicit_, expected[0]);
      expect_bitwise(literal_roll(op, expected[0]), solve_tridiagonal(step->implicit, rhs.span()).span(), "solve");

      const auto rolled = hull_white ? roll_grid(hw, state, target) : roll_grid(bs, state, target);
      ASSERT_TRUE(rolled) << to_string(rolled.error());
      for (std::uint64_t k = 0; k < TRACKS; ++k) {
        expected[k] = literal_roll(op, expected[k]);
        expect_bitwise(expected[k], state.ledger.values[k].span(), ("track " + std::to_string(k)).c_str());
      }
      EXPECT_EQ(state.time, target);
    }
  }
}

// ------------------------------------------------------------ rolls

struct StepCase {
  double timestep;
  std::int64_t ms;
};
class RollStep : public ::testing::TestWithParam<StepCase> {};
TEST_P(RollStep, IsTruncatedTowardsZero) { EXPECT_EQ(fd_step_ms(GetParam().timestep), GetParam().ms); }
INSTANTIATE_TEST_SUITE_P(
    Timesteps, RollStep,
    ::testing::Values(StepCase{1.0 / 365.0, 86'400'000}, StepCase{1.0 / 252.0, 125'142'857},
                      StepCase{0.3, 9'460'800'000}, StepCase{-1.0 / 252.0, -125'142'857},
                      StepCase{std::nan(""), 0}, StepCase{1e300, std::numeric_limits<std::int64_t>::max()},
                      StepCase{-1e300, std::numeric_limits<std::int64_t>::min()},
                      StepCase{std::numeric_limits<double>::infinity(), std::numeric_limits<std::int64_t>::max()}));

struct NoOpCase {
  std::int64_t offset;  // target - state time
  bool rolls;
};
class RollGap : public ::testing::TestWithParam<NoOpCase> {};
TEST_P(RollGap, ShortOrForwardGapsChangeNothing) {
  const HwSettings s = hw_settings(fd_settings(flat_usd(), 2, 0.1, 0.1));
  FdState state = build_fd_grid_state(2, 0.1, T0 + YEAR);
  state.ledger.values.emplace(0, wiggle(5, 1.0));
  const std::vector<double> before(state.ledger.values[0].begin(), state.ledger.values[0].end());
  ASSERT_TRUE(roll_grid(s, state, T0 + YEAR + GetParam().offset));
  const std::vector<double> after(state.ledger.values[0].begin(), state.ledger.values[0].end());
  EXPECT_EQ(state.time, GetParam().rolls ? T0 + YEAR + GetParam().offset : T0 + YEAR);
  EXPECT_EQ(after != before, GetParam().rolls);
}
INSTANTIATE_TEST_SUITE_P(Gaps, RollGap,
                         ::testing::Values(NoOpCase{0, false}, NoOpCase{-3, false}, NoOpCase{-4, true},
                                           NoOpCase{1000, false}, NoOpCase{-DAY, true}));

// Books [1] on track 0 at `booked`, then rolls through `times`: the walk the
// run must take.
double manual_price(const HwSettings& s, std::int64_t booked, std::initializer_list<std::int64_t> times) {
  FdState state = build_fd_grid_state(s.fd.n_x, s.fd.max_x, booked);
  state.ledger.values.emplace(0, Values::filled(state.size, 1.0));
  for (const std::int64_t t : times) EXPECT_TRUE(roll_grid(s, state, t));
  return state.ledger.values[0][s.fd.n_x];
}

double run_price(const HwSettings& s, const Contract& contract) {
  auto ledger = run_fd_hullwhite(s, contract.timetable());
  EXPECT_TRUE(ledger) << to_string(ledger.error());
  if (!ledger) return std::nan("");
  auto price = fd_price(s.fd, *ledger);
  EXPECT_TRUE(price) << to_string(price.error());
  return price ? *price : std::nan("");
}

TEST(FdRun, GridTimesAreAnchoredAtTheLastRow) {
  const HwSettings s = hw_settings(fd_settings(flat_usd(), 4, 0.1, 0.3), 0.1, 0.02);
  const std::int64_t step = fd_step_ms(0.3);
  {
    SCOPED_TRACE("one row a year out: rolls to 0.7, 0.4, 0.1, then 0");
    const Contract contract({{T0 + YEAR, "a", "+", 1.0, "USD"}}, {"a"});
    EXPECT_EQ(run_price(s, contract), manual_price(s, T0 + YEAR, {T0 + YEAR - step, T0 + YEAR - 2 * step,
                                                                  T0 + YEAR - 3 * step, T0}));
  }
  {
    SCOPED_TRACE("a row at 0.5 does not move the grid times");
    const Contract contract({{T0 + YEAR / 2, "b", "+", 0.0, "USD"}, {T0 + YEAR, "a", "+", 1.0, "USD"}}, {"a", "b"});
    EXPECT_EQ(run_price(s, contract), manual_price(s, T0 + YEAR, {T0 + YEAR - step, T0 + YEAR / 2,
                                                                  T0 + YEAR - 2 * step, T0 + YEAR - 3 * step, T0}));
  }
}

TEST(FdRun, RowAtThePricingTimeIsItsOwnPrice) {
  AssetTable assets = flat_usd();
  assets.assets.emplace("EUR", forwards({0.0, 1.0}, {1.1, 1.2}));
  const double F = *asset_forward(assets, "EUR", 0.0);
  const Contract contract({{T0, "a", "+", 3.0, "EUR"}}, {"a"});
  EXPECT_EQ(run_price(hw_settings(fd_settings(assets, 2, 0.1, 0.01)), contract), 3.0 * F);
}

TEST(FdRun, RowsThreeMillisecondsApartAreBookedAtTheLaterTime) {
  // Pricing at the earlier row: no roll changes anything, no discounting.
  const Contract contract({{T0, "a", "+", 2.0, "b"}, {T0 + 3, "b", "+", 1.0, "USD"}}, {"a", "b"});
  EXPECT_EQ(run_price(hw_settings(fd_settings(flat_usd(), 2, 0.1, 0.01)), contract), 2.0);
}

TEST(FdRun, TrackRowTakesTheLaterBookingRolledBack) {
  const HwSettings s = hw_settings(fd_settings(flat_usd(), 10, 0.1, 1.0 / 12));
  const Contract contract({{T0 + YEAR / 2, "a", "+", 3.0, "b"}, {T0 + 2 * YEAR, "b", "+", 1.0, "USD"}}, {"a", "b"});
  auto ledger = run_fd_hullwhite(s, contract.timetable());
  ASSERT_TRUE(ledger) << to_string(ledger.error());
  const Values& a = ledger->values.at(0);
  const Values& b = ledger->values.at(1);
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], 3.0 * b[i], 1e-13) << "grid point " << i;
  EXPECT_NEAR(b[10], std::exp(-0.1), 1e-3);
}

TEST(FdRun, BlackScholesAssetRowsAreGridPricesOrOneForward) {
  AssetTable assets = flat_usd();
  assets.assets.emplace("EQ", forwards({0.0, 1.0}, {100.0, 105.0}));
  assets.assets.emplace("FX", forwards({0.0, 1.0}, {2.0, 2.0}));
  const BsSettings s = bs_settings(fd_settings(assets, 2, 0.5, 0.1, FLAG_CASHFLOW));
  const Contract contract({{T0, "a", "+", 2.0, "EQ"}, {T0, "b", "+", 3.0, "FX"}}, {"a", "b"});
  auto ledger = run_fd_blackscholes(s, contract.timetable());
  ASSERT_TRUE(ledger) << to_string(ledger.error());
  const FdState grid = *build_bs_fd_state(s, contract.timetable());
  const double fx = 3.0 * *asset_forward(s.fd.assets, "FX", 0.0);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(ledger->values.at(0)[i], std::exp(grid.grid[i]) * 2.0) << "grid point " << i;
    EXPECT_EQ(ledger->values.at(1)[i], fx) << "grid point " << i;
  }
}

TEST(FdRun, CashflowsKeepTheVectorBookedAtTheRowTime) {
  const HwSettings s = hw_settings(fd_settings(flat_usd(), 2, 0.1, 0.25, FLAG_CASHFLOW));
  const Contract contract({{T0 + YEAR, "a", "+", 5.0, "USD"}}, {"a"});
  auto ledger = run_fd_hullwhite(s, contract.timetable());
  ASSERT_TRUE(ledger) << to_string(ledger.error());
  const Values& cashflow = ledger->cashflows.at(0).at(0);
  for (const double c : cashflow) EXPECT_EQ(c, 5.0);
  EXPECT_LT(ledger->values.at(0)[2], 5.0);
}

// ---------------------------------------------------------- failures

struct Snapless : Expression {
  std::vector<std::string> none;
  std::span<const std::string> inputs() const override { return none; }
  std::expected<std::vector<Values>, std::string> evaluate(std::vector<Values>) const override { return {}; }
};

struct FailureCase {
  const char* name;
  std::vector<Row> rows;
  int row;  // the row named in the error, or -1 for none
  const char* message;
};
class FdRowFailure : public ::testing::TestWithParam<FailureCase> {};
TEST_P(FdRowFailure, EndsTheRunWithItsText) {
  const FailureCase& c = GetParam();
  AssetTable assets = flat_usd();
  SnapperMap snappers;
  snappers.emplace("s1", Snapper{{"o1"}, std::make_unique<Snapless>()});
  PhraseMap phrases;
  phrases.emplace("p1", std::make_unique<Snapless>());
  const Contract contract(c.rows, {"a", "b"}, std::move(snappers), std::move(phrases));
  const auto ledger = run_fd_hullwhite(hw_settings(fd_settings(assets, 2, 0.1, 0.1)), contract.timetable());
  ASSERT_FALSE(ledger);
  const std::string expected = c.row < 0 ? std::string(c.message)
                                         : "Error at event:\n  " + contract.timetable().describe_event(c.row).value() +
                                               ", caused by \n" + c.message;
  EXPECT_EQ(to_string(ledger.error()), expected);
}
INSTANTIATE_TEST_SUITE_P(
    Rows, FdRowFailure,
    ::testing::Values(
        FailureCase{"track_not_booked", {{T0, "a", "+", 1.0, "b"}}, 0, "Track 1 not found"},
        FailureCase{"track_booked_only_earlier",
                    {{T0, "b", "+", 1.0, "USD"}, {T0 + DAY, "a", "+", 1.0, "b"}},
                    1,
                    "Track 1 not found"},
        FailureCase{"named_op", {{T0, "a", "w", 1.0, "USD"}}, 0, "Error in Op, caused by \nUnknown Op 'w'"},
        FailureCase{"null_op", {{T0, "a", nullptr, 1.0, "USD"}}, 0, "Error in Op, caused by \nUnknown Op ''"},
        FailureCase{"null_unit_key", {{T0, "a", "+", 1.0, nullptr}}, 0, "Error in Event Specs: Missing Unit Name"},
        FailureCase{"null_unit_value", {{T0, "a", "+", 1.0, NULL_VALUE}}, 0, "Error in Event Specs: Unknown Unit"},
        FailureCase{"snapper", {{T0, "a", "+", 1.0, "s1"}}, 0, "Feature Not Implemented: `Snapper in FD: s1`"},
        FailureCase{"snap", {{T0, "a", "+", 1.0, "o1"}}, 0, "Feature Not Implemented: `Snap in FD: o1`"},
        FailureCase{"phrase", {{T0, "a", "+", 1.0, "p1"}}, 0, "Feature Not Implemented: `Phrase in FD: p1`"},
        FailureCase{"null_track", {{T0, nullptr, "+", 1.0, "USD"}}, 0, "No track specified at event#0"},
        FailureCase{"missing_asset",
                    {{T0, "a", "+", 1.0, "JPY"}},
                    0,
                    "Asset 'JPY' not found in snaps, expressions, or in dataset[ASSETS]"},
        FailureCase{"roll_beyond_curve",
                    {{T0 + 60 * YEAR, "a", "+", 1.0, "USD"}},
                    -1,  // a roll's error carries no row
                    "Error in 'discount' rate from time 59.9 to 60, caused by \n'Error: Interpolation out of range "
                    "at time 60.\n Perhaps the time range in forwards/discount data is too short.'"},
        FailureCase{"null_time", {{std::nullopt, "a", "+", 1.0, "USD"}, {T0, "a", "+", 1.0, "USD"}}, 0,
                    "No event time"},
        FailureCase{"null_last_time", {{T0, "a", "+", 1.0, "USD"}, {std::nullopt, "a", "+", 1.0, "USD"}}, 1,
                    "No event time"},
        FailureCase{"empty", {}, -1, "Timetable has no events"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FdPrice, NeedsABookingOnTrackZero) {
  const HwSettings s = hw_settings(fd_settings(flat_usd(), 2, 0.1, 0.1));
  const Contract contract({{T0 + YEAR, "b", "+", 1.0, "USD"}}, {"a", "b"});
  auto ledger = run_fd_hullwhite(s, contract.timetable());
  ASSERT_TRUE(ledger);
  auto price = fd_price(s.fd, *ledger);
  ASSERT_FALSE(price);
  EXPECT_EQ(to_string(price.error()), "Track 0 not found");
}

TEST(FdRun, BlackScholesStateFailsWithoutItsAsset) {
  const Contract contract({{T0 + YEAR, "a", "+", 1.0, "USD"}}, {"a"});
  auto ledger = run_fd_blackscholes(bs_settings(fd_settings(flat_usd(), 2, 0.1, 0.1), "EQ"), contract.timetable());
  ASSERT_FALSE(ledger);
  EXPECT_EQ(to_string(ledger.error()), "Asset 'EQ' not found in snaps, expressions, or in dataset[ASSETS]");
}

struct SettingsCase {
  const char* name;
  std::uint64_t n_x;
  double max_x;
  double timestep;
  double meanrev;
  const char* message;
};
class FdSettingsLimits : public ::testing::TestWithParam<SettingsCase> {};
TEST_P(FdSettingsLimits, AreRefusedBeforeTheWalk) {
  const SettingsCase& c = GetParam();
  const Contract contract({{T0 + YEAR, "a", "+", 1.0, "USD"}}, {"a"});
  const HwSettings hw = hw_settings(fd_settings(flat_usd(), c.n_x, c.max_x, c.timestep), c.meanrev);
  const auto ledger = run_fd_hullwhite(hw, contract.timetable());
  ASSERT_FALSE(ledger);
  EXPECT_EQ(to_string(ledger.error()), c.message);
  if (c.meanrev != 0.0) {
    AssetTable assets = flat_usd();
    assets.assets.emplace("EQ", forwards({0.0, 5.0}, {100.0, 110.0}));
    const auto bs = run_fd_blackscholes(bs_settings(fd_settings(assets, c.n_x, c.max_x, c.timestep)),
                                        contract.timetable());
    ASSERT_FALSE(bs);
    EXPECT_EQ(to_string(bs.error()), c.message);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Limits, FdSettingsLimits,
    ::testing::Values(SettingsCase{"n_x_zero", 0, 0.1, 0.1, 0.1, "Invalid value '0' for key 'N_X'"},
                      SettingsCase{"max_x_zero", 2, 0.0, 0.1, 0.1, "Invalid value '0' for key 'MAX_X'"},
                      SettingsCase{"max_x_negative", 2, -0.5, 0.1, 0.1, "Invalid value '-0.5' for key 'MAX_X'"},
                      SettingsCase{"max_x_nan", 2, std::nan(""), 0.1, 0.1, "Invalid value 'NaN' for key 'MAX_X'"},
                      SettingsCase{"step_zero", 2, 0.1, 0.0, 0.1, "Invalid value '0' for key 'TIMESTEP'"},
                      SettingsCase{"step_negative", 2, 0.1, -0.1, 0.1, "Invalid value '-0.1' for key 'TIMESTEP'"},
                      SettingsCase{"step_nan", 2, 0.1, std::nan(""), 0.1, "Invalid value 'NaN' for key 'TIMESTEP'"},
                      SettingsCase{"step_below_1ms", 2, 0.1, 1e-11, 0.1,
                                   "Invalid value '0.00000000001' for key 'TIMESTEP'"},
                      SettingsCase{"meanrev_zero", 2, 0.1, 0.1, 0.0, "Invalid value '0' for key 'MEANREV'"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vornik
