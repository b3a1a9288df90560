// NumPy's C API, fetched once per process, and the arrays the module hands
// out over its own memory (owned by a PySliceContainer) or copies in.
#pragma once

#define PY_ARRAY_UNIQUE_SYMBOL vornik_ARRAY_API
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#ifndef VORNIK_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cstddef>

#include "python_module/pyref.h"
#include "timetable/lent.h"
#include "timetable/values.h"

namespace vornik {

// Imports NumPy's C API on first use; an import failure aborts the call.
void ensure_numpy();

// Frees memory handed to a PySliceContainer: (data, length, capacity).
using ReleaseFn = void (*)(void* data, std::size_t len, std::size_t cap);

// A one-dimensional writeable array of `typenum` over data, whose base is a
// new PySliceContainer that calls release when NumPy drops the array. The
// memory is released on every path, also when the array cannot be made.
PyRef array_over(void* data, std::size_t len, std::size_t cap, ReleaseFn release, int typenum);

// The vector's memory moves into a float64 / uint64 array: no copy.
PyRef to_numpy(Values v);
PyRef to_numpy(Mask m);

// A NumPy array (or subclass) with one dimension and float64 elements in
// native byte order / in either byte order / with bool elements.
bool is_f64_vector(PyObject* o);
bool is_any_order_f64_vector(PyObject* o);
bool is_bool_vector(PyObject* o);
// Such a float64 array read in place; the view holds a reference to it.
LentArray lend_f64_vector(PyObject* array);
// Copies of such arrays, strides followed, bytes swapped where needed.
Values copy_f64_vector(PyObject* array);
Values copy_bool_vector(PyObject* array);

}  // namespace vornik
