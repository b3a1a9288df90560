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

class Walk {
 public:
  Walk(ForwardModel& model, ForwardState& state, const Timetable& timetable)
      : model_(model), state_(state), timetable_(timetable) {}

  Result run() {
    std::int64_t clock = model_.clock_start();
    for (std::size_t i = 0; i < timetable_.rows(); ++i) {
      const std::int64_t t = VK_TRY(event_time_at(timetable_, i, clock, model_.null_time_text()));
      VK_CHECK(model_.clock_step(state_, clock, t));
      clock = t;
      if (auto done = row(i, t); !done) {
        return std::unexpected(event_error(timetable_, i, to_string(done.error())));
      }
      VK_CHECK(poll_.spend(ROW_WORK + state_.ledger.len));
    }
    return {};
  }

 private:
  // One row by its unit; run() wraps every error of it with the row.
  Result row(std::size_t i, std::int64_t t) {
    t_ = t;
    const Op& op = *VK_TRY(timetable_.op_at(i));
    const std::optional<std::uint64_t> key = VK_TRY(timetable_.unit_key_at(i));
    if (!key) return std::unexpected(EvaluationError::EventSpecs{"Missing Unit Name"});
    const Unit& unit = timetable_.units[*key];
    switch (unit.kind) {
      case Unit::Kind::Track:
        set_node_track_ref(state_.graph, i, unit.track);
        return {};
      case Unit::Kind::Asset: {
        Values value = VK_TRY(model_.asset_value(state_, unit.name, event_scale(i), t));
        return record_event_value(i, std::move(value), op);
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
        Values value = VK_TRY(product(event_scale(i), snap->second));
        return record_event_value(i, std::move(value), op);
      }
      case Unit::Kind::Phrase: {
        const Expression* phrase = timetable_.find_phrase(unit.name);
        if (phrase == nullptr) {
          return std::unexpected(EvaluationError::EventSpecs{fmt::format("Phrase not found#{}", unit.name)});
        }
        Values value = VK_TRY(evaluate_phrase(unit.name, *phrase));
        value = VK_TRY(product(std::move(value), event_scale(i)));
        return record_event_value(i, std::move(value), op);
      }
    }
    return {};
  }

  // numeraire × quantity; formed only for the units that use it.
  Values event_scale(std::size_t i) const { return scale(state_.numeraire, timetable_.quantity_at(i)); }

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
    for (const std::string& name : names) arrays.push_back(VK_TRY(resolve_input_value(name)));
    return arrays;
  }

  // A phrase, else a stored snap (copied, unscaled), else the model's asset.
  std::expected<Values, EvaluationError> resolve_input_value(std::string_view name) {
    if (const Expression* phrase = timetable_.find_phrase(name)) return evaluate_phrase(name, *phrase);
    if (auto snap = state_.snaps.find(name); snap != state_.snaps.end()) return snap->second.clone();
    return model_.asset_value(state_, name, ONE, t_);
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

  // A named op's weight is taken now, unscaled; settlement reads the op again.
  Result record_event_value(std::size_t i, Values value, const Op& op) {
    if (op.kind == Op::Kind::Named) {
      Values weight = VK_TRY(resolve_input_value(op.name));
      set_node_choice(state_.graph, i, std::move(value), std::move(weight));
    } else {
      set_node_value(state_.graph, i, std::move(value));
    }
    return {};
  }

  inline static const Values ONE = Values::of({1.0});

  ForwardModel& model_;
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
  std::expected<Values, EvaluationError> asset_value(const ForwardState& state, std::string_view name,
                                                     const Values& v, std::int64_t t) override {
    return input_value_array(model_, state, v, name, t);
  }

 private:
  const McModel& model_;
};

class FixedHooks final : public ForwardModel {
 public:
  explicit FixedHooks(const FixedSettings& settings) : settings_(settings) {}
  std::int64_t clock_start() const override { return settings_.pricing_ts; }
  std::string_view null_time_text() const override { return "No event time"; }
  Result clock_step(ForwardState& state, std::int64_t, std::int64_t t) override {
    const double df = VK_TRY(discount_factor(settings_.assets, year_fraction(t, settings_.pricing_ts)));
    state.numeraire = Values::of({df});
    return {};
  }
  std::expected<Values, EvaluationError> asset_value(const ForwardState&, std::string_view name, const Values& v,
                                                     std::int64_t t) override {
    return fixed_input_value(settings_, name, v, t);
  }

 private:
  const FixedSettings& settings_;
};

}  // namespace

Result run_forward_model(ForwardModel& model, ForwardState& state, const Timetable& timetable) {
  return Walk(model, state, timetable).run();
}

std::expected<Ledger, EvaluationError> run_and_settle(ForwardModel& model, ForwardState state,
                                                      const Timetable& timetable, std::uint32_t flags) {
  VK_CHECK(run_forward_model(model, state, timetable));
  VK_CHECK(settle_event_graph(state.graph, state.ledger, timetable, flags));
  return std::move(state).into_ledger();
}

std::expected<Ledger, EvaluationError> run_forward_model_mc(const McModel& model, const Timetable& timetable) {
  McHooks hooks(model);
  return run_and_settle(hooks, build_mc_state(model, timetable), timetable, model.settings.flags);
}

std::expected<Ledger, EvaluationError> run_fixed_model(const FixedSettings& settings, const Timetable& timetable) {
  FixedHooks hooks(settings);
  return run_and_settle(hooks, build_forward_state(timetable, 1), timetable, settings.flags);
}

std::expected<Values, EvaluationError> fixed_input_value(const FixedSettings& settings, std::string_view name,
                                                         const Values& v, std::int64_t t) {
  const double f = VK_TRY(asset_forward(settings.assets, name, year_fraction(t, settings.pricing_ts)));
  return scale(v, f);
}

}  // namespace vornik
