// Market data of one call: the base asset and one curve per asset, with the
// forwards, discount factors and average rates the runs evaluate on them.
// Every formula keeps its grouping so that results reproduce to the bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "timetable/errors.h"
#include "timetable/string_map.h"

namespace vornik {

// Milliseconds of a 365-day year: model times are year fractions.
inline constexpr double MS_PER_YEAR = 31536000000.0;

// (t − from) / MS_PER_YEAR. The difference is taken exactly, so that no pair
// of 64-bit times overflows; where it fits 64 bits the result is the same,
// and the 64-bit conversion is the cheap one.
inline double year_fraction(std::int64_t t, std::int64_t from) {
  std::int64_t d = 0;
  if (!__builtin_sub_overflow(t, from, &d)) return static_cast<double>(d) / MS_PER_YEAR;
  return static_cast<double>(static_cast<__int128>(t) - from) / MS_PER_YEAR;
}

struct LinearInterpolator {
  std::vector<double> x;     // pillar times, strictly rising, at least two
  std::vector<double> data;  // y at each pillar
  bool extrapolate = false;
};

// The builder's refusal carries its message text.
std::expected<LinearInterpolator, std::string> build_interpolator(std::vector<double> x, std::vector<double> data,
                                                                  bool extrapolate);
std::size_t lower_index(const LinearInterpolator& f, double t);
// The same, trying first the interval `hint` and the one after it, where a
// run whose times never go back finds its next time; hint becomes the result.
// Inline: a fixed run reads a curve at most rows.
inline std::size_t lower_index(const LinearInterpolator& f, double t, std::size_t& hint) {
  const std::vector<double>& x = f.x;
  // An interval [x[i], x[i+1]) that holds t is the one the search returns;
  // x[n-1] itself, which no such interval holds, is left to the search.
  for (std::size_t i = hint; i <= hint + 1 && i + 1 < x.size(); ++i) {
    if (x[i] <= t && t < x[i + 1]) return hint = i;
  }
  return hint = lower_index(f, t);
}
double interpolate(const LinearInterpolator& f, double t);

enum class AssetBase { Base, InBase };

struct Asset {
  AssetBase relation = AssetBase::InBase;
  std::optional<LinearInterpolator> interpolator;  // two or more pillars
  double t1 = 0.0;                                 // first pillar time
  double y1 = 0.0;                                 // first pillar's derived value
};

struct AssetTable {
  std::string base;
  StringMap<Asset> assets;
};

// times and y of equal length, at least one pillar.
std::expected<Asset, ModelError> build_asset(std::vector<double> times, std::vector<double> y, AssetBase relation);

std::expected<const Asset*, ModelError> find_asset(const AssetTable& table, std::string_view name);
std::expected<double, ModelError> curve_value(const Asset& asset, double t);
std::expected<double, ModelError> asset_forward(const AssetTable& table, std::string_view name, double t);
std::expected<double, ModelError> discount_factor(const AssetTable& table, double t);

// An asset found once and read at times that never go back: each reading
// starts its search at the interval of the one before.
struct CurveReader {
  const Asset* asset = nullptr;
  std::size_t interval = 0;
};
// exp(y(t)) of an InBase asset's curve.
std::expected<double, ModelError> in_base_forward(CurveReader& curve, double t);
// Inline: the base asset's forward is 1.0 and reads no curve.
inline std::expected<double, ModelError> asset_forward(CurveReader& curve, double t) {
  if (curve.asset->relation == AssetBase::Base) return 1.0;
  return in_base_forward(curve, t);
}
std::expected<double, ModelError> discount_factor(CurveReader& base, double t);
std::expected<double, ModelError> curve_rate(const Asset& asset, double t1, double t2);
std::expected<double, ModelError> discount_rate(const AssetTable& table, double t1, double t2);
std::expected<double, ModelError> asset_rate(const AssetTable& table, std::string_view name, double t1, double t2);

// RateContext with from = t2 and to = t1; ValueContext at t.
ModelError wrap_rate_error(std::string_view name, double t1, double t2, ModelError cause);
ModelError wrap_value_error(std::string_view name, double t, ModelError cause);

}  // namespace vornik
