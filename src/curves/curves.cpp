// Evaluation of the asset curves: the value y(t) of a curve, forwards,
// discount factors and average rates, and the linear interpolator under them.
// Each formula keeps its grouping; -ffp-contract=off keeps it unfused.
#include "curves/curves.h"

#include <cmath>
#include <utility>

namespace vornik {

std::expected<LinearInterpolator, std::string> build_interpolator(std::vector<double> x, std::vector<double> data,
                                                                  bool extrapolate) {
  constexpr std::size_t min_points = 2;
  if (data.size() < min_points)
    return std::unexpected(fmt::format("The chosen Interpolation strategy needs at least {} data points", min_points));
  for (std::size_t k = 0; k + 1 < x.size(); ++k) {
    // Negated, so that a NaN fails as well.
    if (!(x[k] < x[k + 1]))
      return std::unexpected(std::string("Values in the x axis need to be strictly monotonic rising"));
  }
  if (x.size() != data.size())
    return std::unexpected(
        fmt::format("Lengths of x and data axis need to match. Got x: {}, data: {}", x.size(), data.size()));
  return LinearInterpolator{std::move(x), std::move(data), extrapolate};
}

std::size_t lower_index(const LinearInterpolator& f, double t) {
  const std::vector<double>& x = f.x;
  const std::size_t n = x.size();
  if (t <= x[0]) return 0;
  if (t >= x[n - 1]) return n - 2;
  const double guess = (t - x[0]) * (static_cast<double>(n - 1) / (x[n - 1] - x[0]));
  // Rounding can carry the guess onto the last pillar, and a NaN t has no
  // guess at all; both start from the last interval instead.
  const std::size_t g = guess < static_cast<double>(n - 2) ? static_cast<std::size_t>(guess) : n - 2;
  if (x[g] <= t && t < x[g + 1]) return g;
  std::size_t low = 0;
  std::size_t high = g;
  if (x[g] <= t) {
    low = g;
    high = n - 1;
  }
  while (low + 1 < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (x[mid] <= t) {
      low = mid;
    } else {
      high = mid;
    }
  }
  return low;
}

namespace {

double interpolate_at(const LinearInterpolator& f, std::size_t i, double t) {
  const std::vector<double>& x = f.x;
  const std::vector<double>& data = f.data;
  return data[i] + ((data[i + 1] - data[i]) / (x[i + 1] - x[i])) * (t - x[i]);
}

// curve_value with the interpolation's search started at `interval`. Inline
// in the forward and the discount factor, which the fixed run asks per row.
[[gnu::always_inline]] inline std::expected<double, ModelError> curve_value(const Asset& asset, double t,
                                                                            std::size_t& interval) {
  // Before the first pillar: the straight line from the origin through it.
  if (asset.t1 > 0.0 && t <= asset.t1) return (t * asset.y1) / asset.t1;
  if (!asset.interpolator) return std::unexpected(ModelError::OutOfRange{t});
  const LinearInterpolator& f = *asset.interpolator;
  if (!(f.x.front() <= t) || !(t <= f.x.back())) return std::unexpected(ModelError::OutOfRange{t});
  return interpolate_at(f, lower_index(f, t, interval), t);
}

}  // namespace

double interpolate(const LinearInterpolator& f, double t) { return interpolate_at(f, lower_index(f, t), t); }

std::expected<Asset, ModelError> build_asset(std::vector<double> times, std::vector<double> y, AssetBase relation) {
  if (times.empty() || y.empty()) throw Panic("an asset curve needs at least one pillar");
  Asset asset{.relation = relation, .interpolator = std::nullopt, .t1 = times[0], .y1 = y[0]};
  if (times.size() >= 2) {
    auto f = build_interpolator(std::move(times), std::move(y), false);
    if (!f) return std::unexpected(ModelError::BuilderError{std::move(f).error()});
    asset.interpolator = std::move(*f);
  }
  return asset;
}

std::expected<const Asset*, ModelError> find_asset(const AssetTable& table, std::string_view name) {
  auto it = table.assets.find(name);
  if (it == table.assets.end()) return std::unexpected(ModelError::AssetNotFound{std::string(name)});
  return &it->second;
}

std::expected<double, ModelError> curve_value(const Asset& asset, double t) {
  std::size_t interval = 0;
  return curve_value(asset, t, interval);
}

std::expected<double, ModelError> asset_forward(const AssetTable& table, std::string_view name, double t) {
  CurveReader curve{VK_TRY(find_asset(table, name))};
  return asset_forward(curve, t);
}

std::expected<double, ModelError> in_base_forward(CurveReader& curve, double t) {
  const double y = VK_TRY(curve_value(*curve.asset, t, curve.interval));
  return std::exp(y);
}

std::expected<double, ModelError> discount_factor(const AssetTable& table, double t) {
  CurveReader base{VK_TRY(find_asset(table, table.base))};
  return discount_factor(base, t);
}

std::expected<double, ModelError> discount_factor(CurveReader& base, double t) {
  auto y = curve_value(*base.asset, t, base.interval);
  if (!y) [[unlikely]] return std::unexpected(wrap_value_error("discount factor", t, std::move(y).error()));
  return std::exp(-*y);
}

std::expected<double, ModelError> curve_rate(const Asset& asset, double t1, double t2) {
  if (t1 == t2) return std::unexpected(ModelError::DivideByZero{});
  const double ya = VK_TRY(curve_value(asset, t1));
  const double yb = VK_TRY(curve_value(asset, t2));
  return (ya - yb) / (t1 - t2);
}

namespace {
std::expected<double, ModelError> wrapped_rate(const Asset& asset, std::string_view name, double t1, double t2) {
  auto rate = curve_rate(asset, t1, t2);
  if (!rate) return std::unexpected(wrap_rate_error(name, t1, t2, std::move(rate).error()));
  return *rate;
}
}  // namespace

std::expected<double, ModelError> discount_rate(const AssetTable& table, double t1, double t2) {
  const Asset* asset = VK_TRY(find_asset(table, table.base));
  return wrapped_rate(*asset, "discount", t1, t2);
}

std::expected<double, ModelError> asset_rate(const AssetTable& table, std::string_view name, double t1, double t2) {
  const Asset* asset = VK_TRY(find_asset(table, name));
  return wrapped_rate(*asset, name, t1, t2);
}

ModelError wrap_rate_error(std::string_view name, double t1, double t2, ModelError cause) {
  return ModelError::RateContext{std::string(name), t2, t1, std::make_unique<ModelError>(std::move(cause))};
}

ModelError wrap_value_error(std::string_view name, double t, ModelError cause) {
  return ModelError::ValueContext{std::string(name), t, std::make_unique<ModelError>(std::move(cause))};
}

}  // namespace vornik
