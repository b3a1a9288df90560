// The Timetable's row accessors, the one-line description of an event with
// its UTC calendar text, and the assembly of a Timetable from its columns.
// The calendar is written out here: years beyond 9999 and before 0 must print.
#include "timetable/timetable.h"

#include <fmt/format.h>

namespace vornik {

namespace {

// Years that the calendar text covers; other times print as "None".
constexpr std::int64_t MIN_YEAR = -262143;
constexpr std::int64_t MAX_YEAR = 262142;

// Floor division and its remainder in [0, d).
struct FloorDiv {
  std::int64_t quot;
  std::int64_t rem;
};
constexpr FloorDiv floor_div(std::int64_t n, std::int64_t d) {
  std::int64_t q = n / d;
  std::int64_t r = n % d;
  if (r < 0) {
    q -= 1;
    r += d;
  }
  return {q, r};
}

struct CivilDate {
  std::int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Proleptic Gregorian date of a day count from 1970-01-01, by 400-year eras.
constexpr CivilDate civil_from_days(std::int64_t days) {
  const std::int64_t z = days + 719468;  // days from 0000-03-01
  const std::int64_t era = floor_div(z, 146097).quot;
  const std::int64_t doe = z - era * 146097;                                   // [0, 146096]
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);             // [0, 365], from March
  const std::int64_t mp = (5 * doy + 2) / 153;                                  // [0, 11], March first
  const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

std::string format_year(std::int64_t year) {
  if (year >= 0 && year <= 9999) return fmt::format("{:04}", year);
  return fmt::format("{:+05}", year);
}

std::expected<const Snapper*, SpecError> missing_snapper(std::string_view name) {
  return std::unexpected(SpecError::Message{fmt::format("Snapper '{}' not found", name)});
}

}  // namespace

std::string format_event_time(std::int64_t ms) {
  const auto [seconds, millis] = floor_div(ms, 1000);
  const auto [days, second_of_day] = floor_div(seconds, 86400);
  const CivilDate date = civil_from_days(days);
  if (date.year < MIN_YEAR || date.year > MAX_YEAR) return "None";
  const std::int64_t hour = second_of_day / 3600;
  const std::int64_t minute = second_of_day / 60 % 60;
  const std::int64_t second = second_of_day % 60;
  std::string fraction = millis != 0 ? fmt::format(".{:03}", millis) : std::string();
  return fmt::format("Single({}-{:02}-{:02}T{:02}:{:02}:{:02}{}Z)", format_year(date.year), date.month, date.day,
                     hour, minute, second, fraction);
}

SpecError no_track_error(std::size_t row) {
  return SpecError::Message{fmt::format("No track specified at event#{}", row)};
}

std::expected<std::string, SpecError> Timetable::unit_text_at(std::size_t row) const {
  const Unit* unit = VK_TRY(unit_at(row));
  if (unit == nullptr) return "<none>";
  return unit->display();
}

std::expected<std::string, SpecError> Timetable::describe_event(std::size_t row) const {
  const std::uint64_t track = VK_TRY(columns.track.key_at(row));
  const std::string track_text = track != DictColumn::NULL_KEY ? fmt::format("Track({})", track) : std::string("<none>");
  const Op* op = VK_TRY(op_at(row));
  const std::string unit = VK_TRY(unit_text_at(row));
  return fmt::format("#{}: track: {}, time: {}, op: {}, qty: {}, unit: {}", row, track_text,
                     format_event_time(time_at(row)), op->display(), F64{quantity_at(row)}, unit);
}

std::expected<const Snapper*, SpecError> Timetable::find_snapper(std::string_view name) const {
  const auto it = snappers.find(name);
  if (it == snappers.end()) return missing_snapper(name);
  return &it->second;
}

const Expression* Timetable::find_phrase(std::string_view name) const {
  const auto it = phrases.find(name);
  return it == phrases.end() ? nullptr : it->second.get();
}

std::expected<Timetable, SpecError> timetable_from_columns(TimetableColumns columns, SnapperMap snappers,
                                                           PhraseMap phrases) {
  std::vector<Unit> units = VK_TRY(build_unit_table(snappers, phrases, columns));
  std::vector<Op> ops = VK_TRY(build_ops_table(columns.op.dictionary));
  return Timetable{std::move(ops), std::move(units), columns, std::move(snappers), std::move(phrases)};
}

EvaluationError event_error(const Timetable& timetable, std::size_t row, std::string message) {
  auto event = timetable.describe_event(row);
  // A corrupt row is the fault to report, whatever else went wrong at it.
  if (!event) return std::move(event).error();
  return EvaluationError::Event{std::move(*event), std::move(message)};
}

EvaluationError event_time_error(const Timetable& timetable, std::size_t row, std::int64_t clock) {
  return event_error(timetable, row, fmt::format("event time is earlier than the current time {}", clock));
}

std::expected<std::int64_t, EvaluationError> event_time_failure(const Timetable& timetable, std::size_t row,
                                                                 std::int64_t clock, std::string_view null_text) {
  if (!timetable.time_valid(row)) return std::unexpected(event_error(timetable, row, std::string(null_text)));
  return std::unexpected(event_time_error(timetable, row, clock));
}

}  // namespace vornik
