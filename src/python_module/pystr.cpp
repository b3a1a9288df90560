#include "python_module/pystr.h"

#include <new>

#include "python_module/binding.h"

namespace vornik {

PyRef py_str(std::string_view text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (s == nullptr) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  return PyRef::steal(s);
}

std::optional<std::string_view> utf8_view(PyObject* str) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (s == nullptr) return std::nullopt;
  return std::string_view(s, static_cast<std::size_t>(n));
}

namespace {
std::optional<std::string> text_of(PyRef s) {
  if (s) {
    if (auto v = utf8_view(s.get())) return std::string(*v);
  }
  (void)discard_pending_error();  // a caller's exception is kept: the call ends after the message
  return std::nullopt;
}
}  // namespace

std::optional<std::string> str_of(PyObject* o) { return text_of(PyRef::steal(PyObject_Str(o))); }
std::optional<std::string> repr_of(PyObject* o) { return text_of(PyRef::steal(PyObject_Repr(o))); }

}  // namespace vornik
