// The booking rules of the Ledger: comparisons against what later rows
// booked, voiding and scaling of their cashflows, the zero-value rule,
// named-op weights, choice indicators and the FLAGS bits.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <optional>
#include <vector>

#include "forward_fixture.h"
#include "ledger/ledger.h"

namespace vornik {
namespace {

using testing::as_vector;
using Vec = std::vector<double>;

Op op_of(Op::Kind kind, std::string name = {}) { return Op{kind, std::move(name)}; }

Ledger ledger_of(std::uint64_t len) {
  Ledger ledger;
  ledger.len = len;
  return ledger;
}

constexpr std::uint32_t ALL = FLAG_CASHFLOW | FLAG_CHOICES;
const double NaN = std::nan("");

// A row-5 event on track 0 of a three-path ledger in which row 9 already
// booked the cashflow [10, 10, 10].
struct CompareCase {
  const char* name;
  Op::Kind op;
  std::optional<Vec> current;  // absent: the track has no value yet
  Vec value;
  Vec after;                   // the track's value after the booking
  std::vector<std::uint64_t> won;
  std::optional<Vec> cashflow;  // the row's own cashflow; absent: none booked
  Vec later;                    // row 9's cashflow after voiding
};

class CompareBooking : public ::testing::TestWithParam<CompareCase> {};

TEST_P(CompareBooking, ComparesWithWhatLaterRowsBooked) {
  const CompareCase& c = GetParam();
  Ledger ledger = ledger_of(3);
  if (c.current) ledger.values.emplace(0, Values::from(*c.current));
  ledger.cashflows[0].emplace(9, Values::of({10, 10, 10}));

  auto booked = book_event_value(ledger, op_of(c.op), 0, Values::from(c.value), 5, ALL);
  ASSERT_TRUE(booked) << to_string(booked.error());

  EXPECT_EQ(as_vector(ledger.values.at(0)), c.after);
  const Mask& mask = ledger.choices.at(5).at(0);
  EXPECT_EQ(std::vector<std::uint64_t>(mask.begin(), mask.end()), c.won);
  auto own = ledger.cashflows.at(0).find(5);
  ASSERT_EQ(own != ledger.cashflows.at(0).end(), c.cashflow.has_value());
  if (c.cashflow) {
    EXPECT_EQ(as_vector(own->second), *c.cashflow);
  }
  EXPECT_EQ(as_vector(ledger.cashflows.at(0).at(9)), c.later);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CompareBooking,
    ::testing::Values(
        CompareCase{"first_max_meets_zero", Op::Kind::Max, std::nullopt, {1, -1, 0}, {1, 0, 0}, {1, 0, 0},
                    Vec{1, 0, 0}, {0, 10, 10}},
        CompareCase{"first_min_meets_zero", Op::Kind::Min, std::nullopt, {1, -1, 0}, {0, -1, 0}, {0, 1, 0},
                    Vec{0, -1, 0}, {10, 0, 10}},
        CompareCase{"tie_does_not_win", Op::Kind::Max, Vec{2, 2, 2}, {2, 3, 1}, {2, 3, 2}, {0, 1, 0}, Vec{0, 3, 0},
                    {10, 0, 10}},
        CompareCase{"nan_never_wins", Op::Kind::Max, Vec{1, NaN, 1}, {NaN, 5, 2}, {1, 5, 2}, {0, 0, 1},
                    Vec{0, 0, 2}, {10, 10, 0}},
        CompareCase{"single_zero_voids_but_books_nothing", Op::Kind::Max, Vec{-1, 1, 0}, {0.0}, {0, 1, 0},
                    {1, 0, 0}, std::nullopt, {0, 10, 10}},
        CompareCase{"single_negative_zero_too", Op::Kind::Min, Vec{1, -1, 0}, {-0.0}, {-0.0, -1, -0.0}, {1, 0, 0},
                    std::nullopt, {0, 10, 10}},
        CompareCase{"one_element_value_on_every_path", Op::Kind::Max, Vec{1, 6, 5}, {5}, {5, 6, 5}, {1, 0, 0},
                    Vec{5, 0, 0}, {0, 10, 10}}),
    [](const auto& info) { return std::string(info.param.name); });

// The first event on a track meets zeros: op(0.0, x), which is not x for
// x = -0.0, while the cashflow is x itself.
struct FirstCase {
  const char* name;
  Op::Kind op;
  std::uint32_t flags;
  Vec value;
  Vec after;
};
class FirstBooking : public ::testing::TestWithParam<FirstCase> {};

std::vector<std::uint64_t> bits(std::span<const double> xs) {
  std::vector<std::uint64_t> out;
  for (double x : xs) out.push_back(std::bit_cast<std::uint64_t>(x));
  return out;
}

TEST_P(FirstBooking, MeetsZerosToTheBit) {
  const FirstCase& c = GetParam();
  Ledger ledger = ledger_of(3);
  ASSERT_TRUE(book_event_value(ledger, op_of(c.op), 0, Values::from(c.value), 5, c.flags));
  EXPECT_EQ(bits(ledger.values.at(0).span()), bits(c.after));
  if (c.flags & FLAG_CASHFLOW) {
    EXPECT_EQ(bits(ledger.cashflows.at(0).at(5).span()), bits(c.value));
  }
}
INSTANTIATE_TEST_SUITE_P(
    Rules, FirstBooking,
    ::testing::Values(FirstCase{"add", Op::Kind::Add, 0, {-0.0, NaN, 2}, {0.0, NaN, 2}},
                      FirstCase{"add_booked", Op::Kind::Add, FLAG_CASHFLOW, {-0.0, -0.0, 2}, {0.0, 0.0, 2}},
                      FirstCase{"add_one_element", Op::Kind::Add, 0, {-0.0}, {0.0, 0.0, 0.0}},
                      FirstCase{"max", Op::Kind::Max, 0, {-0.0, NaN, -1}, {0.0, 0.0, 0.0}},
                      FirstCase{"min", Op::Kind::Min, 0, {-0.0, 1, NaN}, {-0.0, 0.0, 0.0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AddBooking, CashflowIsTheValueSpreadToEveryPath) {
  Ledger ledger = ledger_of(3);
  ledger.cashflows[0].emplace(9, Values::of({10, 10, 10}));
  ASSERT_TRUE(book_event_value(ledger, op_of(Op::Kind::Add), 0, Values::of({2}), 5, ALL));
  ASSERT_TRUE(book_event_value(ledger, op_of(Op::Kind::Add), 0, Values::of({0.0}), 4, ALL));
  EXPECT_EQ(as_vector(ledger.values.at(0)), (Vec{2, 2, 2}));
  EXPECT_EQ(as_vector(ledger.cashflows.at(0).at(5)), (Vec{2, 2, 2}));
  EXPECT_EQ(as_vector(ledger.cashflows.at(0).at(4)), (Vec{0, 0, 0})) << "a '+' of [0.0] still books";
  EXPECT_EQ(as_vector(ledger.cashflows.at(0).at(9)), (Vec{10, 10, 10}));
  EXPECT_TRUE(ledger.choices.empty());
}

TEST(AddBooking, EachOfManyTracksKeepsItsOwnValue) {
  // More tracks than the ledger keeps at hand: keys that share a place take turns.
  Ledger ledger = ledger_of(1);
  constexpr std::uint64_t TRACKS = 17;
  for (std::uint64_t event = 0; event < 2 * TRACKS; ++event) {
    const auto value = static_cast<double>(event);
    ASSERT_TRUE(book_event_value(ledger, op_of(Op::Kind::Add), event % TRACKS, Values::of({value}), event, 0));
  }
  for (std::uint64_t track = 0; track < TRACKS; ++track)
    EXPECT_EQ(as_vector(ledger.values.at(track)), Vec{static_cast<double>(2 * track + TRACKS)}) << "track " << track;
}

struct FlagsCase {
  std::uint32_t flags;
  bool choices;
  bool cashflows;
};
class FlagBits : public ::testing::TestWithParam<FlagsCase> {};

TEST_P(FlagBits, SelectTheBooks) {
  Ledger ledger = ledger_of(2);
  ASSERT_TRUE(book_event_value(ledger, op_of(Op::Kind::Max), 2, Values::of({1, -1}), 7, GetParam().flags));
  EXPECT_EQ(as_vector(ledger.values.at(2)), (Vec{1, 0}));
  EXPECT_EQ(ledger.choices.size(), GetParam().choices ? 1u : 0u);
  EXPECT_EQ(ledger.cashflows.size(), GetParam().cashflows ? 1u : 0u);
  // The indicator stands under the row first, the cashflow under the track first.
  if (GetParam().choices) {
    EXPECT_TRUE(ledger.choices.at(7).contains(2));
  }
  if (GetParam().cashflows) {
    EXPECT_TRUE(ledger.cashflows.at(2).contains(7));
  }
}
INSTANTIATE_TEST_SUITE_P(Bits, FlagBits,
                         ::testing::Values(FlagsCase{0, false, false}, FlagsCase{FLAG_CHOICES, true, false},
                                           FlagsCase{FLAG_CASHFLOW, false, true}, FlagsCase{ALL, true, true},
                                           FlagsCase{FLAG_PV_VEC | 4, false, false}));

struct WeightCase {
  const char* name;
  Vec weight;
  Vec value;
  Vec after;
  std::optional<Vec> cashflow;
  Vec later;
};
class NamedOpBooking : public ::testing::TestWithParam<WeightCase> {};

TEST_P(NamedOpBooking, BlendsByTheWeight) {
  const WeightCase& c = GetParam();
  Ledger ledger = ledger_of(2);
  ledger.values.emplace(0, Values::of({4, 8}));
  ledger.cashflows[0].emplace(9, Values::of({10, 10}));
  auto booked = book_cashflow(ledger, Values::from(c.weight), 0, Values::from(c.value), 5, ALL);
  ASSERT_TRUE(booked) << to_string(booked.error());
  EXPECT_EQ(as_vector(ledger.values.at(0)), c.after);
  auto own = ledger.cashflows.at(0).find(5);
  ASSERT_EQ(own != ledger.cashflows.at(0).end(), c.cashflow.has_value());
  if (c.cashflow) {
    EXPECT_EQ(as_vector(own->second), *c.cashflow);
  }
  EXPECT_EQ(as_vector(ledger.cashflows.at(0).at(9)), c.later);
  EXPECT_TRUE(ledger.choices.empty()) << "a named op books no indicator";
}
INSTANTIATE_TEST_SUITE_P(
    Weights, NamedOpBooking,
    ::testing::Values(WeightCase{"weight_one_replaces", {1}, {3, 5}, {3, 5}, Vec{3, 5}, {0, 0}},
                      WeightCase{"weight_zero_keeps", {0}, {3, 5}, {4, 8}, Vec{0, 0}, {10, 10}},
                      WeightCase{"per_path_weight", {0.25, 0.5}, {2, 4}, {4 * 0.75 + 2 * 0.25, 8 * 0.5 + 4 * 0.5},
                                 Vec{0.5, 2}, {7.5, 5}},
                      WeightCase{"zero_value_books_no_cashflow", {0.5}, {0.0}, {2, 4}, std::nullopt, {5, 5}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Voiding, LeavesTheIndicatorsOfLaterRows) {
  Ledger ledger = ledger_of(2);
  ASSERT_TRUE(book_event_value(ledger, op_of(Op::Kind::Max), 0, Values::of({1, 1}), 9, ALL));
  ASSERT_TRUE(book_event_value(ledger, op_of(Op::Kind::Max), 0, Values::of({5, 0}), 3, ALL));
  EXPECT_EQ(as_vector(ledger.cashflows.at(0).at(9)), (Vec{0, 1}));
  const Mask& later = ledger.choices.at(9).at(0);
  EXPECT_EQ(std::vector<std::uint64_t>(later.begin(), later.end()), (std::vector<std::uint64_t>{1, 1}));
}

struct RefusalCase {
  const char* name;
  Op op;
  std::uint32_t flags;
  Vec value;
  const char* text;
};
class RefusedBooking : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedBooking, ReportsTheOpOrTheLengths) {
  const RefusalCase& c = GetParam();
  Ledger ledger = ledger_of(3);
  ledger.cashflows[2].emplace(9, Values::of({10, 10, 10}));
  auto booked = book_event_value(ledger, c.op, 2, Values::from(c.value), 5, c.flags);
  ASSERT_FALSE(booked);
  EXPECT_EQ(to_string(booked.error()), c.text);
  EXPECT_FALSE(ledger.cashflows.at(2).contains(5));
}
INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusedBooking,
    ::testing::Values(
        RefusalCase{"null_op", op_of(Op::Kind::NoOp), 0, {1}, "Error in Op, caused by \nUnknown Op ''"},
        RefusalCase{"null_op_with_all_flags", op_of(Op::Kind::NoOp), ALL, {1},
                    "Error in Op, caused by \nUnknown Op ''"},
        RefusalCase{"named_op", op_of(Op::Kind::Named, "w"), ALL, {1}, "Error in Op, caused by \nUnknown Op 'w'"},
        RefusalCase{"add_cashflow_of_wrong_length", op_of(Op::Kind::Add), FLAG_CASHFLOW, {1, 2}, "Track 2 not found"},
        RefusalCase{"add_of_wrong_length", op_of(Op::Kind::Add), 0, {1, 2},
                    "Error in Op, caused by \nVector lengths 3 and 2 cannot be combined"},
        RefusalCase{"max_of_wrong_length", op_of(Op::Kind::Max), FLAG_CASHFLOW, {1, 2, 3, 4},
                    "Error in Op, caused by \nVector lengths 3 and 4 cannot be combined"},
        RefusalCase{"min_choice_of_wrong_length", op_of(Op::Kind::Min), FLAG_CHOICES, {1, 2},
                    "Error in Op, caused by \nVector lengths 3 and 2 cannot be combined"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RefusedBooking, NamedBlendOfWrongLengths) {
  Ledger ledger = ledger_of(3);
  ledger.cashflows[0].emplace(9, Values::of({10, 10, 10}));
  auto scaled = book_cashflow(ledger, Values::of({0.5, 0.5}), 0, Values::of({1}), 5, FLAG_CASHFLOW);
  ASSERT_FALSE(scaled);
  EXPECT_EQ(to_string(scaled.error()), "Error in Op, caused by \nVector lengths 3 and 2 cannot be combined");
  Ledger fresh = ledger_of(3);
  auto blended = book_cashflow(fresh, Values::of({0.5, 0.5}), 0, Values::of({1, 2, 3}), 5, 0);
  ASSERT_FALSE(blended);
  EXPECT_EQ(to_string(blended.error()), "Error in Op, caused by \nVector lengths 3 and 2 cannot be combined");
}

TEST(TrackValue, AbsentTrackIsNotFound) {
  Ledger ledger = ledger_of(1);
  auto missing = get_track_value(ledger.values, 7);
  ASSERT_FALSE(missing);
  EXPECT_EQ(to_string(missing.error()), "Track 7 not found");
}

TEST(ChoiceMask, MarksOnlyTheWinningPaths) {
  Mask mask = Mask::filled(3, 4);
  ASSERT_TRUE(choice_mask(Values::of({1, 2, 3}), mask, Values::of({2}), op_of(Op::Kind::Min), 7));
  EXPECT_EQ(std::vector<std::uint64_t>(mask.begin(), mask.end()), (std::vector<std::uint64_t>{4, 4, 7}));
}

}  // namespace
}  // namespace vornik
