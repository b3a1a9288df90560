// Calls into the caller's state object. A raised exception becomes the
// method error "Error in Python method '{}', caused by \n{}"; arrays are
// lent to the engine, which copies them out at once, and never held across
// calls.
#include "python_module/state.h"

#include <atomic>

#include "python_module/errors.h"
#include "python_module/numpy_api.h"
#include "python_module/pystr.h"

namespace vornik {

namespace {

ProcessObject advance_name([] { return PyUnicode_InternFromString("advance"); });
ProcessObject get_value_name([] { return PyUnicode_InternFromString("get_value"); });

EvaluationError method_error(const char* method, PyError error) {
  return python_call_error_to_message(PythonCallError::Method{method, std::move(error).into_value()});
}

// state.<name>(*args), or the method error.
std::expected<PyRef, EvaluationError> call_method(PyObject* state, PyObject* name, const char* method,
                                                  std::initializer_list<PyObject*> args) {
  if (!release_deferred()) return std::unexpected(EvaluationError::Interrupted{});  // what the rows before dropped
  PyObject* vector[4] = {state};
  std::size_t n = 1;
  for (PyObject* a : args) vector[n++] = a;
  PyRef r = PyRef::steal(PyObject_VectorcallMethod(name, vector, n, nullptr));
  if (!r) return std::unexpected(method_error(method, PyError::fetch()));
  return r;
}

PyRef new_ref(PyObject* made) {
  if (made == nullptr) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  return PyRef::steal(made);
}

}  // namespace

std::expected<McStateObject::Advance, EvaluationError> PyMcState::advance(double dt) {
  PyRef arg = new_ref(PyFloat_FromDouble(dt));
  PyRef r = VK_TRY(call_method(state_, advance_name.required(), "advance", {arg.get()}));
  if (is_any_order_f64_vector(r.get())) return lend_f64_vector(r.get());
  double x = PyFloat_AsDouble(r.get());
  if (x == -1.0 && PyErr_Occurred()) {
    // Not a number: the numeraire restarts from the discount factor.
    if (!discard_pending_error()) return std::unexpected(EvaluationError::Interrupted{});
    return Other{};
  }
  return x;
}

std::expected<std::optional<LentArray>, EvaluationError> PyMcState::get_value(std::string_view name) {
  PyRef arg = py_str(name);
  PyRef r = VK_TRY(call_method(state_, get_value_name.required(), "get_value", {arg.get()}));
  if (is_any_order_f64_vector(r.get())) return lend_f64_vector(r.get());
  return std::nullopt;
}

std::expected<double, EvaluationError> PyValueSource::lookup(std::string_view name, std::int64_t time_ms) {
  PyRef name_arg = py_str(name);
  PyRef time_arg = new_ref(PyLong_FromLongLong(time_ms));
  PyRef r = VK_TRY(call_method(state_, get_value_name.required(), "get_value", {name_arg.get(), time_arg.get()}));
  double x = PyFloat_AsDouble(r.get());
  if (x == -1.0 && PyErr_Occurred()) return std::unexpected(method_error("get_value", PyError::fetch()));
  return x;
}

}  // namespace vornik
