// The forward walk: each row is valued by its unit at its time and left in
// the event graph, expressions pull their inputs from phrases, snaps and the
// model's assets, and the graph is settled once the last row is walked.
#include "model/forwardmodel.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "curves/curves.h"
#include "timetable/interrupt.h"

namespace vornik {

namespace {

using Result = std::expected<void, EvaluationError>;

// A row's work for the interrupt poll, in units of about a nanosecond, plus
// one per element of the run's vectors.
constexpr std::uint64_t ROW_WORK = 200;
// Rows whose graph nodes are made at once, ahead of the walk.
constexpr std::size_t GRAPH_PIECE = 4096;

// Model is ForwardModel, or a final hooks class whose calls then need no
// dispatch per row.
template <class Model>
class Walk {
 public:
  Walk(Model& model, ForwardState& state, const Timetable& timetable)
      : model_(model), state_(state), timetable_(timetable) {}

  // The graph grows with the walk, so that faulting in the nodes of millions
  // of rows is polled with the rows.
  Result run() {
    std::int64_t clock = model_.clock_start();
    const std::size_t rows = timetable_.rows();
    for (std::size_t begin = 0; begin < rows; begin += GRAPH_PIECE) {
      const std::size_t end = std::min(rows, begin + GRAPH_PIECE);
      cover_rows(state_.graph, end);
      for (std::size_t i = begin; i < end; ++i) {
        const std::int64_t t = VK_TRY(event_time_at(timetable_, i, clock, model_.null_time_text()));
        VK_CHECK(model_.clock_step(state_, clock, t));
        clock = t;
        if (auto done = row(i, t); !done) {
          return std::unexpected(event_error(timetable_, i, to_string(done.error())));
        }
        VK_CHECK(poll_.spend(ROW_WORK + state_.ledger.len));
      }
    }
    return {};
  }

 private:
  // One row by its unit; run() wraps every error of it with the row.
  Result row(std::size_t i, std::int64_t t) {
    t_ = t;
    const Op& op = *VK_TRY(timetable_.op_at(i));
    const Unit* found = VK_TRY(timetable_.unit_at(i));
    if (found == nullptr) return std::unexpected(EvaluationError::EventSpecs{"Missing Unit Name"});
    const Unit& unit = *found;
    const auto key = static_cast<std::size_t>(found - timetable_.units.data());
    switch (unit.kind) {
      case Unit::Kind::Track:
        set_node_track_ref(state_.graph, i, unit.track);
        return {};
      case Unit::Kind::Asset: {
        auto value = model_.asset_value(state_, AssetName{unit.name, key}, event_scale(i), t);
        if (!value) [[unlikely]] return std::unexpected(std::move(value).error());
        return record_event_value(i, std::move(*value), op);
      }
      case Unit::Kind::NoUnit:
        return std::unexpected(EvaluationError::Message{"Unknown Unit"});
      case Unit::Kind::Snapper:
        return run_snapper(unit.name);
      case Unit::Kind::Snap: {
        auto snap = state_.snaps.find(unit.name);
        if (snap == state_.snaps.end()) {
          return std::unexpected(EvaluationError::Message{fmt::format("Unknown Snap '{}'", unit.name)});
        }
        Values value = VK_TRY(product(event_scale(i).values(), snap->second));
        return record_event_value(i, std::move(value), op);
      }
      case Unit::Kind::Phrase: {
        const Expression* phrase = timetable_.find_phrase(unit.name);
        if (phrase == nullptr) {
          return std::unexpected(EvaluationError::EventSpecs{fmt::format("Phrase not found#{}", unit.name)});
        }
        Values value = VK_TRY(evaluate_phrase(unit.name, *phrase));
        value = VK_TRY(product(std::move(value), event_scale(i).values()));
        return record_event_value(i, std::move(value), op);
      }
    }
    return {};
  }

  // numeraire × quantity; formed only for the units that use it.
  EventScale event_scale(std::size_t i) const { return {state_.numeraire, timetable_.quantity_at(i)}; }

  Result run_snapper(std::string_view name) {
    const Snapper* snapper = VK_TRY(timetable_.find_snapper(name));
    std::vector<Values> inputs = VK_TRY(collect_input_arrays(snapper->expression->inputs()));
    auto outputs = snapper->expression->evaluate(std::move(inputs));
    if (!outputs) return std::unexpected(PhraseError{std::move(outputs).error()});
    // The shorter side wins: names without an output keep their earlier snap.
    const std::size_t stored = std::min(snapper->out.size(), outputs->size());
    for (std::size_t k = 0; k < stored; ++k) VK_CHECK(check_run_length((*outputs)[k], state_.ledger.len));
    for (std::size_t k = 0; k < stored; ++k) state_.snaps.insert_or_assign(snapper->out[k], std::move((*outputs)[k]));
    return {};
  }

  std::expected<std::vector<Values>, EvaluationError> collect_input_arrays(std::span<const std::string> names) {
    std::vector<Values> arrays;
    arrays.reserve(names.size());
    for (const std::string& name : names) arrays.push_back(VK_TRY(resolve_input_value(AssetName{name})));
    return arrays;
  }

  // A phrase, else a stored snap (copied, unscaled), else the model's asset.
  std::expected<Values, EvaluationError> resolve_input_value(AssetName name) {
    if (const Expression* phrase = timetable_.find_phrase(name.text)) return evaluate_phrase(name.text, *phrase);
    if (auto snap = state_.snaps.find(name.text); snap != state_.snaps.end()) return snap->second.clone();
    return model_.asset_value(state_, name, EventScale{ONE, 1.0}, t_);
  }

  // The last output of the phrase, its inputs taken at the row's time.
  std::expected<Values, EvaluationError> evaluate_phrase(std::string_view name, const Expression& phrase) {
    // A phrase reached again while its own inputs are being resolved would recurse without end.
    if (std::ranges::find(evaluating_, name) != evaluating_.end()) {
      return std::unexpected(EvaluationError::Message{fmt::format("Phrase '{}' depends on itself", name)});
    }
    evaluating_.push_back(name);
    auto inputs = collect_input_arrays(phrase.inputs());
    evaluating_.pop_back();
    if (!inputs) return std::unexpected(std::move(inputs).error());
    auto outputs = phrase.evaluate(std::move(*inputs));
    if (!outputs) return std::unexpected(PhraseError{std::move(outputs).error()});
    if (outputs->empty()) return std::unexpected(EvaluationError::Message{"No output from phrase"});
    VK_CHECK(check_run_length(outputs->back(), state_.ledger.len));
    return std::move(outputs->back());
  }

  Result record_event_value(std::size_t i, Values&& value, const Op& op) {
    if (op.kind == Op::Kind::Named) return record_weighted_value(i, std::move(value), op);
    set_node_value(state_.graph, i, std::move(value));
    return {};
  }

  // A named op's weight is taken now, unscaled; settlement reads the op again.
  // Out of line: most rows have no named op.
  [[gnu::noinline]] Result record_weighted_value(std::size_t i, Values&& value, const Op& op) {
    // A named op is an entry of the op table; its slots follow the units'.
    const auto op_key = static_cast<std::size_t>(&op - timetable_.ops.data());
    Values weight = VK_TRY(resolve_input_value(AssetName{op.name, timetable_.units.size() + op_key}));
    set_node_choice(state_.graph, i, std::move(value), std::move(weight));
    return {};
  }

  inline static const Values ONE = Values::of({1.0});

  Model& model_;
  ForwardState& state_;
  const Timetable& timetable_;
  std::int64_t t_ = 0;                       // the time of the row being valued
  std::vector<std::string_view> evaluating_;  // phrases whose inputs are being resolved
  InterruptPoll poll_;
};

class McHooks final : public ForwardModel {
 public:
  explicit McHooks(const McModel& model) : model_(model) {}
  std::int64_t clock_start() const override { return model_.settings.pricing_ts; }
  std::string_view null_time_text() const override { return "missing time"; }
  Result clock_step(ForwardState& state, std::int64_t clock, std::int64_t t) override {
    if (t > clock) return forward_state_advance(model_, state, t);
    return {};
  }
  std::expected<Values, EvaluationError> asset_value(const ForwardState& state, AssetName name, EventScale v,
                                                     std::int64_t t) override {
    return input_value_array(model_, state, v.values(), name.text, t);
  }

 private:
  const McModel& model_;
};

// Each asset is looked up by name once per call, the base asset at the first
// row and the others at the first row that needs them, so that a missing
// asset fails where it always did. Times never go back, so each curve is
// read on from where it was last read.
class FixedHooks final : public ForwardModel {
 public:
  FixedHooks(const FixedSettings& settings, const Timetable& timetable)
      : settings_(settings), curves_(timetable.units.size() + timetable.ops.size()) {}
  std::int64_t clock_start() const override { return settings_.pricing_ts; }
  std::string_view null_time_text() const override { return "No event time"; }
  Result clock_step(ForwardState& state, std::int64_t, std::int64_t t) override {
    // Rows at one time share the discount factor; it is replaced all the same.
    if (base_.asset == nullptr || t != time_) {
      if (base_.asset == nullptr) base_.asset = VK_TRY(find_asset(settings_.assets, settings_.assets.base));
      years_ = year_fraction(t, settings_.pricing_ts);
      df_ = VK_TRY(discount_factor(base_, years_));
      time_ = t;
    }
    state.numeraire[0] = df_;  // [1.0] at the start, one element throughout
    return {};
  }
  // Always inline in the walk, which calls it at most rows.
  [[gnu::always_inline]] std::expected<Values, EvaluationError> asset_value(const ForwardState&, AssetName name,
                                                                            EventScale v, std::int64_t t) override {
    if (name.slot >= curves_.size()) [[unlikely]] return fixed_input_value(settings_, name.text, v.values(), t);
    CurveReader& curve = curves_[name.slot];
    if (curve.asset == nullptr) [[unlikely]] curve.asset = VK_TRY(find_asset(settings_.assets, name.text));
    // Assets are valued at the row's time, whose year fraction the clock step took.
    const double f = VK_TRY(asset_forward(curve, t == time_ ? years_ : year_fraction(t, settings_.pricing_ts)));
    return v.times(f);
  }

 private:
  const FixedSettings& settings_;
  CurveReader base_;
  std::int64_t time_ = 0;  // the clock, once base_ is found
  double years_ = 0.0;     // its year fraction
  double df_ = 0.0;        // and its discount factor
  std::vector<CurveReader> curves_;  // by slot: unit keys, then op keys
};

template <class Model>
std::expected<Ledger, EvaluationError> walk_and_settle(Model& model, ForwardState state, const Timetable& timetable,
                                                       std::uint32_t flags) {
  VK_CHECK(Walk<Model>(model, state, timetable).run());
  if (flags & FLAG_CASHFLOW) VK_CHECK(expect_cashflows(state.ledger, timetable));
  VK_CHECK(settle_event_graph(state.graph, state.ledger, timetable, flags));
  return std::move(state).into_ledger();
}

}  // namespace

Result run_forward_model(ForwardModel& model, ForwardState& state, const Timetable& timetable) {
  return Walk<ForwardModel>(model, state, timetable).run();
}

std::expected<Ledger, EvaluationError> run_and_settle(ForwardModel& model, ForwardState state,
                                                      const Timetable& timetable, std::uint32_t flags) {
  return walk_and_settle(model, std::move(state), timetable, flags);
}

std::expected<Ledger, EvaluationError> run_forward_model_mc(const McModel& model, const Timetable& timetable) {
  McHooks hooks(model);
  return walk_and_settle(hooks, build_mc_state(model, timetable), timetable, model.settings.flags);
}

std::expected<Ledger, EvaluationError> run_fixed_model(const FixedSettings& settings, const Timetable& timetable) {
  FixedHooks hooks(settings, timetable);
  return walk_and_settle(hooks, build_forward_state(timetable, 1), timetable, settings.flags);
}

std::expected<Values, EvaluationError> fixed_input_value(const FixedSettings& settings, std::string_view name,
                                                         const Values& v, std::int64_t t) {
  const double f = VK_TRY(asset_forward(settings.assets, name, year_fraction(t, settings.pricing_ts)));
  return scale(v, f);
}

}  // namespace vornik
