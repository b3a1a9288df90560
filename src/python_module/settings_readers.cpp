// The settings record of each pricing entry, read key by key in a fixed order
// that decides which failure the caller sees first. The finite-difference
// limits are refused here, where the key is named, rather than in the run.
#include "python_module/settings_readers.h"

#include <cmath>
#include <limits>
#include <string_view>

#include "python_module/pyutils.h"

namespace vornik {

namespace {

constexpr std::uint64_t MAX_FLAGS = 15;

// Keys read here, interned once per process.
namespace key {
constinit Key FLAGS("FLAGS");
constinit Key MC("MC");
constinit Key PATHS("PATHS");
constinit Key SEED("SEED");
constinit Key PRICING_TS("PRICING_TS");
constinit Key FIXED("FIXED");
constinit Key FD("FD");
constinit Key N_X("N_X");
constinit Key MAX_X("MAX_X");
constinit Key TIMESTEP("TIMESTEP");
constinit Key HW("HW");
constinit Key MEANREV("MEANREV");
constinit Key VOL("VOL");
constinit Key BS("BS");
constinit Key ASSET("ASSET");
}  // namespace key

DatasetError invalid_value(std::string_view key, std::string value) {
  return DatasetError::InvalidValue{std::string(key), std::move(value)};
}

}  // namespace

std::expected<std::uint32_t, DatasetError> read_flags(PyObject* settings) {
  PyRef value = VK_TRY(lookup_optional(settings, key::FLAGS));
  if (!value) return 0u;
  auto flags = to_u64(value.get());
  if (!flags) return std::unexpected(wrong_type("FLAGS", std::move(flags).error()));
  if (*flags > std::numeric_limits<std::uint32_t>::max())
    return std::unexpected(
        DatasetError::WrongType{"FLAGS", "OverflowError: Python int too large to convert to C unsigned int"});
  if (*flags > MAX_FLAGS) return std::unexpected(DatasetError::Message{"Invalid bits set in FLAG"});
  return static_cast<std::uint32_t>(*flags);
}

std::expected<McSettings, DatasetError> read_mc_settings(PyObject* dataset) {
  McSettings s;
  s.assets = VK_TRY(read_assets(dataset));
  PyRef mc = VK_TRY(get_dict(dataset, key::MC));
  s.paths = VK_TRY(get_u64(mc.get(), key::PATHS));
  s.seed = VK_TRY(get_u64(mc.get(), key::SEED));
  s.flags = VK_TRY(read_flags(mc.get()));
  s.pricing_ts = VK_TRY(get_i64(dataset, key::PRICING_TS));
  return s;
}

std::expected<FixedSettings, DatasetError> read_fixed_settings(PyObject* dataset) {
  FixedSettings s;
  s.assets = VK_TRY(read_assets(dataset));
  s.pricing_ts = VK_TRY(get_i64(dataset, key::PRICING_TS));
  // FIXED is optional: any failure to read it as a dict means no flags,
  // unless the caller's own exception (Ctrl-C) ended the lookup.
  if (auto fixed = get_dict(dataset, key::FIXED)) {
    s.flags = VK_TRY(read_flags(fixed->get()));
  } else if (holds_callers_exception(fixed.error())) {
    return std::unexpected(std::move(fixed).error());
  }
  return s;
}

std::expected<FdSettings, DatasetError> read_fd_settings(PyObject* dataset) {
  FdSettings s;
  s.assets = VK_TRY(read_assets(dataset));
  PyRef fd = VK_TRY(get_dict(dataset, key::FD));

  // The grid needs a centre and two sides, and 2 N_X + 1 points must count.
  s.n_x = VK_TRY(get_u64(fd.get(), key::N_X));
  if (s.n_x == 0 || s.n_x > (std::numeric_limits<std::uint64_t>::max() - 1) / 2)
    return std::unexpected(invalid_value("N_X", fmt::format("{}", s.n_x)));

  // The spacing MAX_X / N_X divides the diffusion term.
  s.max_x = VK_TRY(get_f64(fd.get(), key::MAX_X));
  if (!(s.max_x > 0.0) || !std::isfinite(s.max_x)) return std::unexpected(invalid_value("MAX_X", format_f64(s.max_x)));

  // The roll-back clock moves by whole milliseconds and a step below one never
  // ends; a step beyond the clock's range saturates, so +inf rolls row to row.
  s.timestep = VK_TRY(get_f64(fd.get(), key::TIMESTEP));
  if (!(s.timestep * MS_PER_YEAR >= 1.0)) return std::unexpected(invalid_value("TIMESTEP", format_f64(s.timestep)));

  s.flags = VK_TRY(read_flags(fd.get()));
  s.grid_size = 2 * s.n_x + 1;
  s.pricing_ts = VK_TRY(get_i64(dataset, key::PRICING_TS));
  return s;
}

std::expected<HwSettings, DatasetError> read_hw_settings(PyObject* dataset) {
  HwSettings s;
  s.fd = VK_TRY(read_fd_settings(dataset));
  PyRef hw = VK_TRY(get_dict(dataset, key::HW));
  // The drift shift divides by twice the square of the mean reversion.
  s.meanrev = VK_TRY(get_f64(hw.get(), key::MEANREV));
  if (s.meanrev == 0.0) return std::unexpected(invalid_value("MEANREV", format_f64(s.meanrev)));
  s.vol = VK_TRY(get_f64(hw.get(), key::VOL));
  return s;
}

std::expected<BsSettings, DatasetError> read_bs_settings(PyObject* dataset) {
  BsSettings s;
  s.fd = VK_TRY(read_fd_settings(dataset));
  PyRef bs = VK_TRY(get_dict(dataset, key::BS));
  s.vol = VK_TRY(get_f64(bs.get(), key::VOL));
  s.asset = VK_TRY(get_string(bs.get(), key::ASSET));
  return s;
}

}  // namespace vornik
