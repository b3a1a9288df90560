// The message templates of the engine's errors, all in one place.
#include "timetable/errors.h"

#include <charconv>
#include <cmath>

#include "timetable/values.h"

namespace vornik {

std::string format_f64(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[400];  // the longest positional double has 309 + 17 digits
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, r.ptr);
}

std::string length_mismatch_text(std::size_t left, std::size_t right) {
  return fmt::format("Vector lengths {} and {} cannot be combined", left, right);
}

std::string to_string(const LengthMismatch& e) { return length_mismatch_text(e.left, e.right); }

std::string to_string(const SpecError& e) {
  return std::visit(Overload{
                        [](const SpecError::UnknownOp& c) { return fmt::format("Unknown Op '{}'", c.op); },
                        [](const SpecError::Message& c) { return c.text; },
                    },
                    e.v);
}

std::string to_string(const OpError& e) {
  return std::visit(
      Overload{
          [](const OpError::Spec& c) { return fmt::format("Error in Op, caused by \n{}", to_string(c.error)); },
          [](const OpError::TrackNotFound& c) { return fmt::format("Track {} not found", c.track); },
          [](const OpError::UnknownOp& c) { return fmt::format("Unknown Op '{}'", c.op); },
      },
      e.v);
}

std::string to_string(const ModelError& e) {
  return std::visit(
      Overload{
          [](const ModelError::InterpolateError& c) { return fmt::format("InterpolateError {}", c.message); },
          [](const ModelError::BuilderError& c) { return fmt::format("BuilderError {}", c.message); },
          [](const ModelError::RateContext& c) {
            return fmt::format("Error in '{}' rate from time {} to {}, caused by \n'{}'", c.name, F64{c.from},
                               F64{c.to}, to_string(*c.cause));
          },
          [](const ModelError::ValueContext& c) {
            return fmt::format("Error in '{}' value at {}, caused by \n'{}'", c.name, F64{c.time},
                               to_string(*c.cause));
          },
          [](const ModelError::OutOfRange& c) {
            return fmt::format(
                "Error: Interpolation out of range at time {}.\n Perhaps the time range in forwards/discount "
                "data is too short.",
                F64{c.time});
          },
          [](const ModelError::DivideByZero&) { return std::string("Error: Divide by zero"); },
          [](const ModelError::AssetNotFound& c) {
            return fmt::format("Asset '{}' not found in snaps, expressions, or in dataset[ASSETS]", c.name);
          },
      },
      e.v);
}

std::string to_string(const PhraseError& e) {
  return fmt::format("Error in Phrase Evaluation, caused by \n{}", e.text);
}

std::string to_string(const EvaluationError& e) {
  return std::visit(
      Overload{
          [](const EvaluationError::Model& c) { return to_string(c.error); },
          [](const EvaluationError::Op& c) { return to_string(c.error); },
          [](const EvaluationError::Phrase& c) { return to_string(c.error); },
          [](const EvaluationError::Spec& c) { return to_string(c.error); },
          [](const EvaluationError::Event& c) {
            return fmt::format("Error at event:\n  {}, caused by \n{}", c.event, c.message);
          },
          [](const EvaluationError::NotImplemented& c) {
            return fmt::format("Feature Not Implemented: `{}`", c.text);
          },
          [](const EvaluationError::EventSpecs& c) { return fmt::format("Error in Event Specs: {}", c.text); },
          [](const EvaluationError::Message& c) { return c.text; },
          [](const EvaluationError::Arrow& c) {
            return fmt::format("Error Creating Arrow for '{}', caused by \n{}", c.name, c.cause);
          },
          [](const EvaluationError::Interrupted&) { return std::string("Interrupted"); },
      },
      e.v);
}

}  // namespace vornik
