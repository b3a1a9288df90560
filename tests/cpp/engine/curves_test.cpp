// Asset curves: where a curve is defined, what it answers there, and the
// texts of its failures, on small curves whose values can be checked by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "curves/curves.h"

namespace vornik {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

Asset curve(std::vector<double> times, std::vector<double> y, AssetBase relation = AssetBase::InBase) {
  auto a = build_asset(std::move(times), std::move(y), relation);
  if (!a) throw std::runtime_error(to_string(a.error()));
  return std::move(*a);
}

// Base "USD": ZERO_RATES pillars (1.0, 0.02) and (2.0, 0.03), so y = rate × time.
AssetTable zero_rates_table() {
  AssetTable t;
  t.base = "USD";
  t.assets.emplace("USD", curve({1.0, 2.0}, {1.0 * 0.02, 2.0 * 0.03}, AssetBase::Base));
  t.assets.emplace("EQ", curve({0.0, 1.0}, {std::log(100.0), std::log(105.0)}));
  return t;
}

template <class T>
std::string error_text(const std::expected<T, ModelError>& r) {
  return r ? "<no error>" : to_string(r.error());
}

std::string out_of_range_text(const char* t) {
  return std::string("Error: Interpolation out of range at time ") + t +
         ".\n Perhaps the time range in forwards/discount data is too short.";
}

TEST(ZeroRatesCurve, ValuesAtPillarsAndBetween) {
  const AssetTable table = zero_rates_table();
  const Asset& usd = table.assets.at("USD");
  EXPECT_EQ(*curve_value(usd, 1.0), 0.02);  // a pillar is reproduced exactly
  EXPECT_DOUBLE_EQ(*curve_value(usd, 2.0), 0.06);
  EXPECT_DOUBLE_EQ(*discount_factor(table, 1.5), std::exp(-0.04));
  EXPECT_DOUBLE_EQ(*discount_rate(table, 2.0, 1.0), 0.04);
}

TEST(ZeroRatesCurve, RateOutsideCurveNamesEarlierTimeFirst) {
  EXPECT_EQ(error_text(discount_rate(zero_rates_table(), 3.0, 1.0)),
            "Error in 'discount' rate from time 1 to 3, caused by \n'" + out_of_range_text("3") + "'");
}

TEST(ZeroRatesCurve, EqualTimesDivideByZeroBeforeTheCurveIsRead) {
  // 100 lies outside the curve: the division check comes first.
  EXPECT_EQ(error_text(discount_rate(zero_rates_table(), 100.0, 100.0)),
            "Error in 'discount' rate from time 100 to 100, caused by \n'Error: Divide by zero'");
  EXPECT_EQ(error_text(asset_rate(zero_rates_table(), "EQ", 0.5, 0.5)),
            "Error in 'EQ' rate from time 0.5 to 0.5, caused by \n'Error: Divide by zero'");
}

TEST(ZeroRatesCurve, BeforeFirstPillarFollowsLineFromOrigin) {
  const AssetTable table = zero_rates_table();
  const Asset& usd = table.assets.at("USD");
  EXPECT_EQ(*curve_value(usd, 0.0), 0.0);
  EXPECT_EQ(*curve_value(usd, 0.5), (0.5 * 0.02) / 1.0);
  EXPECT_EQ(*curve_value(usd, -1.0), (-1.0 * 0.02) / 1.0);
  EXPECT_EQ(*discount_factor(table, 0.0), 1.0);
}

TEST(AssetForward, BaseIsOneEverywhereOtherAssetsExpOfCurve) {
  const AssetTable table = zero_rates_table();
  EXPECT_EQ(*asset_forward(table, "USD", 50.0), 1.0);
  EXPECT_DOUBLE_EQ(*asset_forward(table, "EQ", 0.0), 100.0);
  EXPECT_DOUBLE_EQ(*asset_forward(table, "EQ", 1.0), 105.0);
  EXPECT_EQ(error_text(asset_forward(table, "EQ", 2.0)), out_of_range_text("2"));  // not wrapped
  EXPECT_EQ(error_text(asset_forward(table, "eq", 0.0)),
            "Asset 'eq' not found in snaps, expressions, or in dataset[ASSETS]");
}

TEST(DiscountFactor, OutsideBaseCurveIsWrappedWithTheTime) {
  EXPECT_EQ(error_text(discount_factor(zero_rates_table(), 5.0)),
            "Error in 'discount factor' value at 5, caused by \n'" + out_of_range_text("5") + "'");
}

TEST(DiscountFactor, MissingBaseIsReportedUnwrapped) {
  AssetTable table = zero_rates_table();
  table.base = "EUR";
  const std::string missing = "Asset 'EUR' not found in snaps, expressions, or in dataset[ASSETS]";
  EXPECT_EQ(error_text(discount_factor(table, 0.5)), missing);
  EXPECT_EQ(error_text(discount_rate(table, 1.0, 0.5)), missing);
}

TEST(AssetRate, AverageRateOfNamedCurve) {
  const AssetTable table = zero_rates_table();
  EXPECT_DOUBLE_EQ(*asset_rate(table, "EQ", 1.0, 0.0), std::log(105.0) - std::log(100.0));
  EXPECT_EQ(error_text(asset_rate(table, "EQ", 2.0, 0.0)),
            "Error in 'EQ' rate from time 0 to 2, caused by \n'" + out_of_range_text("2") + "'");
  EXPECT_EQ(error_text(asset_rate(table, "FX", 1.0, 0.0)),
            "Asset 'FX' not found in snaps, expressions, or in dataset[ASSETS]");
}

// Where curve_value answers, by the position of the first pillar and the count.
struct RangeCase {
  const char* name;
  std::vector<double> times;
  std::vector<double> y;
  double t;
  double expected;  // NaN: OutOfRange holding t
};
class CurveRange : public ::testing::TestWithParam<RangeCase> {};
TEST_P(CurveRange, AnswersOrOutOfRange) {
  const RangeCase& c = GetParam();
  const Asset a = curve(c.times, c.y);
  auto y = curve_value(a, c.t);
  if (std::isnan(c.expected)) {
    ASSERT_FALSE(y) << "expected OutOfRange, got " << *y;
    EXPECT_EQ(to_string(y.error()), out_of_range_text(format_f64(c.t).c_str()));
  } else {
    ASSERT_TRUE(y) << to_string(y.error());
    EXPECT_DOUBLE_EQ(*y, c.expected);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Curves, CurveRange,
    ::testing::Values(RangeCase{"one_pillar_after_origin_at_pillar", {2.0}, {0.1}, 2.0, 0.1},
                      RangeCase{"one_pillar_after_origin_negative_t", {2.0}, {0.1}, -2.0, -0.1},
                      RangeCase{"one_pillar_after_origin_beyond", {2.0}, {0.1}, 2.5, NaN},
                      RangeCase{"one_pillar_at_origin", {0.0}, {0.1}, 0.0, NaN},
                      RangeCase{"one_pillar_before_origin", {-1.0}, {0.1}, -1.0, NaN},
                      RangeCase{"first_pillar_at_origin_before", {0.0, 1.0}, {0.0, 0.1}, -0.5, NaN},
                      RangeCase{"first_pillar_at_origin_inside", {0.0, 1.0}, {0.0, 0.1}, 0.5, 0.05},
                      RangeCase{"first_pillar_before_origin", {-1.0, 1.0}, {0.2, 0.0}, -1.0, 0.2},
                      RangeCase{"beyond_last_pillar", {0.0, 1.0}, {0.0, 0.1}, 1.0000001, NaN},
                      RangeCase{"nan_time", {0.0, 1.0}, {0.0, 0.1}, NaN, NaN},
                      RangeCase{"nan_time_first_pillar_after_origin", {1.0, 2.0}, {0.0, 0.1}, NaN, NaN}),
    [](const auto& info) { return std::string(info.param.name); });

struct IndexCase {
  std::vector<double> x;
  double t;
  std::size_t expected;
};
class LowerIndex : public ::testing::TestWithParam<IndexCase> {};
TEST_P(LowerIndex, FindsIntervalStartingAtOrBeforeT) {
  const IndexCase& c = GetParam();
  auto f = build_interpolator(c.x, std::vector<double>(c.x.size(), 0.0), false);
  ASSERT_TRUE(f);
  EXPECT_EQ(lower_index(*f, c.t), c.expected) << "t = " << c.t;
  for (std::size_t start = 0; start + 1 < c.x.size(); ++start) {
    std::size_t hint = start;
    EXPECT_EQ(lower_index(*f, c.t, hint), c.expected) << "t = " << c.t << ", hint " << start;
    EXPECT_EQ(hint, c.expected);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Pillars, LowerIndex,
    ::testing::Values(IndexCase{{0, 1, 2, 3}, 1.0, 1}, IndexCase{{0, 1, 2, 3}, 2.5, 2}, IndexCase{{0, 1, 2, 3}, 3.0, 2},
                      IndexCase{{0, 1, 2, 3}, 0.0, 0}, IndexCase{{0, 1, 2, 3}, -1.0, 0},
                      IndexCase{{0, 1, 2, 3}, 4.0, 2}, IndexCase{{0, 1, 2, 3}, 0.999, 0},
                      // the guess lands left of t: binary search above it
                      IndexCase{{0, 0.1, 0.2, 10}, 5.0, 2}, IndexCase{{0, 0.1, 0.2, 0.3, 10}, 0.25, 2},
                      // the guess lands right of t: binary search below it
                      IndexCase{{0, 9.8, 9.9, 10}, 5.0, 0}, IndexCase{{0, 9.7, 9.8, 9.9, 10}, 9.85, 2},
                      // the guess rounds onto the last pillar
                      IndexCase{{0, 1, 1.76}, 1.7599999999999998, 1}));

TEST(LowerIndex, AgreesWithLinearScanOnUnevenPillars) {
  std::vector<double> x;
  for (int k = 0; k < 40; ++k) x.push_back(k * k * 0.01 - 3.0);  // ever wider intervals
  auto f = build_interpolator(x, std::vector<double>(x.size(), 0.0), false);
  ASSERT_TRUE(f);
  std::size_t hint = 0;  // carried along, as a run reads a curve at rising times
  for (int s = 0; s <= 1000; ++s) {
    const double t = x.front() + (x.back() - x.front()) * s / 1000.0;
    std::size_t scan = 0;
    while (scan + 2 < x.size() && x[scan + 1] <= t) ++scan;
    ASSERT_EQ(lower_index(*f, t), scan) << "t = " << t;
    ASSERT_EQ(lower_index(*f, t, hint), scan) << "t = " << t << " read on from the last interval";
  }
  for (std::size_t k = 0; k + 1 < x.size(); ++k) ASSERT_EQ(lower_index(*f, x[k]), k) << "at pillar " << k;
}

TEST(Interpolate, ReproducesInteriorPillarsAndLinearBetween) {
  auto f = build_interpolator({0.0, 0.5, 2.0}, {1.0, 0.3, 0.9}, false);
  ASSERT_TRUE(f);
  EXPECT_EQ(interpolate(*f, 0.5), 0.3);
  EXPECT_DOUBLE_EQ(interpolate(*f, 1.25), 0.6);
  EXPECT_DOUBLE_EQ(interpolate(*f, 2.0), 0.9);
}

constexpr const char* NOT_RISING = "Values in the x axis need to be strictly monotonic rising";

struct BuildCase {
  const char* name;
  std::vector<double> x;
  std::vector<double> data;
  const char* message;  // nullptr: accepted
};
class BuildInterpolator : public ::testing::TestWithParam<BuildCase> {};
TEST_P(BuildInterpolator, ChecksInOrder) {
  const BuildCase& c = GetParam();
  auto f = build_interpolator(c.x, c.data, false);
  if (c.message == nullptr) {
    EXPECT_TRUE(f) << f.error();
  } else {
    ASSERT_FALSE(f) << "expected: " << c.message;
    EXPECT_EQ(f.error(), c.message);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Checks, BuildInterpolator,
    ::testing::Values(
        BuildCase{"two_points", {0, 1}, {1, 2}, nullptr},
        BuildCase{"one_point", {0}, {1}, "The chosen Interpolation strategy needs at least 2 data points"},
        BuildCase{"count_before_order", {1, 0}, {1}, "The chosen Interpolation strategy needs at least 2 data points"},
        BuildCase{"equal_pair", {1, 1}, {1, 2}, NOT_RISING},
        BuildCase{"falling", {2, 1}, {1, 2}, NOT_RISING},
        BuildCase{"nan_time", {0, NaN, 2}, {1, 2, 3}, NOT_RISING},
        BuildCase{"order_before_lengths", {1, 0, 2}, {1, 2}, NOT_RISING},
        BuildCase{"lengths", {0, 1, 2}, {1, 2}, "Lengths of x and data axis need to match. Got x: 3, data: 2"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuildAsset, OnePillarKeepsOnlyFirstPillar) {
  auto a = build_asset({0.5}, {0.01}, AssetBase::Base);
  ASSERT_TRUE(a);
  EXPECT_FALSE(a->interpolator.has_value());
  EXPECT_EQ(a->t1, 0.5);
  EXPECT_EQ(a->y1, 0.01);
  EXPECT_EQ(a->relation, AssetBase::Base);
}

TEST(BuildAsset, RefusalIsBuilderError) {
  EXPECT_EQ(error_text(build_asset({1.0, 1.0}, {0.0, 0.0}, AssetBase::InBase)),
            "BuilderError Values in the x axis need to be strictly monotonic rising");
}

TEST(YearFraction, ExactForEveryPairOfTimes) {
  EXPECT_EQ(year_fraction(31536000000, 0), 1.0);
  EXPECT_EQ(year_fraction(0, 31536000000 / 10), -0.1);
  // The difference does not fit 64 bits: still about +584.9 years, not a wrapped value.
  EXPECT_NEAR(year_fraction(INT64_MAX, INT64_MIN), 18446744073709551615.0 / 31536000000.0, 1e-9);
  EXPECT_LT(year_fraction(INT64_MIN, INT64_MAX), -584.0);
}

}  // namespace
}  // namespace vornik
