// The Timetable of a call: the columns, then the expressions, then the unit
// and op tables. Here because the expression walk needs Python; the rest is
// the engine's.
#include "python_module/read_timetable.h"

#include "python_module/expressions.h"

namespace vornik {

std::expected<Timetable, TimetableError> read_timetable(const ArrowBatch& batch, PyObject* expressions) {
  auto columns = read_timetable_columns(batch);
  if (!columns) return std::unexpected(TimetableError::Spec{std::move(columns).error()});
  auto maps = read_expressions(expressions);
  if (!maps) return std::unexpected(TimetableError::Dataset{std::move(maps).error()});
  auto timetable = timetable_from_columns(*columns, std::move(maps->snappers), std::move(maps->phrases));
  if (!timetable) return std::unexpected(TimetableError::Spec{std::move(timetable).error()});
  return std::move(*timetable);
}

}  // namespace vornik
