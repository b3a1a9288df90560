// The Timetable of a call, from its record batch and expressions dictionary.
#pragma once

#include <expected>

#include "python_module/errors.h"
#include "timetable/arrow_abi.h"
#include "timetable/timetable.h"

namespace vornik {

// Columns, then the expressions, then the unit and op tables; the first
// failure ends the read. The Timetable borrows the batch's columns.
std::expected<Timetable, TimetableError> read_timetable(const ArrowBatch& batch, PyObject* expressions);

}  // namespace vornik
