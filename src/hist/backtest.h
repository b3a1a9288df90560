// The backtest run: the forward walk against a history source instead of a
// model, with the clock from the epoch, no discounting and the cashflow
// book always kept.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>

#include "hist/value_source.h"
#include "ledger/ledger.h"
#include "model/forwardstate.h"
#include "timetable/errors.h"
#include "timetable/timetable.h"

namespace vornik {

struct BacktestModel {
  std::unique_ptr<ValueSource> source;
  std::uint32_t flags = FLAG_CASHFLOW;
};

// Walks the rows into the state's graph; books nothing.
std::expected<void, EvaluationError> run_backtest_model(const BacktestModel& model, ForwardState& state,
                                                        const Timetable& timetable);
// The walk, then settlement with the model's flags; returns the Ledger.
std::expected<Ledger, EvaluationError> run_backtest(const BacktestModel& model, const Timetable& timetable);

}  // namespace vornik
