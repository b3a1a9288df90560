// Error types of the engine, as values: each a variant of its cases, printed
// by one to_string that holds every template. The errors that carry Python
// exceptions (DatasetError, TimetableError, PythonCallError) live with the
// binding in python_module/errors.h.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace vornik {

// An abort: a state the data model excludes. The binding turns it into
// PanicException; everything else travels as an error value.
struct Panic : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A 64-bit float as messages print it: the shortest text that reads back to
// the same value, positional, no ".0" for whole numbers; "NaN", "inf", "-inf".
std::string format_f64(double v);
struct F64 {
  double v;
};

// Visitor from lambdas, for std::visit over the error cases.
template <class... F>
struct Overload : F... {
  using F::operator()...;
};

// Propagate the error of a std::expected, else yield its value. Errors are
// the rare path: the compiler keeps their code out of the way.
#define VK_TRY(...)                                                          \
  ({                                                                         \
    auto&& vk_try_result_ = (__VA_ARGS__);                                   \
    if (!vk_try_result_) [[unlikely]] return std::unexpected(std::move(vk_try_result_).error()); \
    std::move(*vk_try_result_);                                              \
  })
#define VK_CHECK(...)                                                        \
  do {                                                                       \
    auto&& vk_check_result_ = (__VA_ARGS__);                                 \
    if (!vk_check_result_) [[unlikely]] return std::unexpected(std::move(vk_check_result_).error()); \
  } while (0)

// Shared by the error types: construct from any one of the cases.
#define VK_ERROR_CASES(Type, ...)                                             \
  using Variant = std::variant<__VA_ARGS__>;                                  \
  Variant v;                                                                 \
  template <class Case>                                                      \
    requires std::is_constructible_v<Variant, Case&&> &&                     \
             (!std::is_same_v<std::remove_cvref_t<Case>, Type>)              \
  Type(Case&& c) : v(std::forward<Case>(c)) {}

// The caller interrupted the call (Ctrl-C) or raised an exception of its
// own; the binding raises that exception instead of this error. A case of
// every error type that a long loop returns.
struct Interrupted {};

struct SpecError {
  struct UnknownOp {
    std::string op;
  };
  struct Message {
    std::string text;
  };
  VK_ERROR_CASES(SpecError, UnknownOp, Message, Interrupted)
};

struct OpError {
  struct Spec {
    SpecError error;
  };
  struct TrackNotFound {
    std::uint64_t track;
  };
  struct UnknownOp {
    std::string op;
  };
  VK_ERROR_CASES(OpError, Spec, TrackNotFound, UnknownOp, Interrupted)
};

// The error ends the call because the caller interrupted it.
bool interrupted(const SpecError& e);
bool interrupted(const OpError& e);

struct ModelError {
  struct InterpolateError {
    std::string message;
  };
  struct BuilderError {
    std::string message;
  };
  struct RateContext {
    std::string name;
    double from;
    double to;
    std::unique_ptr<ModelError> cause;
  };
  struct ValueContext {
    std::string name;
    double time;
    std::unique_ptr<ModelError> cause;
  };
  struct OutOfRange {
    double time;
  };
  struct DivideByZero {};
  struct AssetNotFound {
    std::string name;
  };
  VK_ERROR_CASES(ModelError, InterpolateError, BuilderError, RateContext, ValueContext,
                 OutOfRange, DivideByZero, AssetNotFound)
};

struct PhraseError {
  std::string text;
};

struct EvaluationError {
  struct Model {
    ModelError error;
  };
  struct Op {
    OpError error;
  };
  struct Phrase {
    PhraseError error;
  };
  struct Spec {
    SpecError error;
  };
  struct Event {
    std::string event;
    std::string message;
  };
  struct NotImplemented {
    std::string text;
  };
  struct EventSpecs {
    std::string text;
  };
  struct Message {
    std::string text;
  };
  struct Arrow {
    std::string name;
    std::string cause;
  };
  using Interrupted = vornik::Interrupted;
  VK_ERROR_CASES(EvaluationError, Model, Op, Phrase, Spec, Event, NotImplemented, EventSpecs,
                 Message, Arrow, Interrupted)
  // These four print exactly as their cause, so they wrap implicitly; an
  // interruption stays one.
  EvaluationError(ModelError e) : v(Model{std::move(e)}) {}
  EvaluationError(OpError e) : v(interrupted(e) ? Variant(Interrupted{}) : Variant(Op{std::move(e)})) {}
  EvaluationError(PhraseError e) : v(Phrase{std::move(e)}) {}
  EvaluationError(SpecError e) : v(interrupted(e) ? Variant(Interrupted{}) : Variant(Spec{std::move(e)})) {}
};

bool interrupted(const EvaluationError& e);

std::string to_string(const SpecError& e);
std::string to_string(const OpError& e);
std::string to_string(const ModelError& e);
std::string to_string(const PhraseError& e);
std::string to_string(const EvaluationError& e);

// Text of two vectors that cannot be combined elementwise.
std::string length_mismatch_text(std::size_t left, std::size_t right);

// "Malformed record batch: ..." for a batch that breaks the Arrow format. Keys
// and offsets are checked when the batch is read and again where they are
// used, since the caller's code can rewrite its buffers in between.
SpecError malformed_batch(std::string_view what);
SpecError key_outside_dictionary(std::int64_t key, std::string_view column, std::size_t row,
                                 std::size_t dictionary_length);
SpecError offsets_out_of_order(std::string_view column, std::size_t value);

}  // namespace vornik

template <>
struct fmt::formatter<vornik::F64> : fmt::formatter<std::string_view> {
  auto format(vornik::F64 x, format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(vornik::format_f64(x.v), ctx);
  }
};
