// The message templates of the engine's errors, all in one place.
#include "timetable/errors.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "timetable/values.h"

namespace vornik {

std::string format_f64(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // Fixed form would print every digit of a large binary value; the shortest
  // round-trip digits come from the scientific form and are placed here.
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
  const char* p = sci;
  const bool negative = *p == '-';
  if (negative) ++p;
  char digits[17];
  int n = 0;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits[n++] = *p;
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
  const int point = exponent + 1;  // digits before the decimal point
  const int body = point <= 0 ? 2 - point + n : point < n ? n + 1 : point;
  std::string out(negative + body, '0');
  char* o = out.data() + negative;
  if (negative) out[0] = '-';
  if (point <= 0) {
    o[1] = '.';
    std::copy(digits, digits + n, o + 2 - point);
  } else if (point < n) {
    std::copy(digits, digits + point, o);
    o[point] = '.';
    std::copy(digits + point, digits + n, o + point + 1);
  } else {
    std::copy(digits, digits + n, o);
  }
  return out;
}

std::string length_mismatch_text(std::size_t left, std::size_t right) {
  return fmt::format("Vector lengths {} and {} cannot be combined", left, right);
}

SpecError malformed_batch(std::string_view what) {
  return SpecError::Message{fmt::format("Malformed record batch: {}", what)};
}

SpecError key_outside_dictionary(std::int64_t key, std::string_view column, std::size_t row,
                                 std::size_t dictionary_length) {
  return malformed_batch(fmt::format("key {} of '{}' at row {} is outside its dictionary of {} values", key, column,
                                     row, dictionary_length));
}

SpecError offsets_out_of_order(std::string_view column, std::size_t value) {
  return malformed_batch(fmt::format("the dictionary of '{}' has offsets out of order at value {}", column, value));
}

bool interrupted(const SpecError& e) { return std::holds_alternative<Interrupted>(e.v); }
bool interrupted(const OpError& e) {
  const auto* spec = std::get_if<OpError::Spec>(&e.v);
  return std::holds_alternative<Interrupted>(e.v) || (spec != nullptr && interrupted(spec->error));
}
bool interrupted(const EvaluationError& e) { return std::holds_alternative<Interrupted>(e.v); }

std::string to_string(const LengthMismatch& e) { return length_mismatch_text(e.left, e.right); }

std::string to_string(const SpecError& e) {
  return std::visit(Overload{
                        [](const SpecError::UnknownOp& c) { return fmt::format("Unknown Op '{}'", c.op); },
                        [](const SpecError::Message& c) { return c.text; },
                        [](const Interrupted&) { return std::string("Interrupted"); },
                    },
                    e.v);
}

std::string to_string(const OpError& e) {
  return std::visit(
      Overload{
          [](const OpError::Spec& c) { return fmt::format("Error in Op, caused by \n{}", to_string(c.error)); },
          [](const OpError::TrackNotFound& c) { return fmt::format("Track {} not found", c.track); },
          [](const OpError::UnknownOp& c) { return fmt::format("Unknown Op '{}'", c.op); },
          [](const Interrupted&) { return std::string("Interrupted"); },
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
