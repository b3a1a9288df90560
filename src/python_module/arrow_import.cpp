#include "python_module/arrow_import.h"

namespace vornik {

// Placeholder until the Arrow import lands.
PyResult<ArrowBatch> import_record_batch(PyObject*) { return ArrowBatch(); }

}  // namespace vornik
