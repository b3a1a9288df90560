// Settlement of the event graph: rows are booked from the last to the first,
// so a track reference sees only what later rows booked, and settlement
// errors come back without the row's description.
#include <gtest/gtest.h>

#include <vector>

#include "forward_fixture.h"
#include "ledger/depgraph.h"

namespace vornik {
namespace {

using testing::as_vector;
using testing::Contract;
using testing::Row;
using testing::T0;
using Vec = std::vector<double>;

Ledger ledger_of(std::uint64_t len) {
  Ledger ledger;
  ledger.len = len;
  return ledger;
}

// Rows on tracks "A" (key 0) and "B" (key 1); a unit "A" or "B" refers to the track.
Row on(const char* track, const char* op, const char* unit = "EUR") { return Row{T0, track, op, 1.0, unit}; }

TEST(Settlement, EmptyTimetableBooksNothing) {
  Contract contract({});
  DepGraph graph = build_depgraph(contract);
  Ledger ledger = ledger_of(1);
  ASSERT_TRUE(settle_event_graph(graph, ledger, contract, FLAG_CASHFLOW));
  EXPECT_TRUE(ledger.values.empty());
  EXPECT_TRUE(ledger.cashflows.empty());
}

TEST(Settlement, TrackReferenceBooksWhatLaterRowsLeftWithoutItsQuantity) {
  // Row 0 refers to B under "+" on A; rows 1 and 2 add to B; row 3 stays Empty.
  Contract contract({on("A", "+", "B"), on("B", "+"), on("B", "+"), on("A", "+", "snapper row")},
                    {}, {}, {"A", "B"});
  DepGraph graph = build_depgraph(contract);
  ASSERT_EQ(graph.nodes.size(), 4u);
  set_node_track_ref(graph, 0, 1);
  set_node_value(graph, 1, Values::of({2, 3}));
  set_node_value(graph, 2, Values::of({5, 7}));
  Ledger ledger = ledger_of(2);
  auto settled = settle_event_graph(graph, ledger, contract, FLAG_CASHFLOW);
  ASSERT_TRUE(settled) << to_string(settled.error());
  EXPECT_TRUE(graph.nodes.empty());
  EXPECT_EQ(as_vector(ledger.values.at(0)), (Vec{7, 10}));
  EXPECT_EQ(as_vector(ledger.cashflows.at(0).at(0)), (Vec{7, 10}));
  EXPECT_FALSE(ledger.cashflows.at(0).contains(3)) << "an Empty node books nothing";
}

TEST(Settlement, TrackReferringToItselfDoubles) {
  Contract contract({on("A", "+", "A"), on("A", "+")}, {}, {}, {"A"});
  DepGraph graph = build_depgraph(contract);
  set_node_track_ref(graph, 0, 0);
  set_node_value(graph, 1, Values::of({3}));
  Ledger ledger = ledger_of(1);
  ASSERT_TRUE(settle_event_graph(graph, ledger, contract, 0));
  EXPECT_EQ(as_vector(ledger.values.at(0)), (Vec{6}));
}

TEST(Settlement, LaterComparisonIsVoidedWhereTheEarlierWins) {
  std::vector<Row> rows(9, on("A", "+"));
  rows[3] = on("A", ">");
  rows[8] = on("A", ">");
  Contract contract(rows, {}, {}, {"A"});
  DepGraph graph = build_depgraph(contract);
  set_node_value(graph, 3, Values::of({4, 1}));
  set_node_value(graph, 8, Values::of({2, 2}));
  Ledger ledger = ledger_of(2);
  ASSERT_TRUE(settle_event_graph(graph, ledger, contract, FLAG_CASHFLOW));
  EXPECT_EQ(as_vector(ledger.cashflows.at(0).at(8)), (Vec{0, 2}));
  EXPECT_EQ(as_vector(ledger.cashflows.at(0).at(3)), (Vec{4, 0}));
  EXPECT_EQ(as_vector(ledger.values.at(0)), (Vec{4, 2}));
}

struct FailureCase {
  const char* name;
  std::vector<Row> rows;
  std::function<void(DepGraph&)> record;
  const char* text;
};
class SettlementFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(SettlementFailure, IsNotWrappedWithTheRow) {
  Contract contract(GetParam().rows, {}, {}, {"A", "B"});
  DepGraph graph = build_depgraph(contract);
  GetParam().record(graph);
  Ledger ledger = ledger_of(1);
  auto settled = settle_event_graph(graph, ledger, contract, FLAG_CASHFLOW);
  ASSERT_FALSE(settled);
  EXPECT_EQ(to_string(settled.error()), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SettlementFailure,
    ::testing::Values(
        // Row 1 books B, but it is settled after row 2, which refers to B.
        FailureCase{"reference_to_a_track_only_earlier_rows_book",
                    {on("A", "+"), on("B", "+"), on("A", "+", "B")},
                    [](DepGraph& g) {
                      set_node_value(g, 1, Values::of({1}));
                      set_node_track_ref(g, 2, 1);
                    },
                    "Track 1 not found"},
        FailureCase{"reference_under_a_named_op",
                    {on("A", "w", "B"), on("B", "+")},
                    [](DepGraph& g) {
                      set_node_track_ref(g, 0, 1);
                      set_node_value(g, 1, Values::of({1}));
                    },
                    "Error in Op, caused by \nUnknown Op 'w'"},
        FailureCase{"value_under_a_null_op",
                    {Row{T0, "A", std::nullopt, 1.0, "EUR"}},
                    [](DepGraph& g) { set_node_value(g, 0, Values::of({1})); },
                    "Error in Op, caused by \nUnknown Op ''"},
        FailureCase{"choice_without_a_track",
                    {on("A", "+"), Row{T0, std::nullopt, "w", 1.0, "EUR"}},
                    [](DepGraph& g) { set_node_choice(g, 1, Values::of({1}), Values::of({1})); },
                    "No track specified at event#1"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vornik
