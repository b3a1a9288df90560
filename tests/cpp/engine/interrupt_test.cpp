// The long loops of the runs ask the installed interrupt check as they go:
// a yes ends the run with Interrupted, a no leaves the run to finish.
#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "fd/run.h"
#include "fd_contract.h"
#include "model/forwardmodel.h"
#include "timetable/interrupt.h"

namespace vornik {
namespace {

using namespace fdtest;

// Answers yes from its n-th question on.
class StopAt final : public InterruptCheck {
 public:
  explicit StopAt(int n) : n_(n) {}
  bool interrupted() override { return ++asked >= n_; }
  int asked = 0;

 private:
  int n_;
};

using Run = std::function<std::expected<Ledger, EvaluationError>(const Timetable&)>;
struct LongRun {
  const char* name;
  std::vector<Row> rows;
  Run run;
};

AssetTable usd_and_eq() {
  AssetTable assets = flat_usd();
  assets.assets.emplace("EQ", forwards({0.0, 50.0}, {100.0, 100.0}));
  return assets;
}

// Some millions of units of work each: a few questions.
LongRun hull_white() {
  const HwSettings s = hw_settings(fd_settings(flat_usd(), 500, 0.2, 1.0 / 365));
  return {"HullWhiteRolls", {{T0 + YEAR, "a", "+", 1.0, "USD"}}, [s](const Timetable& t) { return run_fd_hullwhite(s, t); }};
}
LongRun black_scholes() {
  const BsSettings s = bs_settings(fd_settings(usd_and_eq(), 500, 1.0, 1.0 / 365));
  return {"BlackScholesRolls", {{T0 + YEAR, "a", "+", 1.0, "EQ"}},
          [s](const Timetable& t) { return run_fd_blackscholes(s, t); }};
}
LongRun fixed_walk() {
  const FixedSettings s{flat_usd(), T0, FLAG_CASHFLOW};
  return {"FixedWalkAndSettlement", std::vector<Row>(20000, Row{T0 + DAY, "a", "+", 1.0, "USD"}),
          [s](const Timetable& t) { return run_fixed_model(s, t); }};
}

class Interrupt : public ::testing::TestWithParam<LongRun> {};

TEST_P(Interrupt, AYesEndsTheRun) {
  const Contract contract(GetParam().rows, {"a"});
  StopAt check(1);
  const ScopedInterruptCheck installed(check);
  auto r = GetParam().run(contract.timetable());
  ASSERT_FALSE(r);
  EXPECT_TRUE(std::holds_alternative<EvaluationError::Interrupted>(r.error().v)) << to_string(r.error());
  EXPECT_EQ(check.asked, 1);
}

TEST_P(Interrupt, ANoLetsTheRunFinish) {
  const Contract contract(GetParam().rows, {"a"});
  StopAt check(INT_MAX);
  const ScopedInterruptCheck installed(check);
  auto r = GetParam().run(contract.timetable());
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_GT(check.asked, 0);
}

INSTANTIATE_TEST_SUITE_P(Runs, Interrupt, ::testing::Values(hull_white(), black_scholes(), fixed_walk()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vornik
