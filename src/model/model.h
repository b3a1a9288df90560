// The Monte Carlo model: the settings of mc_price and the caller's state
// object that produces the paths. The engine sees the object only through
// McStateObject; the Python module implements it.
#pragma once

#include <expected>
#include <optional>
#include <string_view>
#include <variant>

#include "model/settings.h"
#include "timetable/errors.h"
#include "timetable/lent.h"

namespace vornik {

class McStateObject {
 public:
  // advance() answered something that is neither an array nor a number.
  struct Other {};
  using Advance = std::variant<LentArray, double, Other>;

  virtual ~McStateObject() = default;
  // The clock moved to dt years after PRICING_TS: a float64 array (lent:
  // read it before the next call), a number, or anything else. A failed call is
  // already worded as the method error ("Error in Python method 'advance', ...").
  virtual std::expected<Advance, EvaluationError> advance(double dt) = 0;
  // The per-path value of an asset now, when the object answers with a
  // float64 array (lent: read it before the next call); absent for any other answer.
  virtual std::expected<std::optional<LentArray>, EvaluationError> get_value(std::string_view name) = 0;
};

struct McModel {
  McSettings settings;
  McStateObject& state;  // borrowed for the call
};

}  // namespace vornik
