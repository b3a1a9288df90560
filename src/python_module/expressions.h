// Phrases and snappers from the `expressions` dictionary, and PyExpression,
// the engine's Expression over a Python callable. Apart from the timetable
// reader because evaluation is called by the runs, with NumPy in between.
#pragma once

#include <Python.h>

#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "python_module/errors.h"
#include "python_module/pyref.h"
#include "timetable/expression.h"
#include "timetable/unit.h"

namespace vornik {

class PyExpression final : public Expression {
 public:
  PyExpression(std::vector<std::string> inp, PyRef fn) : inp_(std::move(inp)), fn_(std::move(fn)) {}
  std::span<const std::string> inputs() const override { return inp_; }
  // Hands each input to NumPy without a copy, calls fn with one list and
  // converts the list it returns item by item.
  std::expected<std::vector<Values>, std::string> evaluate(std::vector<Values> inputs) const override;

 private:
  std::vector<std::string> inp_;
  PyRef fn_;
};

// `fn` and `inp` of one description dictionary.
std::expected<std::unique_ptr<Expression>, DatasetError> read_expression(PyObject* description);

struct ExpressionMaps {
  SnapperMap snappers;
  PhraseMap phrases;
};

// Walks the dictionary in its own order; the first failure ends the walk.
// A dictionary changed while it is walked ends it with CPython's RuntimeError.
std::expected<ExpressionMaps, DatasetError> read_expressions(PyObject* expressions);

}  // namespace vornik
