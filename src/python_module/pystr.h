// Texts between C++ and Python: messages and names go out as str, and str()
// and repr() come back as UTF-8.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "python_module/pyref.h"

namespace vornik {

// A new str from UTF-8 text; malformed bytes become U+FFFD. Only memory
// exhaustion fails, as std::bad_alloc.
PyRef py_str(std::string_view text);

// UTF-8 of str(o) / repr(o) as utf8_text gives it; nullopt (error dropped,
// unless it is the caller's own) when the call raises.
std::optional<std::string> str_of(PyObject* o);
std::optional<std::string> repr_of(PyObject* o);

// UTF-8 of a str object; nullopt (error left set) when it cannot be encoded.
std::optional<std::string_view> utf8_view(PyObject* str);

// UTF-8 of a str object for printing: a lone surrogate, which UTF-8 cannot
// hold, becomes U+FFFD.
std::string utf8_text(PyObject* str);

}  // namespace vornik
