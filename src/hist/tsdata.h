// The history source of backtest_csv: one constant for every asset but the
// base, at every time (nothing is read from a file).
#pragma once

#include "hist/value_source.h"

namespace vornik {

class TsDataSource final : public ValueSource {
 public:
  TsDataSource(std::string base, double asset_value) : ValueSource(std::move(base)), asset_value_(asset_value) {}

 protected:
  std::expected<double, EvaluationError> lookup(std::string_view name, std::int64_t time_ms) override;

 private:
  double asset_value_;
};

}  // namespace vornik
