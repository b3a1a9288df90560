// The Monte Carlo and fixed forward runs: the numeraire that the state
// object's advance maintains, asset values, snappers, snaps and phrases,
// named-op weights, the run's failures with and without the row, and the
// prices taken from the Ledger.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "curves/curves.h"
#include "forward_fixture.h"
#include "model/forwardmodel.h"

namespace vornik {
namespace {

using namespace vornik::testing;
using Vec = std::vector<double>;

McSettings mc_settings(std::uint64_t paths, std::uint32_t flags = FLAG_CASHFLOW) {
  McSettings s;
  s.assets = flat_market();
  s.paths = paths;
  s.pricing_ts = T0;
  s.flags = flags;
  return s;
}

FixedSettings fixed_settings(std::uint32_t flags = FLAG_CASHFLOW) {
  FixedSettings s;
  s.assets = flat_market();
  s.pricing_ts = T0;
  s.flags = flags;
  return s;
}

double df_after(std::int64_t ms) { return *discount_factor(flat_market(), years(ms)); }
double eur_after(std::int64_t ms) { return *asset_forward(flat_market(), "EUR", years(ms)); }

// A row on track A at T0 + `after` ms.
Row at(std::int64_t after, Text unit, Text op = "+", double qty = 1.0, Text track = "A") {
  return Row{T0 + after, std::move(track), std::move(op), qty, std::move(unit)};
}

Ledger run_mc(const Contract& contract, ScriptedState& state, std::uint64_t paths = 2,
              std::uint32_t flags = FLAG_CASHFLOW) {
  McModel model{mc_settings(paths, flags), state};
  auto ledger = run_forward_model_mc(model, contract);
  if (!ledger) ADD_FAILURE() << to_string(ledger.error());
  return ledger ? std::move(*ledger) : Ledger{};
}

Vec cashflow(const Ledger& ledger, std::uint64_t track, std::uint64_t row) {
  return as_vector(ledger.cashflows.at(track).at(row));
}

// ---- The numeraire ---------------------------------------------------------

struct NumeraireCase {
  const char* name;
  std::vector<ScriptedState::Answer> script;
  std::vector<Vec> values;  // the value of each row (unit USD, quantity 1)
};
class Numeraire : public ::testing::TestWithParam<NumeraireCase> {};

TEST_P(Numeraire, AdvancesOncePerLaterTimeAndScalesTheRows) {
  Contract contract({at(0, "USD"), at(DAY, "USD"), at(DAY, "USD"), at(2 * DAY, "USD")});
  ScriptedState state;
  state.script = GetParam().script;
  Ledger ledger = run_mc(contract, state);
  EXPECT_EQ(state.advanced, (Vec{years(DAY), years(2 * DAY)})) << "year fractions from PRICING_TS";
  for (std::size_t row = 0; row < 4; ++row) EXPECT_EQ(cashflow(ledger, 0, row), GetParam().values[row]) << row;
}

INSTANTIATE_TEST_SUITE_P(
    Results, Numeraire,
    ::testing::Values(
        NumeraireCase{"numbers_multiply", {answer_number(0.5)}, {{1, 1}, {0.5, 0.5}, {0.5, 0.5}, {0.25, 0.25}}},
        NumeraireCase{"arrays_multiply_per_path",
                      {answer_array({2, 3}), answer_array({0.5, 2})},
                      {{1, 1}, {2, 3}, {2, 3}, {1, 6}}},
        NumeraireCase{"one_element_array", {answer_array({4})}, {{1, 1}, {4, 4}, {4, 4}, {16, 16}}},
        NumeraireCase{"anything_else_restarts_at_the_discount_factor",
                      {answer_array({2, 3}), answer_other()},
                      {{1, 1}, {2, 3}, {2, 3}, {df_after(2 * DAY), df_after(2 * DAY)}}},
        NumeraireCase{"anything_else_every_time",
                      {answer_other()},
                      {{1, 1}, {df_after(DAY), df_after(DAY)}, {df_after(DAY), df_after(DAY)},
                       {df_after(2 * DAY), df_after(2 * DAY)}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Numeraire, NoAdvanceWhenEveryRowIsAtPricingTime) {
  Contract contract({at(0, "USD"), at(0, "USD")});
  ScriptedState state;
  run_mc(contract, state);
  EXPECT_TRUE(state.advanced.empty());
}

// ---- Asset values -----------------------------------------------------------

TEST(AssetValue, StateArrayElseCurveForwardTimesNumeraireAndQuantity) {
  Contract contract({at(DAY, "EUR", "+", 3.0), at(DAY, "EUR", "+", 3.0, "B")});
  ScriptedState state;
  state.script = {answer_number(2.0)};
  Ledger curve = run_mc(contract, state);
  EXPECT_EQ(cashflow(curve, 0, 0), (Vec(2, (2.0 * 3.0) * eur_after(DAY))));

  state.arrays["EUR"] = {1.5, 2.5};
  Ledger paths = run_mc(contract, state);
  EXPECT_EQ(cashflow(paths, 1, 1), (Vec{1.5 * 6.0, 2.5 * 6.0}));
}

TEST(AssetValue, StateObjectIsAskedForEveryNameThatIsNeitherPhraseNorSnap) {
  SnapperMap snappers;
  snappers.emplace("snapper", Snapper{{"s"}, constant({{4}})});
  PhraseMap phrases;
  phrases.emplace("p", constant({{2}}, {"GBP", "s"}));
  Contract contract({at(0, "snapper"), at(0, "p", "w"), at(0, "EUR", "s")}, std::move(snappers),
                    std::move(phrases));
  ScriptedState state;
  state.arrays["GBP"] = {1};
  state.arrays["w"] = {0.5};
  run_mc(contract, state);
  EXPECT_EQ(state.asked, (std::vector<std::string>{"GBP", "w", "EUR"}));
}

// ---- Units, snappers, snaps and phrases -------------------------------------

TEST(TrackUnit, BooksTheReferencedTrackOnceWhateverTheQuantity) {
  Contract contract({at(0, "B", "+", 2.0), at(0, "B", "+", 0.0, "C"), at(0, "EUR", "+", 1.0, "B")}, {}, {},
                    {"A", "B", "C"});
  ScriptedState state;
  Ledger ledger = run_mc(contract, state, 1, 0);
  EXPECT_EQ(as_vector(ledger.values.at(0)), Vec{eur_after(0)});
  EXPECT_EQ(as_vector(ledger.values.at(2)), Vec{eur_after(0)});
}

TEST(Snapper, PairsOutputsWithNamesUpToTheShorterSide) {
  SnapperMap snappers;
  snappers.emplace("first", Snapper{{"a", "b", "c"}, constant({{1}, {2}, {3}})});
  snappers.emplace("second", Snapper{{"a", "b", "c"}, constant({{10}, {20}})});
  snappers.emplace("third", Snapper{{"a"}, constant({{100}, {200}, {300}})});
  // Snapper rows take any op, a named or null one included.
  Contract contract({at(0, "first", "w"), at(0, "second", std::nullopt), at(0, "third"), at(0, "a", "+", 1, "A"),
                     at(0, "b", "+", 1, "B"), at(0, "c", "+", 1, "C")},
                    std::move(snappers), {}, {"A", "B", "C"});
  ScriptedState state;
  Ledger ledger = run_mc(contract, state, 1, 0);
  EXPECT_EQ(as_vector(ledger.values.at(0)), Vec{100});
  EXPECT_EQ(as_vector(ledger.values.at(1)), Vec{20});
  EXPECT_EQ(as_vector(ledger.values.at(2)), Vec{3}) << "a name without an output keeps its earlier snap";
}

TEST(Phrase, RowTakesTheLastOutputScaledInputsAndWeightsDoNot) {
  PhraseMap phrases;
  phrases.emplace("p", constant({{7}, {3}}));
  phrases.emplace("twice", expression({"p"}, [](std::vector<Values> in) {
                    std::vector<Values> out;
                    out.push_back(scale(in[0], 2.0));
                    return out;
                  }));
  Contract contract({at(0, "p", "+", 5.0), at(0, "twice", "+", 1.0, "B"), at(0, "EUR", "p", 1.0, "C")}, {},
                    std::move(phrases), {"A", "B", "C"});
  ScriptedState state;
  Ledger ledger = run_mc(contract, state, 1);
  EXPECT_EQ(as_vector(ledger.values.at(0)), Vec{15});
  EXPECT_EQ(as_vector(ledger.values.at(1)), Vec{6}) << "an input phrase is not scaled";
  // weight 3 on the EUR value: 0 × (1 − 3) + eur × 3
  EXPECT_EQ(as_vector(ledger.values.at(2)), Vec{0.0 * (1.0 - 3.0) + eur_after(0) * 3.0});
  EXPECT_TRUE(state.asked == std::vector<std::string>{"EUR"}) << "a phrase hides any asset of its name";
}

TEST(Snap, HidesAnAssetOfTheSameNameAndIsCopied) {
  SnapperMap snappers;
  snappers.emplace("snapper", Snapper{{"EUR"}, constant({{4}})});
  PhraseMap phrases;
  phrases.emplace("double_eur", expression({"EUR"}, [](std::vector<Values> in) {
                    std::vector<Values> out;
                    out.push_back(scale(in[0], 2.0));
                    return out;
                  }));
  Contract contract({at(0, "snapper"), at(0, "double_eur"), at(0, "double_eur")}, std::move(snappers),
                    std::move(phrases));
  ScriptedState state;
  Ledger ledger = run_mc(contract, state, 1);
  EXPECT_EQ(as_vector(ledger.values.at(0)), Vec{16});
  EXPECT_TRUE(state.asked.empty());
}

TEST(Run, EmptyTimetableGivesAnEmptyLedgerOfTheRunLength) {
  Contract contract({});
  ScriptedState state;
  Ledger ledger = run_mc(contract, state, 5);
  EXPECT_EQ(ledger.len, 5u);
  EXPECT_TRUE(ledger.values.empty());
}

// ---- The fixed run ----------------------------------------------------------

TEST(FixedRun, BondIsTheSumOfDiscountedCashflows) {
  constexpr std::int64_t YEAR = 31536000000;
  Contract contract({at(0, "USD", "+", 1.0), at(YEAR, "USD", "+", 5.0), at(2 * YEAR, "USD", "+", 105.0)});
  auto ledger = run_fixed_model(fixed_settings(), contract);
  ASSERT_TRUE(ledger) << to_string(ledger.error());
  // Settled from the last row to the first; at PRICING_TS the scale is df(0) × quantity.
  const double expected = ((0.0 + df_after(2 * YEAR) * 105.0) + df_after(YEAR) * 5.0) + df_after(0) * 1.0;
  EXPECT_EQ(*fixed_pv(*ledger), expected);
  EXPECT_EQ(cashflow(*ledger, 0, 0), Vec{1.0});
}

TEST(FixedRun, DiscountFailureIsNotWrappedWithTheRow) {
  const std::int64_t late = 51 * 31536000000;
  Contract contract({at(late, "USD")});
  auto ledger = run_fixed_model(fixed_settings(), contract);
  ASSERT_FALSE(ledger);
  EXPECT_EQ(to_string(ledger.error()), to_string(discount_factor(flat_market(), years(late)).error()));
}

// ---- Failures of the run ----------------------------------------------------

enum class Model { Mc, Fixed };

struct FailureCase {
  const char* name;
  Model model;
  std::function<std::unique_ptr<Contract>()> contract;
  std::optional<std::size_t> row;  // wrapped with this row's description
  std::string message;
  std::function<void(ScriptedState&)> setup = [](ScriptedState&) {};
};
class RunFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(RunFailure, EndsTheRunWithItsText) {
  const FailureCase& c = GetParam();
  std::unique_ptr<Contract> contract = c.contract();
  ScriptedState state;
  c.setup(state);
  McModel model{mc_settings(3), state};
  auto ledger = c.model == Model::Mc ? run_forward_model_mc(model, *contract)
                                     : run_fixed_model(fixed_settings(), *contract);
  ASSERT_FALSE(ledger);
  std::string expected = c.message;
  if (c.row) {
    expected = "Error at event:\n  " + contract->timetable().describe_event(*c.row).value() + ", caused by \n" + expected;
  }
  EXPECT_EQ(to_string(ledger.error()), expected);
}

std::function<std::unique_ptr<Contract>()> rows(std::vector<Row> r) {
  return [r] { return std::make_unique<Contract>(r, SnapperMap{}, PhraseMap{}, std::vector<Text>{"A", "B"}); };
}
std::function<std::unique_ptr<Contract>()> with_phrases(std::vector<Row> r,
                                                        std::function<void(PhraseMap&, SnapperMap&)> fill) {
  return [r, fill] {
    PhraseMap phrases;
    SnapperMap snappers;
    fill(phrases, snappers);
    return std::make_unique<Contract>(r, std::move(snappers), std::move(phrases), std::vector<Text>{"A", "B"});
  };
}

INSTANTIATE_TEST_SUITE_P(
    Table, RunFailure,
    ::testing::Values(
        FailureCase{"null_time_mc", Model::Mc, rows({at(0, "USD"), Row{std::nullopt, "A", "+", 1, "USD"}}), 1,
                    "missing time"},
        FailureCase{"null_time_fixed", Model::Fixed, rows({Row{std::nullopt, "A", "+", 1, "USD"}}), 0,
                    "No event time"},
        FailureCase{"before_pricing_time", Model::Mc, rows({at(-1, "USD")}), 0,
                    "event time is earlier than the current time 1704067200000"},
        FailureCase{"out_of_time_order", Model::Fixed, rows({at(DAY, "USD"), at(0, "USD")}), 1,
                    "event time is earlier than the current time 1704153600000"},
        FailureCase{"null_unit_cell", Model::Mc, rows({at(0, std::nullopt)}), 0,
                    "Error in Event Specs: Missing Unit Name"},
        FailureCase{"null_unit_value", Model::Mc, rows({at(0, NULL_VALUE)}), 0, "Unknown Unit"},
        FailureCase{"snap_stored_only_later", Model::Mc,
                    with_phrases({at(0, "s"), at(0, "snapper")},
                                 [](PhraseMap&, SnapperMap& s) {
                                   s.emplace("snapper", Snapper{{"s"}, constant({{1}})});
                                 }),
                    0, "Unknown Snap 's'"},
        FailureCase{"phrase_evaluation_fails", Model::Mc,
                    with_phrases({at(0, "p")},
                                 [](PhraseMap& p, SnapperMap&) {
                                   p.emplace("p", expression({}, [](std::vector<Values>) {
                                               return std::expected<std::vector<Values>, std::string>(
                                                   std::unexpect, "ValueError: bad input");
                                             }));
                                 }),
                    0, "Error in Phrase Evaluation, caused by \nValueError: bad input"},
        FailureCase{"phrase_without_output", Model::Mc,
                    with_phrases({at(0, "p")}, [](PhraseMap& p, SnapperMap&) { p.emplace("p", constant({})); }), 0,
                    "No output from phrase"},
        FailureCase{"phrase_input_unknown", Model::Fixed,
                    with_phrases({at(0, "p")},
                                 [](PhraseMap& p, SnapperMap&) { p.emplace("p", constant({{1}}, {"XYZ"})); }),
                    0, "Asset 'XYZ' not found in snaps, expressions, or in dataset[ASSETS]"},
        FailureCase{"asset_unknown", Model::Mc, rows({at(0, "XYZ")}), 0,
                    "Asset 'XYZ' not found in snaps, expressions, or in dataset[ASSETS]"},
        FailureCase{"named_op_unknown", Model::Mc, rows({at(0, "USD", "zz")}), 0,
                    "Asset 'zz' not found in snaps, expressions, or in dataset[ASSETS]"},
        FailureCase{"get_value_raises", Model::Mc, rows({at(0, "EUR")}), 0,
                    "Error in Python method 'get_value', caused by \nKeyError: 'x'",
                    [](ScriptedState& s) {
                      s.failing["EUR"] = "Error in Python method 'get_value', caused by \nKeyError: 'x'";
                    }},
        FailureCase{"advance_raises", Model::Mc, rows({at(DAY, "USD")}), std::nullopt,
                    "Error in Python method 'advance', caused by \nRuntimeError: boom",
                    [](ScriptedState& s) {
                      s.script = {[]() -> std::expected<McStateObject::Advance, EvaluationError> {
                        return std::unexpected(EvaluationError::Message{
                            "Error in Python method 'advance', caused by \nRuntimeError: boom"});
                      }};
                    }},
        FailureCase{"settlement_reference_to_earlier_track", Model::Mc,
                    rows({at(0, "USD", "+", 1, "B"), at(0, "B")}), std::nullopt, "Track 1 not found"},
        FailureCase{"settlement_null_op", Model::Fixed, rows({at(0, "USD", std::nullopt)}), std::nullopt,
                    "Error in Op, caused by \nUnknown Op ''"},
        FailureCase{"settlement_reference_under_named_op", Model::Fixed,
                    rows({at(0, "B", "w"), at(0, "USD", "+", 1, "B")}), std::nullopt,
                    "Error in Op, caused by \nUnknown Op 'w'"},
        FailureCase{"phrase_refers_to_itself", Model::Mc,
                    with_phrases({at(0, "p")},
                                 [](PhraseMap& p, SnapperMap&) { p.emplace("p", constant({{1}}, {"p"})); }),
                    0, "Phrase 'p' depends on itself"},
        FailureCase{"phrase_cycle_through_a_weight", Model::Fixed,
                    with_phrases({at(0, "USD", "p")},
                                 [](PhraseMap& p, SnapperMap&) {
                                   p.emplace("p", constant({{1}}, {"q"}));
                                   p.emplace("q", constant({{1}}, {"EUR", "p"}));
                                 }),
                    0, "Phrase 'p' depends on itself"},
        FailureCase{"state_array_of_wrong_length", Model::Mc, rows({at(0, "EUR")}), 0,
                    "Vector lengths 3 and 2 cannot be combined", [](ScriptedState& s) { s.arrays["EUR"] = {1, 2}; }},
        FailureCase{"advance_array_of_wrong_length", Model::Mc, rows({at(DAY, "USD")}), std::nullopt,
                    "Vector lengths 3 and 2 cannot be combined",
                    [](ScriptedState& s) { s.script = {answer_array({1, 2})}; }},
        FailureCase{"phrase_output_of_wrong_length", Model::Mc,
                    with_phrases({at(0, "p")}, [](PhraseMap& p, SnapperMap&) { p.emplace("p", constant({{1, 2}})); }),
                    0, "Vector lengths 3 and 2 cannot be combined"},
        FailureCase{"snapper_output_of_wrong_length", Model::Fixed,
                    with_phrases({at(0, "snapper")},
                                 [](PhraseMap&, SnapperMap& s) {
                                   s.emplace("snapper", Snapper{{"s"}, constant({{1, 2}})});
                                 }),
                    0, "Vector lengths 1 and 2 cannot be combined"},
        FailureCase{"weight_of_wrong_length", Model::Mc, rows({at(0, "USD", "w")}), 0,
                    "Vector lengths 3 and 4 cannot be combined",
                    [](ScriptedState& s) { s.arrays["w"] = {1, 2, 3, 4}; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunFailure, EventErrorPrintsTheRowDescription) {
  Contract contract({at(0, std::nullopt, "+", 2.5)});
  ScriptedState state;
  McModel model{mc_settings(1), state};
  auto ledger = run_forward_model_mc(model, contract);
  ASSERT_FALSE(ledger);
  EXPECT_EQ(to_string(ledger.error()),
            "Error at event:\n  #0: track: Track(0), time: Single(2024-01-01T00:00:00Z), op: +, qty: 2.5, unit: "
            "<none>, caused by \nError in Event Specs: Missing Unit Name");
}

// ---- Prices -----------------------------------------------------------------

struct PriceCase {
  const char* name;
  std::optional<Vec> track0;
  double mean;
  double first;
  const char* error;  // of both prices; null when they succeed
};
class Prices : public ::testing::TestWithParam<PriceCase> {};

TEST_P(Prices, FromTrackZero) {
  Ledger ledger;
  if (GetParam().track0) ledger.values.emplace(0, Values::from(*GetParam().track0));
  auto mean = mean_pv(ledger);
  auto first = fixed_pv(ledger);
  if (GetParam().error) {
    ASSERT_FALSE(mean);
    ASSERT_FALSE(first);
    EXPECT_EQ(to_string(mean.error()), GetParam().error);
    EXPECT_EQ(to_string(first.error()), GetParam().error);
  } else {
    ASSERT_TRUE(mean && first);
    EXPECT_EQ(*mean, GetParam().mean);
    EXPECT_EQ(*first, GetParam().first);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Cases, Prices,
    ::testing::Values(PriceCase{"mean_and_first", Vec{1, 2, 6}, 3.0, 1.0, nullptr},
                      PriceCase{"eleven_paths", Vec{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 6.0, 1.0, nullptr},
                      PriceCase{"one_element", Vec{4.5}, 4.5, 4.5, nullptr},
                      PriceCase{"no_track_zero", std::nullopt, 0, 0, "Track 0 not found"},
                      PriceCase{"empty_vector", Vec{}, 0, 0, "Empty PV Vector"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vornik
