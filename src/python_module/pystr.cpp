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

std::string utf8_text(PyObject* str) {
  if (auto v = utf8_view(str)) return std::string(*v);
  PyErr_Clear();  // a lone surrogate: encoded by hand below
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
  std::string out;
  out.reserve(static_cast<std::size_t>(n) * 3);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (Py_UNICODE_IS_SURROGATE(c)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

namespace {
std::optional<std::string> text_of(PyRef s) {
  if (s) return utf8_text(s.get());
  (void)discard_pending_error();  // a caller's exception is kept: the call ends after the message
  return std::nullopt;
}
}  // namespace

std::optional<std::string> str_of(PyObject* o) { return text_of(PyRef::steal(PyObject_Str(o))); }
std::optional<std::string> repr_of(PyObject* o) { return text_of(PyRef::steal(PyObject_Repr(o))); }

}  // namespace vornik
