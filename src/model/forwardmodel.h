// The forward run: one walk over the timetable's rows in time order, shared
// by the Monte Carlo, fixed and backtest models, which differ only in the
// hooks of ForwardModel (clock, numeraire and asset values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "ledger/ledger.h"
#include "model/forwardstate.h"
#include "model/model.h"
#include "model/settings.h"
#include "timetable/errors.h"
#include "timetable/timetable.h"
#include "timetable/values.h"

namespace vornik {

// An asset name as the walk meets it. A name from the unit or op table
// carries a slot, the same at every row of the call, under which a model may
// keep what it found for the name; expression inputs carry none. Two words,
// so that it travels in registers.
struct AssetName {
  static constexpr std::size_t NO_SLOT = SIZE_MAX;
  const std::string& text;
  std::size_t slot = NO_SLOT;
};

// The event scale v = numeraire × quantity of a row, not yet formed: a model
// that scales one number by it builds one vector, not two.
struct EventScale {
  const Values& numeraire;
  double quantity;

  Values values() const { return scale(numeraire, quantity); }
  // (numeraire × quantity) × f, element by element, as scale(values(), f).
  Values times(double f) const {
    Values out = Values::uninit(numeraire.size());
    for (std::size_t i = 0; i < numeraire.size(); ++i) out[i] = (numeraire[i] * quantity) * f;
    return out;
  }
};

class ForwardModel {
 public:
  virtual ~ForwardModel() = default;
  virtual std::int64_t clock_start() const = 0;
  // The message of a row whose time cell is null.
  virtual std::string_view null_time_text() const = 0;
  // Runs before a row at t (not earlier than clock) is valued; its error is
  // not wrapped with the row.
  virtual std::expected<void, EvaluationError> clock_step(ForwardState& state, std::int64_t clock,
                                                          std::int64_t t) = 0;
  // The value of asset `name` at t scaled by v; v is [1.0] for expression
  // inputs and named-op weights.
  virtual std::expected<Values, EvaluationError> asset_value(const ForwardState& state, AssetName name,
                                                             EventScale v, std::int64_t t) = 0;
};

// Walks the rows and records each row's value in the state's graph; books nothing.
std::expected<void, EvaluationError> run_forward_model(ForwardModel& model, ForwardState& state,
                                                       const Timetable& timetable);
// The walk on a fresh state, then settlement with flags; returns the Ledger.
std::expected<Ledger, EvaluationError> run_and_settle(ForwardModel& model, ForwardState state,
                                                      const Timetable& timetable, std::uint32_t flags);

std::expected<Ledger, EvaluationError> run_forward_model_mc(const McModel& model, const Timetable& timetable);
std::expected<Ledger, EvaluationError> run_fixed_model(const FixedSettings& settings, const Timetable& timetable);

// The forward of `name` at t from the curves, times v.
std::expected<Values, EvaluationError> fixed_input_value(const FixedSettings& settings, std::string_view name,
                                                         const Values& v, std::int64_t t);

}  // namespace vornik
