#include "python_module/pyutils.h"

#include <atomic>
#include <cstring>

#include "python_module/numpy_api.h"

namespace vornik {

namespace {

template <class T>
std::expected<T, DatasetError> converted(std::string_view key, PyResult<T> r) {
  if (!r) return std::unexpected(wrong_type(key, std::move(r).error()));
  return std::move(*r);
}

// collections.abc.Sequence, the expected type of a list of names.
ProcessObject sequence_class([] { return import_attribute("collections.abc", "Sequence"); });
PyTypeObject* sequence_abc() { return reinterpret_cast<PyTypeObject*>(sequence_class.required()); }

}  // namespace

std::expected<PyRef, DatasetError> lookup_optional(PyObject* dict, const Key& key) {
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, key.str.required(), &value) < 0) return std::unexpected(fetch_dataset_error());
  return PyRef::steal(value);
}

std::expected<PyRef, DatasetError> lookup(PyObject* dict, const Key& key) {
  PyRef value = VK_TRY(lookup_optional(dict, key));
  if (!value) return std::unexpected(DatasetError::MissingKey{std::string(key.text)});
  return value;
}

DatasetError wrong_type(std::string_view key, PyError error) {
  PyRef exc = std::move(error).into_value();
  return DatasetError::WrongType{std::string(key), exception_text(exc.get())};
}

PyResult<double> to_f64(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  double x = PyFloat_AsDouble(value);
  if (x == -1.0 && PyErr_Occurred()) return std::unexpected(PyError::fetch());
  return x;
}

PyResult<std::uint64_t> to_u64(PyObject* value) {
  PyRef index;
  if (!PyLong_Check(value)) {
    index = PyRef::steal(PyNumber_Index(value));
    if (!index) return std::unexpected(PyError::fetch());
    value = index.get();
  }
  unsigned long long x = PyLong_AsUnsignedLongLong(value);
  if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::unexpected(PyError::fetch());
  return x;
}

PyResult<std::int64_t> to_i64(PyObject* value) {
  long x = PyLong_AsLong(value);
  if (x == -1 && PyErr_Occurred()) return std::unexpected(PyError::fetch());
  return x;
}

PyResult<std::string> to_text(PyObject* value) { return expect_str(value); }

PyResult<PyRef> to_dict(PyObject* value) { return expect_dict(value); }

PyResult<std::vector<std::string>> to_string_list(PyObject* value) {
  if (PyUnicode_Check(value)) return std::unexpected(PyError(PyExc_TypeError, "Can't extract `str` to `Vec`"));
  if (!PySequence_Check(value)) return std::unexpected(type_error(value, sequence_abc()));
  std::vector<std::string> out;
  Py_ssize_t n = PyObject_Size(value);
  if (n < 0) {
    VK_CHECK(discard_pending_error());  // only a hint for the reservation
  } else {
    out.reserve(static_cast<std::size_t>(n));
  }
  PyRef it = PyRef::steal(PyObject_GetIter(value));
  if (!it) return std::unexpected(PyError::fetch());
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    out.push_back(VK_TRY(expect_str(item.get())));
  }
  if (PyErr_Occurred()) return std::unexpected(PyError::fetch());
  return out;
}

std::expected<PyRef, DatasetError> get_object(PyObject* dict, const Key& key) { return lookup(dict, key); }

std::expected<double, DatasetError> get_f64(PyObject* dict, const Key& key) {
  PyRef v = VK_TRY(lookup(dict, key));
  return converted(key.text, to_f64(v.get()));
}

std::expected<std::uint64_t, DatasetError> get_u64(PyObject* dict, const Key& key) {
  PyRef v = VK_TRY(lookup(dict, key));
  return converted(key.text, to_u64(v.get()));
}

std::expected<std::int64_t, DatasetError> get_i64(PyObject* dict, const Key& key) {
  PyRef v = VK_TRY(lookup(dict, key));
  return converted(key.text, to_i64(v.get()));
}

std::expected<std::string, DatasetError> get_string(PyObject* dict, const Key& key) {
  PyRef v = VK_TRY(lookup(dict, key));
  return converted(key.text, to_text(v.get()));
}

std::expected<PyRef, DatasetError> get_dict(PyObject* dict, const Key& key) {
  PyRef v = VK_TRY(lookup(dict, key));
  return converted(key.text, to_dict(v.get()));
}

std::expected<std::vector<std::string>, DatasetError> get_string_list(PyObject* dict, const Key& key) {
  PyRef v = VK_TRY(lookup(dict, key));
  return converted(key.text, to_string_list(v.get()));
}

PyResult<std::array<std::vector<double>, 2>> array2_to_rows(PyObject* value) {
  ensure_numpy();
  if (!PyArray_Check(value)) return std::unexpected(type_error(value, &PyArray_Type));
  auto* a = reinterpret_cast<PyArrayObject*>(value);
  PyArray_Descr* f64 = PyArray_DescrFromType(NPY_DOUBLE);
  const bool is_f64 = PyArray_EquivTypes(PyArray_DESCR(a), f64);
  Py_DECREF(f64);
  if (PyArray_NDIM(a) != 2 || !is_f64) return std::unexpected(type_error(value, &PyArray_Type));
  const npy_intp rows = PyArray_DIM(a, 0);
  const npy_intp cols = PyArray_DIM(a, 1);
  if (rows < 2)
    return std::unexpected(
        PyError(PyExc_ValueError, fmt::format("expected at least two rows, got an array of shape ({}, {})", rows, cols)));
  const npy_intp s0 = PyArray_STRIDE(a, 0);
  const npy_intp s1 = PyArray_STRIDE(a, 1);
  const char* base = PyArray_BYTES(a);
  std::array<std::vector<double>, 2> out;
  for (int r = 0; r < 2; ++r) {
    out[r].resize(static_cast<std::size_t>(cols));
    const char* row = base + r * s0;
    if (s1 == sizeof(double)) {
      std::memcpy(out[r].data(), row, static_cast<std::size_t>(cols) * sizeof(double));
    } else {
      for (npy_intp c = 0; c < cols; ++c) std::memcpy(&out[r][c], row + c * s1, sizeof(double));
    }
  }
  return out;
}

}  // namespace vornik
