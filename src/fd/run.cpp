// The Hull-White and Black-Scholes runs share one walk over the rows; they
// differ in the state they start from, the operator of a roll and the value
// of an asset row, chosen here by overloads on the settings record.
#include "fd/run.h"

#include <cmath>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "timetable/interrupt.h"

namespace vornik {

namespace {

constexpr double MIN_ROLL_YEARS = 1e-10;

// Work for the interrupt poll, in units of about a nanosecond: a roll that
// changes nothing; a roll, plus per grid point its operator and each rolled
// vector; a booked row, plus per grid point.
constexpr std::uint64_t NO_ROLL_WORK = 10;
constexpr std::uint64_t ROLL_WORK = 200;
constexpr std::uint64_t OPERATOR_POINT_WORK = 10;
constexpr std::uint64_t VECTOR_POINT_WORK = 2;
constexpr std::uint64_t ROW_WORK = 200;
constexpr std::uint64_t TIME_WORK = 2;  // a row's time checked

std::int64_t saturating_sub(std::int64_t t, std::int64_t step) {
  return t < std::numeric_limits<std::int64_t>::min() + step ? std::numeric_limits<std::int64_t>::min() : t - step;
}

EvaluationError invalid_setting(std::string_view key, std::string value) {
  return EvaluationError::Message{fmt::format("Invalid value '{}' for key '{}'", value, key)};
}

// The dataset readers refuse these already; settings handed to a run
// directly must still not send it out of the grid or into an endless walk.
std::expected<void, EvaluationError> check_fd_settings(const FdSettings& fd) {
  if (fd.n_x == 0) return std::unexpected(invalid_setting("N_X", "0"));
  if (!(fd.max_x > 0.0) || !std::isfinite(fd.max_x))
    return std::unexpected(invalid_setting("MAX_X", format_f64(fd.max_x)));
  if (fd_step_ms(fd.timestep) < 1) return std::unexpected(invalid_setting("TIMESTEP", format_f64(fd.timestep)));
  return {};
}
std::expected<void, EvaluationError> check_settings(const HwSettings& s) {
  VK_CHECK(check_fd_settings(s.fd));
  if (s.meanrev == 0.0) return std::unexpected(invalid_setting("MEANREV", format_f64(s.meanrev)));
  return {};
}
std::expected<void, EvaluationError> check_settings(const BsSettings& s) { return check_fd_settings(s.fd); }

auto build_state(const HwSettings& s, const Timetable& timetable) { return build_hw_fd_state(s, timetable); }
auto build_state(const BsSettings& s, const Timetable& timetable) { return build_bs_fd_state(s, timetable); }

auto step_operator(const HwSettings& s, const FdState& state, std::int64_t target) {
  return hw_step_operator(s, state, target);
}
auto step_operator(const BsSettings& s, const FdState& state, std::int64_t target) {
  return bs_step_operator(s, state, target);
}

// An Asset row: its forward at te under Hull-White, one value for the grid.
std::expected<Values, EvaluationError> asset_value(const HwSettings& s, const FdState&, std::string_view name,
                                                   double q, std::int64_t te) {
  const double F = VK_TRY(asset_forward(s.fd.assets, name, year_fraction(te, s.fd.pricing_ts)));
  return Values::of({q * F});
}
// ... and under Black-Scholes the price over the grid for the settings' asset.
std::expected<Values, EvaluationError> asset_value(const BsSettings& s, const FdState& state, std::string_view name,
                                                   double q, std::int64_t te) {
  return input_value_array(s, state, Values::of({q}), name, te);
}

template <class Settings>
std::expected<void, EvaluationError> roll(const Settings& settings, FdState& state, std::int64_t target,
                                          InterruptPoll& poll) {
  if (year_fraction(state.time, target) < MIN_ROLL_YEARS) return poll.spend(NO_ROLL_WORK);
  const StepOperator op = VK_TRY(step_operator(settings, state, target));
  std::vector<std::span<double>> vectors;
  vectors.reserve(state.ledger.values.size());
  for (auto& entry : state.ledger.values) vectors.push_back(entry.second.span());
  Values scratch;
  roll_values(op, vectors, scratch);
  state.time = target;
  return poll.spend(ROLL_WORK + state.size * (OPERATOR_POINT_WORK + VECTOR_POINT_WORK * vectors.size()));
}

template <class Settings>
std::expected<Values, EvaluationError> event_value(const Settings& settings, const FdState& state,
                                                   const Timetable& timetable, std::size_t row, std::int64_t te) {
  const double q = timetable.quantity_at(row);
  const Unit* found = VK_TRY(timetable.unit_at(row));
  if (found == nullptr) return std::unexpected(EvaluationError::EventSpecs{"Missing Unit Name"});
  const Unit& unit = *found;
  switch (unit.kind) {
    case Unit::Kind::Track: {
      const Values* booked = VK_TRY(get_track_value(state.ledger.values, unit.track));
      return scale(*booked, q);
    }
    case Unit::Kind::Asset:
      return asset_value(settings, state, unit.name, q, te);
    case Unit::Kind::NoUnit:
      return std::unexpected(EvaluationError::EventSpecs{"Unknown Unit"});
    case Unit::Kind::Snapper:
      return std::unexpected(EvaluationError::NotImplemented{fmt::format("Snapper in FD: {}", unit.name)});
    case Unit::Kind::Snap:
      return std::unexpected(EvaluationError::NotImplemented{fmt::format("Snap in FD: {}", unit.name)});
    case Unit::Kind::Phrase:
      return std::unexpected(EvaluationError::NotImplemented{fmt::format("Phrase in FD: {}", unit.name)});
  }
  throw Panic("a unit of no known kind");
}

template <class Settings>
std::expected<void, EvaluationError> book_row(const Settings& settings, FdState& state, const Timetable& timetable,
                                              std::size_t row, std::int64_t te) {
  Values value = VK_TRY(event_value(settings, state, timetable, row, te));
  return book_fd_event_value(settings.fd, state, timetable, row, std::move(value));
}

// Roll errors end the run as they are; a row's own errors carry the row.
template <class Settings>
std::expected<Ledger, EvaluationError> run_fd(const Settings& settings, const Timetable& timetable) {
  VK_CHECK(check_settings(settings));
  const std::int64_t step = fd_step_ms(settings.fd.timestep);
  FdState state = VK_TRY(build_state(settings, timetable));
  // The walk below rolls back from row to row: the rows must run forward in
  // time from PRICING_TS, as the forward runs require.
  InterruptPoll poll;
  std::int64_t clock = settings.fd.pricing_ts;
  for (std::size_t i = 0; i < timetable.rows(); ++i) {
    clock = VK_TRY(event_time_at(timetable, i, clock, "No event time"));
    VK_CHECK(poll.spend(TIME_WORK));
  }
  if (settings.fd.flags & FLAG_CASHFLOW) VK_CHECK(expect_cashflows(state.ledger, timetable));
  // Grid times are the last row's time minus whole steps, whatever the rows between.
  std::int64_t t = saturating_sub(state.time, step);
  for (std::size_t i = timetable.rows(); i-- > 0;) {
    const std::int64_t te = timetable.time_at(i);
    for (; t > te; t = saturating_sub(t, step)) VK_CHECK(roll(settings, state, t, poll));
    VK_CHECK(roll(settings, state, te, poll));
    auto booked = book_row(settings, state, timetable, i, te);
    if (!booked && interrupted(booked.error())) return std::unexpected(std::move(booked).error());
    if (!booked) return std::unexpected(event_error(timetable, i, to_string(booked.error())));
    VK_CHECK(poll.spend(ROW_WORK + state.size));
  }
  const std::int64_t pricing_ts = settings.fd.pricing_ts;
  for (; t > pricing_ts; t = saturating_sub(t, step)) VK_CHECK(roll(settings, state, t, poll));
  VK_CHECK(roll(settings, state, pricing_ts, poll));
  return into_ledger(std::move(state));
}

}  // namespace

std::int64_t fd_step_ms(double timestep) {
  const double ms = timestep * MS_PER_YEAR;
  if (std::isnan(ms)) return 0;
  // 2^63: the first double beyond the range.
  if (ms >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
  if (ms <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ms);
}

std::expected<void, EvaluationError> roll_grid(const HwSettings& settings, FdState& state, std::int64_t target) {
  InterruptPoll poll;
  return roll(settings, state, target, poll);
}
std::expected<void, EvaluationError> roll_grid(const BsSettings& settings, FdState& state, std::int64_t target) {
  InterruptPoll poll;
  return roll(settings, state, target, poll);
}

std::expected<void, EvaluationError> book_fd_event_value(const FdSettings& settings, FdState& state,
                                                         const Timetable& timetable, std::size_t row, Values value) {
  const Op* op = VK_TRY(timetable.op_at(row));
  const std::uint64_t track = VK_TRY(timetable.track_at(row));
  VK_CHECK(book_event_value(state.ledger, *op, track, std::move(value), row, settings.flags));
  return {};
}

std::expected<Ledger, EvaluationError> run_fd_hullwhite(const HwSettings& settings, const Timetable& timetable) {
  return run_fd(settings, timetable);
}
std::expected<Ledger, EvaluationError> run_fd_blackscholes(const BsSettings& settings, const Timetable& timetable) {
  return run_fd(settings, timetable);
}

std::expected<double, EvaluationError> fd_price(const FdSettings& settings, const Ledger& ledger) {
  const Values* values = VK_TRY(get_track_value(ledger.values, 0));
  if (settings.n_x >= values->size()) throw Panic("the grid centre lies beyond track 0's vector");
  return (*values)[settings.n_x];
}

}  // namespace vornik
