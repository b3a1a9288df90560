// The state a forward run (Monte Carlo, fixed, backtest) carries from row to
// row, the Monte Carlo numeraire and asset values drawn from the caller's
// state object, and the prices taken from the finished Ledger.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "ledger/depgraph.h"
#include "curves/curves.h"
#include "ledger/ledger.h"
#include "model/model.h"
#include "timetable/errors.h"
#include "timetable/string_map.h"
#include "timetable/timetable.h"
#include "timetable/values.h"

namespace vornik {

struct ForwardState {
  DepGraph graph;
  StringMap<Values> snaps;  // output name -> value stored by a snapper row
  Ledger ledger;
  Values numeraire;  // scales every row's quantity

  // Hands the ledger on; the rest is released.
  Ledger into_ledger() &&;
};


// a × b elementwise, a one-element side repeated; reuses a's buffer when it
// already has the result's length. Lengths that cannot meet are an error.
std::expected<Values, EvaluationError> product(Values a, const Values& b);

// Vectors from the caller's code (state object, expressions) must have the
// run's length n or 1; any other length is refused here, naming both.
std::expected<void, EvaluationError> check_run_length(std::size_t len, std::uint64_t n);
std::expected<void, EvaluationError> check_run_length(const Values& v, std::uint64_t n);

ForwardState build_forward_state(const Timetable& timetable, std::uint64_t n);
ForwardState build_mc_state(const McModel& model, const Timetable& timetable);

// Tells the state object that the clock moved to t and updates the numeraire.
std::expected<void, EvaluationError> forward_state_advance(const McModel& model, ForwardState& state,
                                                           std::int64_t t);
std::expected<std::optional<LentArray>, EvaluationError> forward_state_get_value(const McModel& model,
                                                                                 std::string_view name);
// The value of asset `name` at t scaled by v: the state object's array if it
// gives one, else the curve forward.
std::expected<Values, EvaluationError> input_value_array(const McModel& model, const ForwardState& state,
                                                         const Values& v, std::string_view name, std::int64_t t);

// The Monte Carlo price: the mean of track 0 over the paths.
std::expected<double, EvaluationError> mean_pv(const Ledger& ledger);
// The fixed price: element 0 of track 0.
std::expected<double, EvaluationError> fixed_pv(const Ledger& ledger);

}  // namespace vornik
