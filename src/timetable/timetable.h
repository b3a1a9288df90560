// The Timetable: the read-only contract of one call. It owns its unit and op
// tables and expression maps and borrows the record batch's columns, so the
// batch must outlive it.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "timetable/columns.h"
#include "timetable/errors.h"
#include "timetable/op.h"
#include "timetable/unit.h"

namespace vornik {

// "No track specified at event#{}"
SpecError no_track_error(std::size_t row);

class Timetable {
 public:
  inline static const Op NO_OP{};  // the op of a null cell

  std::vector<Op> ops;
  std::vector<Unit> units;
  TimetableColumns columns;
  SnapperMap snappers;
  PhraseMap phrases;

  std::size_t rows() const { return columns.time.length; }

  bool time_valid(std::size_t row) const { return columns.time.valid(row); }
  // The stored slot value; validity is not tested.
  std::int64_t time_at(std::size_t row) const { return columns.time[row]; }
  double quantity_at(std::size_t row) const { return columns.quantity[row]; }
  // The key accessors fail with "Malformed record batch: ..." for a key that
  // the caller's code has moved outside its dictionary since the read.
  // They are read at every row: always inline, the calls would cost more
  // than the checks.
  // "No track specified at event#{}" for a null track cell.
  [[gnu::always_inline]] std::expected<std::uint64_t, SpecError> track_at(std::size_t row) const {
    const std::uint64_t key = VK_TRY(columns.track.key_at(row));
    if (key == DictColumn::NULL_KEY) [[unlikely]] return std::unexpected(no_track_error(row));
    return key;
  }
  // &units[key] for the row's unit key, nullptr for a null unit cell.
  [[gnu::always_inline]] std::expected<const Unit*, SpecError> unit_at(std::size_t row) const {
    const std::uint64_t key = VK_TRY(columns.unit.key_at(row));
    return key == DictColumn::NULL_KEY ? nullptr : &units[key];
  }
  // &ops[key], or the shared NoOp for a null cell.
  [[gnu::always_inline]] std::expected<const Op*, SpecError> op_at(std::size_t row) const {
    const std::uint64_t key = VK_TRY(columns.op.key_at(row));
    return key == DictColumn::NULL_KEY ? &NO_OP : &ops[key];
  }
  // "<none>" for a null unit cell, else the unit's display.
  std::expected<std::string, SpecError> unit_text_at(std::size_t row) const;
  // "#{}: track: {}, time: {}, op: {}, qty: {}, unit: {}"
  std::expected<std::string, SpecError> describe_event(std::size_t row) const;

  std::expected<const Snapper*, SpecError> find_snapper(std::string_view name) const;
  const Expression* find_phrase(std::string_view name) const;
};

// Builds the unit table, then the op table, and puts the Timetable together.
std::expected<Timetable, SpecError> timetable_from_columns(TimetableColumns columns, SnapperMap snappers,
                                                           PhraseMap phrases);

// "Single(1970-01-01T00:00:00Z)", or "None" outside years -262143 to 262142.
std::string format_event_time(std::int64_t ms);

// EvaluationError Event: the row's description and a message; a row that
// cannot be described gives the malformed-batch error instead.
EvaluationError event_error(const Timetable& timetable, std::size_t row, std::string message);
// ... with "event time is earlier than the current time {}".
EvaluationError event_time_error(const Timetable& timetable, std::size_t row, std::int64_t clock);
// The error of event_time_at.
std::expected<std::int64_t, EvaluationError> event_time_failure(const Timetable& timetable, std::size_t row,
                                                                 std::int64_t clock, std::string_view null_text);
// The time of a row of a walk in row order whose clock stands at `clock`: a
// null cell is the row's error `null_text`, an earlier time event_time_error.
// Inline: it runs at every row.
inline std::expected<std::int64_t, EvaluationError> event_time_at(const Timetable& timetable, std::size_t row,
                                                                   std::int64_t clock, std::string_view null_text) {
  const std::int64_t t = timetable.time_at(row);
  if (!timetable.time_valid(row) || t < clock) [[unlikely]]
    return event_time_failure(timetable, row, clock, null_text);
  return t;
}

}  // namespace vornik
