// Hand-built contracts for the engine tests: Timetables over buffers this
// fixture owns, fake expressions, a scripted Monte Carlo state object and a
// recording history source, so that the runs are tested without Python.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "curves/curves.h"
#include "hist/value_source.h"
#include "model/model.h"
#include "timetable/timetable.h"

namespace vornik::testing {

using Text = std::optional<std::string>;

struct Row {
  std::optional<std::int64_t> time;
  Text track;
  Text op;
  double qty = 1.0;
  Text unit;
};

inline constexpr std::int64_t T0 = 1704067200000;  // 2024-01-01T00:00:00Z
inline constexpr std::int64_t DAY = 86400000;

// A column of texts as Arrow lays it out: offsets, bytes and a validity bitmap.
struct OwnedStrings {
  std::vector<std::int32_t> offsets{0};
  std::string data;
  std::vector<std::uint8_t> bits;

  explicit OwnedStrings(const std::vector<Text>& texts) {
    bits.assign(texts.size() / 8 + 1, 0);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (texts[i]) {
        data += *texts[i];
        bits[i / 8] |= std::uint8_t(1u << (i % 8));
      }
      offsets.push_back(static_cast<std::int32_t>(data.size()));
    }
  }
  StringsView view() const {
    return {.utf8 = true, .offsets = offsets.data(), .data = data.data(), .valid = {bits.data(), 0},
            .length = offsets.size() - 1, .extent = offsets.back()};
  }
};

template <class T>
struct OwnedColumn {
  std::vector<T> values;
  std::vector<std::uint8_t> bits;
  void push(std::optional<T> v) {
    if (values.size() % 8 == 0) bits.push_back(0);
    if (v) bits.back() |= std::uint8_t(1u << (values.size() % 8));
    values.push_back(v.value_or(T{}));
  }
  ColumnView<T> view() const { return {values.data(), {bits.data(), 0}, values.size()}; }
};

// A cell holding this text gets a valid key to a null dictionary value.
inline const std::string NULL_VALUE = "\x01null";

// Keys into a dictionary of first appearance (or of the given values).
struct OwnedDict {
  std::vector<Text> values;
  OwnedColumn<std::int64_t> keys;
  std::unique_ptr<OwnedStrings> strings;

  OwnedDict(const std::vector<Text>& cells, std::vector<Text> dictionary) : values(std::move(dictionary)) {
    for (const Text& cell : cells) {
      if (!cell) {
        keys.push(std::nullopt);
        continue;
      }
      const Text wanted = *cell == NULL_VALUE ? Text{} : cell;
      std::size_t k = 0;
      while (k < values.size() && values[k] != wanted) ++k;
      if (k == values.size()) values.push_back(wanted);
      keys.push(static_cast<std::int64_t>(k));
    }
    strings = std::make_unique<OwnedStrings>(values);
  }
  DictColumn view() const { return {keys.view(), strings->view()}; }
};

// A timetable and the buffers it borrows; not movable, so the views stay put.
class Contract {
 public:
  // `tracks` fixes the start of the track dictionary (track key 0 first).
  Contract(const std::vector<Row>& rows, SnapperMap snappers = {}, PhraseMap phrases = {},
           std::vector<Text> tracks = {}, std::vector<Text> ops = {})
      : track_(column(rows, &Row::track), std::move(tracks)),
        op_(column(rows, &Row::op), std::move(ops)),
        unit_(column(rows, &Row::unit), {}) {
    for (const Row& r : rows) {
      time_.push(r.time);
      quantity_.push(r.qty);
    }
    TimetableColumns columns{time_.view(), track_.view(), op_.view(), quantity_.view(), unit_.view()};
    auto built = timetable_from_columns(columns, std::move(snappers), std::move(phrases));
    if (!built) throw std::runtime_error(to_string(SpecError(built.error())));
    timetable_ = std::make_unique<Timetable>(std::move(*built));
  }
  Contract(const Contract&) = delete;

  const Timetable& timetable() const { return *timetable_; }
  operator const Timetable&() const { return *timetable_; }

 private:
  static std::vector<Text> column(const std::vector<Row>& rows, Text Row::*field) {
    std::vector<Text> out;
    for (const Row& r : rows) out.push_back(r.*field);
    return out;
  }

  OwnedColumn<std::int64_t> time_;
  OwnedDict track_;
  OwnedDict op_;
  OwnedColumn<double> quantity_;
  OwnedDict unit_;
  std::unique_ptr<Timetable> timetable_;
};

// An expression whose evaluation is a C++ function; counts its calls.
class FakeExpression final : public Expression {
 public:
  using Fn = std::function<std::expected<std::vector<Values>, std::string>(std::vector<Values>)>;
  FakeExpression(std::vector<std::string> inputs, Fn fn) : inputs_(std::move(inputs)), fn_(std::move(fn)) {}
  std::span<const std::string> inputs() const override { return inputs_; }
  std::expected<std::vector<Values>, std::string> evaluate(std::vector<Values> inputs) const override {
    ++calls;
    return fn_(std::move(inputs));
  }
  mutable int calls = 0;

 private:
  std::vector<std::string> inputs_;
  Fn fn_;
};

inline std::unique_ptr<Expression> expression(std::vector<std::string> inputs, FakeExpression::Fn fn) {
  return std::make_unique<FakeExpression>(std::move(inputs), std::move(fn));
}
// An expression that returns these vectors, whatever its inputs.
inline std::unique_ptr<Expression> constant(std::vector<std::vector<double>> outputs,
                                            std::vector<std::string> inputs = {}) {
  return expression(std::move(inputs), [outputs](std::vector<Values>) {
    std::vector<Values> out;
    for (const auto& o : outputs) out.push_back(Values::from(o));
    return out;
  });
}

// The Monte Carlo state object: advance answers from a script, in turn
// (repeating the last answer); get_value answers from a table.
class ScriptedState final : public McStateObject {
 public:
  using Answer = std::function<std::expected<Advance, EvaluationError>()>;
  std::vector<Answer> script;
  std::map<std::string, std::vector<double>, std::less<>> arrays;
  std::map<std::string, std::string, std::less<>> failing;  // name -> error text
  std::vector<double> advanced;                             // dt of each advance
  std::vector<std::string> asked;                           // names given to get_value

  std::expected<Advance, EvaluationError> advance(double dt) override {
    advanced.push_back(dt);
    if (script.empty()) return Other{};
    return script[std::min(advanced.size(), script.size()) - 1]();
  }
  std::expected<std::optional<LentArray>, EvaluationError> get_value(std::string_view name) override {
    asked.emplace_back(name);
    if (auto f = failing.find(name); f != failing.end()) return std::unexpected(EvaluationError::Message{f->second});
    if (auto a = arrays.find(name); a != arrays.end()) return LentArray::over(a->second);
    return std::nullopt;
  }
};

inline ScriptedState::Answer answer_number(double x) {
  return [x]() -> std::expected<McStateObject::Advance, EvaluationError> { return x; };
}
inline ScriptedState::Answer answer_array(std::vector<double> a) {
  return [a]() -> std::expected<McStateObject::Advance, EvaluationError> { return LentArray::over(a); };
}
inline ScriptedState::Answer answer_other() {
  return []() -> std::expected<McStateObject::Advance, EvaluationError> { return McStateObject::Other{}; };
}

// A history source from a table of values; records every lookup.
class TableSource final : public ValueSource {
 public:
  explicit TableSource(std::map<std::string, double, std::less<>> table, std::string base = "USD")
      : ValueSource(std::move(base)), table_(std::move(table)) {}
  std::vector<std::pair<std::string, std::int64_t>>* log = nullptr;

 protected:
  std::expected<double, EvaluationError> lookup(std::string_view name, std::int64_t t) override {
    if (log) log->emplace_back(std::string(name), t);
    if (auto it = table_.find(name); it != table_.end()) return it->second;
    return std::unexpected(EvaluationError::Message{"no history for " + std::string(name)});
  }

 private:
  std::map<std::string, double, std::less<>> table_;
};

// Base USD on a flat 5% zero curve to 50 years; EUR a flat forward of 1.1.
inline AssetTable flat_market() {
  AssetTable table;
  table.base = "USD";
  table.assets.emplace("USD", *build_asset({0.0, 50.0}, {0.0, 0.05 * 50.0}, AssetBase::Base));
  table.assets.emplace("EUR", *build_asset({0.0, 50.0}, {std::log(1.1), std::log(1.1)}, AssetBase::InBase));
  return table;
}

inline double years(std::int64_t ms) { return static_cast<double>(ms) / MS_PER_YEAR; }

inline std::vector<double> as_vector(const Values& v) { return {v.begin(), v.end()}; }

}  // namespace vornik::testing
