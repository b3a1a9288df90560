#include "python_module/read_timetable.h"

namespace vornik {

// Placeholder until the timetable reader lands.
std::expected<Timetable, TimetableError> read_timetable(const ArrowBatch&, PyObject*) { return Timetable{}; }

}  // namespace vornik
