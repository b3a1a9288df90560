// The expression walk of read_timetable and the evaluation of a phrase or
// snapper through its Python callable.
#include "python_module/expressions.h"

#include <atomic>
#include <optional>

#include "python_module/numpy_api.h"
#include "python_module/pystr.h"
#include "python_module/pyutils.h"

namespace vornik {

namespace {

// Keys read here, interned once per process.
namespace key {
constinit Key TYPE("type");
constinit Key FN("fn");
constinit Key INP("inp");
constinit Key OUT("out");
}  // namespace key

// dict.items itself, so that a subclass's items() is never called.
ProcessObject dict_items([] { return PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyDict_Type), "items"); });

std::string execution_error(std::string text) { return error_to_string(PythonCallError::Execution{std::move(text)}); }

// The text of an exception that a call into Python raised.
std::string raised_text(PyError error) {
  return error_to_string(PythonCallError::PyErr{std::move(error).into_value()});
}

// One item of fn's result as a vector, or nullopt when it is neither an
// array nor a number.
PyResult<std::optional<Values>> to_values(PyObject* item) {
  if (is_f64_vector(item)) return copy_f64_vector(item);
  if (is_bool_vector(item)) return copy_bool_vector(item);
  auto x = to_f64(item);
  if (x) return Values::of({*x});
  VK_CHECK(best_effort(std::move(x)));  // the conversion's exception is dropped
  return std::nullopt;
}

std::expected<void, DatasetError> read_entry(ExpressionMaps& maps, const std::string& name, PyObject* description) {
  const std::string type = VK_TRY(get_string(description, key::TYPE));
  if (type == "phrase") {
    maps.phrases.insert_or_assign(name, VK_TRY(read_expression(description)));
  } else if (type == "snapper") {
    std::unique_ptr<Expression> expression = VK_TRY(read_expression(description));
    std::vector<std::string> out = VK_TRY(get_string_list(description, key::OUT));
    maps.snappers.insert_or_assign(name, Snapper{std::move(out), std::move(expression)});
  } else if (type == "batch") {
    return std::unexpected(DatasetError::Message{"Batch is not supported in this package"});
  } else {
    return std::unexpected(DatasetError::InvalidValue{"type", type});
  }
  return {};
}

}  // namespace

std::expected<std::unique_ptr<Expression>, DatasetError> read_expression(PyObject* description) {
  PyRef fn = VK_TRY(get_object(description, key::FN));
  std::vector<std::string> inp = VK_TRY(get_string_list(description, key::INP));
  return std::make_unique<PyExpression>(std::move(inp), std::move(fn));
}

std::expected<ExpressionMaps, DatasetError> read_expressions(PyObject* expressions) {
  if (PyDict_GET_SIZE(expressions) == 0) return ExpressionMaps{};  // the common case: nothing to walk
  // CPython's own item iterator: it holds references to each key and value
  // and stops with a RuntimeError when code run by a conversion below
  // changes the dictionary.
  PyRef view = PyRef::steal(PyObject_CallOneArg(dict_items.required(), expressions));
  if (!view) return std::unexpected(fetch_dataset_error());
  PyRef items = PyRef::steal(PyObject_GetIter(view.get()));
  if (!items) return std::unexpected(fetch_dataset_error());

  ExpressionMaps maps;
  while (PyRef pair = PyRef::steal(PyIter_Next(items.get()))) {
    PyObject* key = PyTuple_GET_ITEM(pair.get(), 0);
    PyObject* description = PyTuple_GET_ITEM(pair.get(), 1);
    auto name = expect_str(key);
    if (!name) return std::unexpected(DatasetError::PyErr{std::move(name).error().into_value()});
    if (!PyDict_Check(description))
      return std::unexpected(DatasetError::WrongType{"n/a", cast_message(description, &PyDict_Type)});
    if (auto read = read_entry(maps, *name, description); !read)
      return std::unexpected(expression_error(*name, std::move(read).error()));
  }
  if (PyErr_Occurred()) return std::unexpected(fetch_dataset_error());
  return maps;
}

std::expected<std::vector<Values>, std::string> PyExpression::evaluate(std::vector<Values> inputs) const {
  if (!release_deferred()) return std::unexpected(std::string("Interrupted"));  // the caller's exception ends the call
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(inputs.size())));
  if (!list) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_numpy(std::move(inputs[i])).release());
  }

  PyRef result = PyRef::steal(PyObject_CallOneArg(fn_.get(), list.get()));
  if (!result) return std::unexpected(raised_text(PyError::fetch()));
  if (!PyList_Check(result.get())) return std::unexpected(execution_error(cast_message(result.get(), &PyList_Type)));

  std::vector<Values> out;
  out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(result.get())));
  // The size is read at every step: converting an item may run Python code
  // that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(result.get()); ++i) {
    PyRef item = PyRef::steal(PyList_GetItemRef(result.get(), i));
    if (!item) return std::unexpected(raised_text(PyError::fetch()));
    auto values = to_values(item.get());
    if (!values) return std::unexpected(raised_text(std::move(values).error()));
    if (!*values) {
      PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(item.get()));
      const std::string shown = str_of(type).value_or(type_qualname(Py_TYPE(item.get())));
      return std::unexpected(execution_error(fmt::format("Expected float or array, received {}", shown)));
    }
    out.push_back(std::move(**values));
  }
  return out;
}

}  // namespace vornik
