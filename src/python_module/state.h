// The caller's Python objects as the engine sees them: the Monte Carlo state
// object (advance, get_value) and the history source of backtest_py.
#pragma once

#include <Python.h>

#include "hist/value_source.h"
#include "model/model.h"

namespace vornik {

class PyMcState final : public McStateObject {
 public:
  explicit PyMcState(PyObject* state) : state_(state) {}
  std::expected<Advance, EvaluationError> advance(double dt) override;
  std::expected<std::optional<LentArray>, EvaluationError> get_value(std::string_view name) override;

 private:
  PyObject* state_;  // borrowed for the call
};

class PyValueSource final : public ValueSource {
 public:
  PyValueSource(std::string base, PyObject* state) : ValueSource(std::move(base)), state_(state) {}

 protected:
  std::expected<double, EvaluationError> lookup(std::string_view name, std::int64_t time_ms) override;

 private:
  PyObject* state_;  // borrowed for the call
};

}  // namespace vornik
