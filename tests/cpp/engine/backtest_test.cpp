// The backtest hooks of the forward run: values from the history source at
// each row's time, the base asset never asked, the clock from the epoch, and
// the cashflow book always kept.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "forward_fixture.h"
#include "hist/backtest.h"
#include "hist/tsdata.h"

namespace vornik {
namespace {

using namespace vornik::testing;
using Vec = std::vector<double>;
using Lookups = std::vector<std::pair<std::string, std::int64_t>>;

Row at(std::int64_t time, Text unit, Text op = "+", double qty = 1.0, Text track = "A") {
  return Row{time, std::move(track), std::move(op), qty, std::move(unit)};
}

BacktestModel table_model(Lookups* log, std::map<std::string, double, std::less<>> table = {{"EUR", 1.25}}) {
  auto source = std::make_unique<TableSource>(std::move(table));
  source->log = log;
  return BacktestModel{std::move(source)};
}

TEST(Backtest, ValuesEachLookupAtTheRowsTimeAndNeverAsksTheBase) {
  Contract contract({at(T0, "USD", "+", 3.0), at(T0 + DAY, "EUR", "+", 2.0), at(T0 + DAY, "EUR", ">", 1.0, "B")});
  Lookups log;
  BacktestModel model = table_model(&log);
  EXPECT_EQ(model.flags, FLAG_CASHFLOW);
  auto ledger = run_backtest(model, contract);
  ASSERT_TRUE(ledger) << to_string(ledger.error());
  EXPECT_EQ(log, (Lookups{{"EUR", T0 + DAY}, {"EUR", T0 + DAY}}));
  EXPECT_EQ(as_vector(ledger->cashflows.at(0).at(0)), Vec{3.0});
  EXPECT_EQ(as_vector(ledger->cashflows.at(0).at(1)), Vec{2.5});
  EXPECT_EQ(as_vector(ledger->values.at(0)), Vec{5.5});
  EXPECT_TRUE(ledger->choices.empty()) << "FLAGS 8 keeps no choices";
}

TEST(Backtest, NamedOpWeightComesFromTheSource) {
  SnapperMap snappers;
  snappers.emplace("snapper", Snapper{{"s"}, constant({{0.5}})});
  Contract contract({at(0, "snapper"), at(0, "EUR", "W"), at(0, "EUR", "s", 1.0, "B"), at(0, "EUR", "USD", 1.0, "C")},
                    std::move(snappers));
  Lookups log;
  auto ledger = run_backtest(table_model(&log, {{"EUR", 2.0}, {"W", 0.25}}), contract);
  ASSERT_TRUE(ledger) << to_string(ledger.error());
  EXPECT_EQ(as_vector(ledger->values.at(0)), Vec{0.0 * (1.0 - 0.25) + 2.0 * 0.25});
  EXPECT_EQ(as_vector(ledger->values.at(1)), Vec{0.0 * (1.0 - 0.5) + 2.0 * 0.5}) << "a snap hides the source";
  EXPECT_EQ(as_vector(ledger->values.at(2)), Vec{2.0}) << "the base weighs 1.0";
  EXPECT_EQ(log, (Lookups{{"EUR", 0}, {"W", 0}, {"EUR", 0}, {"EUR", 0}}));
}

TEST(Backtest, ConstantSourceAnswersAtAnyTime) {
  // The last row lies beyond the calendar's years; the constant does not depend on it.
  Contract contract({at(0, "USD", "+", 2.0), at(5, "GBP", "+", 2.0), at(8210266876800000, "anything")});
  BacktestModel model{std::make_unique<TsDataSource>("USD", 100.0)};
  auto ledger = run_backtest(model, contract);
  ASSERT_TRUE(ledger) << to_string(ledger.error());
  EXPECT_EQ(as_vector(ledger->cashflows.at(0).at(0)), Vec{2.0});
  EXPECT_EQ(as_vector(ledger->cashflows.at(0).at(1)), Vec{200.0});
  EXPECT_EQ(as_vector(ledger->cashflows.at(0).at(2)), Vec{100.0});
}

TEST(Backtest, WalkRecordsWithoutBooking) {
  Contract contract({at(0, "EUR")});
  BacktestModel model = table_model(nullptr);
  ForwardState state = build_forward_state(contract, 1);
  ASSERT_TRUE(run_backtest_model(model, state, contract));
  EXPECT_TRUE(std::holds_alternative<NodeState::Value>(state.graph.nodes.at(0).v));
  EXPECT_TRUE(state.ledger.values.empty());
  EXPECT_EQ(as_vector(state.numeraire), Vec{1.0});
}

struct FailureCase {
  const char* name;
  std::vector<Row> rows;
  std::size_t row;
  const char* message;
};
class BacktestFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(BacktestFailure, IsWrappedWithTheRow) {
  Contract contract(GetParam().rows);
  auto ledger = run_backtest(table_model(nullptr), contract);
  ASSERT_FALSE(ledger);
  EXPECT_EQ(to_string(ledger.error()), "Error at event:\n  " + contract.timetable().describe_event(GetParam().row).value() +
                                           ", caused by \n" + GetParam().message);
}
INSTANTIATE_TEST_SUITE_P(
    Table, BacktestFailure,
    ::testing::Values(FailureCase{"before_the_epoch", {at(-1, "USD")}, 0,
                                  "event time is earlier than the current time 0"},
                      FailureCase{"out_of_order", {at(7, "USD"), at(5, "USD")}, 1,
                                  "event time is earlier than the current time 7"},
                      FailureCase{"null_time", {at(0, "USD"), Row{std::nullopt, "A", "+", 1, "USD"}}, 1,
                                  "No event time"},
                      FailureCase{"source_fails", {at(0, "GBP")}, 0, "no history for GBP"},
                      FailureCase{"weight_source_fails", {at(0, "EUR", "GBP")}, 0, "no history for GBP"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BacktestFailure, BeforeTheEpochPrintsTheCalendarTime) {
  Contract contract({at(-1, "USD")});
  auto ledger = run_backtest(table_model(nullptr), contract);
  ASSERT_FALSE(ledger);
  EXPECT_EQ(to_string(ledger.error()),
            "Error at event:\n  #0: track: Track(0), time: Single(1969-12-31T23:59:59.999Z), op: +, qty: 1, unit: "
            "Asset(USD), caused by \nevent time is earlier than the current time 0");
}

}  // namespace
}  // namespace vornik
