// The error types that can hold Python exceptions, and the conversions of
// every stage's error into the RuntimeError an entry raises.
#pragma once

#include <memory>
#include <string>

#include "python_module/binding.h"
#include "python_module/pyref.h"
#include "timetable/errors.h"

namespace vornik {

// "{type qualname}: {str(exc)}", "<exception str() failed>" for a str() that raises.
std::string exception_text(PyObject* exc);

struct DatasetError {
  struct PyErr {
    PyRef exc;
  };
  struct Asset {
    ModelError error;
  };
  struct Expression {
    std::string name;
    std::unique_ptr<DatasetError> cause;
  };
  struct InvalidValue {
    std::string key;
    std::string value;
  };
  struct MissingKey {
    std::string key;
  };
  struct WrongType {
    std::string key;
    std::string cause;
  };
  struct Message {
    std::string text;
  };
  VK_ERROR_CASES(DatasetError, PyErr, Asset, Expression, InvalidValue, MissingKey, WrongType, Message)
};

struct TimetableError {
  struct Dataset {
    DatasetError error;
  };
  struct Spec {
    SpecError error;
  };
  VK_ERROR_CASES(TimetableError, Dataset, Spec)
};

struct PythonCallError {
  struct PyErr {
    PyRef exc;
  };
  struct Method {
    std::string name;
    PyRef exc;
  };
  struct Execution {
    std::string text;
  };
  VK_ERROR_CASES(PythonCallError, PyErr, Method, Execution)
};

std::string to_string(const DatasetError& e);
std::string to_string(const TimetableError& e);
std::string to_string(const PythonCallError& e);

// The pending Python exception as DatasetError PyErr.
DatasetError fetch_dataset_error();
// A PyErr holding the caller's own exception (KeyboardInterrupt, SystemExit).
bool holds_callers_exception(const DatasetError& e);
// The Expression error of one expression: "Error while parsing expression '{}'".
DatasetError expression_error(std::string_view name, DatasetError cause);
// WrongType with key "n/a" and the cast record of value against expected.
DatasetError cast_error_to_dataset_error(PyRef value, PyTypeObject* expected);
// A failed call into Python as EvaluationError Message holding its text.
EvaluationError python_call_error_to_message(PythonCallError e);
std::string error_to_string(PythonCallError e);

PyError dataset_error_to_pyerr(DatasetError e);
PyError timetable_error_to_pyerr(TimetableError e);
PyError evaluation_error_to_pyerr(EvaluationError e);

}  // namespace vornik
