// The history of a backtest: the value of a named asset at a time. The base
// asset is worth 1.0 at every time and is never looked up; every other name
// goes to the implementation's lookup.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "timetable/errors.h"

namespace vornik {

class ValueSource {
 public:
  explicit ValueSource(std::string base) : base_(std::move(base)) {}
  virtual ~ValueSource() = default;

  std::expected<double, EvaluationError> value(std::string_view name, std::int64_t time_ms) {
    if (name == base_) return 1.0;
    return lookup(name, time_ms);
  }
  const std::string& base() const { return base_; }

 protected:
  // Any name but the base. A failed call into Python arrives already worded
  // as the method error ("Error in Python method 'get_value', ...").
  virtual std::expected<double, EvaluationError> lookup(std::string_view name, std::int64_t time_ms) = 0;

 private:
  std::string base_;
};

}  // namespace vornik
