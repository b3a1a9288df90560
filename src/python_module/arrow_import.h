// events_rb as an Arrow record batch: through the Arrow PyCapsule protocol
// (__arrow_c_array__), or from a pyarrow RecordBatch that lacks it.
#pragma once

#include "python_module/binding.h"
#include "timetable/arrow_abi.h"

namespace vornik {

PyResult<ArrowBatch> import_record_batch(PyObject* events_rb);

}  // namespace vornik
