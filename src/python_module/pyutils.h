// Typed readers of Python values: look a key up in a dict, convert its value
// to one native type, and report the three failures (the lookup raised, the
// key is absent, the value does not convert) as a DatasetError.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "python_module/binding.h"
#include "python_module/errors.h"
#include "python_module/pyref.h"

namespace vornik {

// A key of the dataset or of an expression's description: its text, which
// messages name, and its str, interned on first use and kept for the
// process, so that a lookup neither makes nor hashes a new str.
struct Key {
  constexpr explicit Key(const char* name) : text(name), str(name) {}
  std::string_view text;
  mutable ProcessObject str;
};

// The dict's own lookup (PyDict_GetItemRef): a subclass's __getitem__ and
// __missing__ are never called. PyErr when it raises, MissingKey when absent.
std::expected<PyRef, DatasetError> lookup(PyObject* dict, const Key& key);
// Like lookup, with absence as an empty PyRef.
std::expected<PyRef, DatasetError> lookup_optional(PyObject* dict, const Key& key);

// Conversions of one value; the failure is CPython's exception.
PyResult<double> to_f64(PyObject* value);
PyResult<std::uint64_t> to_u64(PyObject* value);
PyResult<std::int64_t> to_i64(PyObject* value);
PyResult<std::string> to_text(PyObject* value);
PyResult<PyRef> to_dict(PyObject* value);
PyResult<std::vector<std::string>> to_string_list(PyObject* value);

// A failed conversion of the value under key: WrongType with the exception text.
DatasetError wrong_type(std::string_view key, PyError error);

std::expected<PyRef, DatasetError> get_object(PyObject* dict, const Key& key);
std::expected<double, DatasetError> get_f64(PyObject* dict, const Key& key);
std::expected<std::uint64_t, DatasetError> get_u64(PyObject* dict, const Key& key);
std::expected<std::int64_t, DatasetError> get_i64(PyObject* dict, const Key& key);
std::expected<std::string, DatasetError> get_string(PyObject* dict, const Key& key);
std::expected<PyRef, DatasetError> get_dict(PyObject* dict, const Key& key);
std::expected<std::vector<std::string>, DatasetError> get_string_list(PyObject* dict, const Key& key);

// Rows 0 and 1 of a two-dimensional float64 NumPy array, strides followed.
// Anything else is the cast TypeError; fewer than two rows a ValueError.
PyResult<std::array<std::vector<double>, 2>> array2_to_rows(PyObject* value);

}  // namespace vornik
