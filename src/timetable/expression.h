// A named user expression (a phrase or a snapper), as the engine sees it.
// Its only implementation, PyExpression, calls a Python callable.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <vector>

#include "timetable/values.h"

namespace vornik {

class Expression {
 public:
  virtual ~Expression() = default;
  // The input names, in the order evaluate() takes their vectors.
  virtual std::span<const std::string> inputs() const = 0;
  // One vector per input in; the list of output vectors, or the failure text.
  virtual std::expected<std::vector<Values>, std::string> evaluate(std::vector<Values> inputs) const = 0;
};

}  // namespace vornik
