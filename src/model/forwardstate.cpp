// The forward state, the numeraire rules of the Monte Carlo state object's
// advance, its asset values and the two forward prices.
#include "model/forwardstate.h"

#include <utility>

#include "curves/curves.h"

namespace vornik {

Ledger ForwardState::into_ledger() && { return std::move(ledger); }

namespace {

// Two lengths that cannot meet, as the run reports them.
std::expected<Values, EvaluationError> met(std::expected<Values, LengthMismatch> r) {
  if (!r) return std::unexpected(EvaluationError::Message{to_string(r.error())});
  return std::move(*r);
}

}  // namespace

std::expected<Values, EvaluationError> product(Values a, const Values& b) {
  const std::size_t n = a.size();
  if (b.size() == n || b.size() == 1) {
    zip_into(a.data(), n, a.data(), n, b.data(), b.size(), [](double x, double y) { return x * y; });
    return a;
  }
  return met(multiply(a, b));
}

std::expected<void, EvaluationError> check_run_length(std::size_t len, std::uint64_t n) {
  if (len == n || len == 1) return {};
  return std::unexpected(EvaluationError::Message{length_mismatch_text(n, len)});
}

std::expected<void, EvaluationError> check_run_length(const Values& v, std::uint64_t n) {
  return check_run_length(v.size(), n);
}

ForwardState build_forward_state(const Timetable& timetable, std::uint64_t n) {
  ForwardState state{.graph = reserve_depgraph(timetable), .snaps = {}, .ledger = {}, .numeraire = Values::of({1.0})};
  state.ledger.len = n;
  return state;
}

ForwardState build_mc_state(const McModel& model, const Timetable& timetable) {
  return build_forward_state(timetable, model.settings.paths);
}

std::expected<void, EvaluationError> forward_state_advance(const McModel& model, ForwardState& state,
                                                           std::int64_t t) {
  const double dt = year_fraction(t, model.settings.pricing_ts);
  McStateObject::Advance r = VK_TRY(model.state.advance(dt));
  if (auto* factors = std::get_if<LentArray>(&r)) {
    VK_CHECK(check_run_length(factors->size(), model.settings.paths));
    state.numeraire = VK_TRY(met(factors->scale(std::move(state.numeraire))));
  } else if (auto* factor = std::get_if<double>(&r)) {
    state.numeraire = scale(state.numeraire, *factor);
  } else {
    const double df = VK_TRY(discount_factor(model.settings.assets, dt));
    state.numeraire = Values::of({df});
  }
  return {};
}

std::expected<std::optional<LentArray>, EvaluationError> forward_state_get_value(const McModel& model,
                                                                                 std::string_view name) {
  return model.state.get_value(name);
}

std::expected<Values, EvaluationError> input_value_array(const McModel& model, const ForwardState& /*state*/,
                                                         const Values& v, std::string_view name, std::int64_t t) {
  std::optional<LentArray> a = VK_TRY(forward_state_get_value(model, name));
  if (a) {
    VK_CHECK(check_run_length(a->size(), model.settings.paths));
    return met(a->times(v));  // copied out of the lender and scaled in one pass
  }
  const double f = VK_TRY(asset_forward(model.settings.assets, name, year_fraction(t, model.settings.pricing_ts)));
  return scale(v, f);
}

namespace {

// Eight running sums, so that the loop vectorises without reassociation.
double sum(const Values& p) {
  const double* x = p.data();
  const std::size_t n = p.size();
  double lane[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t k = 0; k < 8; ++k) lane[k] += x[i + k];
  }
  double total = 0.0;
  for (std::size_t k = 0; k < 4; ++k) total += lane[k] + lane[k + 4];
  for (; i < n; ++i) total += x[i];
  return total;
}

}  // namespace

std::expected<double, EvaluationError> mean_pv(const Ledger& ledger) {
  const Values* p = VK_TRY(get_track_value(ledger.values, 0));
  if (p->empty()) return std::unexpected(EvaluationError::Message{"Empty PV Vector"});
  return sum(*p) / static_cast<double>(p->size());
}

std::expected<double, EvaluationError> fixed_pv(const Ledger& ledger) {
  const Values* p = VK_TRY(get_track_value(ledger.values, 0));
  if (p->empty()) return std::unexpected(EvaluationError::Message{"Empty PV Vector"});
  return (*p)[0];
}

}  // namespace vornik
