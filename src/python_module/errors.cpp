// The message templates of the errors that hold Python exceptions, and the
// lead lines of the three RuntimeError conversions.
#include "python_module/errors.h"

#include "python_module/pystr.h"

namespace vornik {

std::string exception_text(PyObject* exc) {
  return fmt::format("{}: {}", type_qualname(Py_TYPE(exc)), str_of(exc).value_or("<exception str() failed>"));
}

std::string to_string(const DatasetError& e) {
  return std::visit(
      Overload{
          [](const DatasetError::PyErr& c) { return exception_text(c.exc.get()); },
          [](const DatasetError::Asset& c) {
            return fmt::format("Error while parsing Asset, caused by \n{}", to_string(c.error));
          },
          [](const DatasetError::Expression& c) {
            return fmt::format("Error while parsing expression '{}', caused by \n{}", c.name, to_string(*c.cause));
          },
          [](const DatasetError::InvalidValue& c) {
            return fmt::format("Invalid value '{}' for key '{}'", c.value, c.key);
          },
          [](const DatasetError::MissingKey& c) { return fmt::format("Py Dictionary is missing key '{}'", c.key); },
          [](const DatasetError::WrongType& c) {
            return fmt::format("Error in value of {}, likely incorrect type. caused by \n{}", c.key, c.cause);
          },
          [](const DatasetError::Message& c) { return c.text; },
      },
      e.v);
}

std::string to_string(const TimetableError& e) {
  return std::visit(Overload{
                        [](const TimetableError::Dataset& c) {
                          return fmt::format("Error while parsing Timetable, caused by \n{}", to_string(c.error));
                        },
                        [](const TimetableError::Spec& c) {
                          return fmt::format("Error while parsing Timetable, caused by \n{}", to_string(c.error));
                        },
                    },
                    e.v);
}

std::string to_string(const PythonCallError& e) {
  return std::visit(Overload{
                        [](const PythonCallError::PyErr& c) { return exception_text(c.exc.get()); },
                        [](const PythonCallError::Method& c) {
                          return fmt::format("Error in Python method '{}', caused by \n{}", c.name,
                                             exception_text(c.exc.get()));
                        },
                        [](const PythonCallError::Execution& c) {
                          return fmt::format("Error in Python execution:\n{}", c.text);
                        },
                    },
                    e.v);
}

DatasetError fetch_dataset_error() { return DatasetError::PyErr{std::move(PyError::fetch()).into_value()}; }

bool holds_callers_exception(const DatasetError& e) {
  const auto* py = std::get_if<DatasetError::PyErr>(&e.v);
  return py != nullptr && is_callers_exception(py->exc.get());
}

DatasetError expression_error(std::string_view name, DatasetError cause) {
  return DatasetError::Expression{std::string(name), std::make_unique<DatasetError>(std::move(cause))};
}

DatasetError cast_error_to_dataset_error(PyRef value, PyTypeObject* expected) {
  return DatasetError::WrongType{"n/a", cast_record(value.get(), expected)};
}

EvaluationError python_call_error_to_message(PythonCallError e) {
  return EvaluationError::Message{to_string(e)};
}

std::string error_to_string(PythonCallError e) { return to_string(e); }

PyError dataset_error_to_pyerr(DatasetError e) {
  return PyError(PyExc_RuntimeError, "Error while parsing Dataset, caused by\n" + to_string(e));
}

PyError timetable_error_to_pyerr(TimetableError e) { return PyError(PyExc_RuntimeError, to_string(e)); }

PyError evaluation_error_to_pyerr(EvaluationError e) {
  return PyError(PyExc_RuntimeError, "Error during model evaluation, caused by\n" + to_string(e));
}

}  // namespace vornik
