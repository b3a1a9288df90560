// Ops: parsing the op dictionary once per call, and combining an event's
// value into its track's value. Max and Min follow IEEE maxNum / minNum and
// work in place; only Add (and a broadcast of a one-element track) allocates.
#include "timetable/op.h"

#include <bit>
#include <cstdint>
#include <utility>

namespace vornik {

namespace {

// Work of a dictionary value for the interrupt poll, in units of about a
// nanosecond.
constexpr std::uint64_t ENTRY_WORK = 50;

// maxNum: a NaN side yields the other side; +0 counts as larger than -0.
// Written without branches so that the loops below vectorise.
inline double max_num(double a, double b) {
  double r = a > b ? a : b;
  const double tie = std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) & std::bit_cast<std::uint64_t>(b));
  r = a == b ? tie : r;
  return b != b ? a : r;
}

// minNum: the same, with -0 counting as smaller than +0.
inline double min_num(double a, double b) {
  double r = a < b ? a : b;
  const double tie = std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) | std::bit_cast<std::uint64_t>(b));
  r = a == b ? tie : r;
  return b != b ? a : r;
}

template <class F>
std::expected<void, SpecError> combine_in_place(Values& target, const Values& value, F f) {
  const std::size_t n = target.size();
  double* t = target.data();
  if (value.size() == n) {
    const double* v = value.data();
    for (std::size_t i = 0; i < n; ++i) t[i] = f(t[i], v[i]);
  } else if (value.size() == 1) {
    const double v0 = value[0];
    for (std::size_t i = 0; i < n; ++i) t[i] = f(t[i], v0);
  } else {
    // A one-element track stands for the same value everywhere: it grows.
    auto grown = zip_with(target, value, f);
    if (!grown) return std::unexpected(SpecError::Message{length_mismatch_text(target.size(), value.size())});
    target = std::move(*grown);
  }
  return {};
}

bool combines(const Op& op) {
  return op.kind == Op::Kind::Add || op.kind == Op::Kind::Max || op.kind == Op::Kind::Min;
}

// out[i] = op(0.0, v[i]): the track's side is zero. out may be v.
void from_zeros(const Op& op, std::size_t n, const double* v, double* out) {
  switch (op.kind) {
    case Op::Kind::Add:
      for (std::size_t i = 0; i < n; ++i) out[i] = 0.0 + v[i];  // 0.0 + -0.0 is 0.0
      break;
    case Op::Kind::Max:
      for (std::size_t i = 0; i < n; ++i) out[i] = max_num(0.0, v[i]);
      break;
    case Op::Kind::Min:
      for (std::size_t i = 0; i < n; ++i) out[i] = min_num(0.0, v[i]);
      break;
    case Op::Kind::NoOp:
    case Op::Kind::Named:
      break;
  }
}

}  // namespace

std::string_view Op::display() const {
  switch (kind) {
    case Kind::Add:
      return "+";
    case Kind::Max:
      return ">";
    case Kind::Min:
      return "<";
    case Kind::NoOp:
      return "";
    case Kind::Named:
      return name;
  }
  return "";
}

std::expected<std::vector<Op>, SpecError> build_ops_table(const StringsView& dictionary) {
  if (!dictionary.utf8) return std::unexpected(SpecError::Message{"Error in ops column, expected strings"});
  return dictionary_table(dictionary, ENTRY_WORK, [&](std::size_t i) -> std::expected<Op, SpecError> {
    Op op;
    if (!dictionary.valid(i)) return op;  // NoOp
    const std::string_view text = VK_TRY(dictionary.at(i));
    if (text == "+") {
      op.kind = Op::Kind::Add;
    } else if (text == ">") {
      op.kind = Op::Kind::Max;
    } else if (text == "<") {
      op.kind = Op::Kind::Min;
    } else {
      op.kind = Op::Kind::Named;
      op.name = std::string(text);
    }
    return op;
  });
}

std::expected<void, SpecError> apply_other_op(const Op& op, Values& target, const Values& value) {
  switch (op.kind) {
    case Op::Kind::Add: {
      if (value.size() == 1) {
        // The sum has the track's length: add in place, the same arithmetic.
        double* t = target.data();
        const double v0 = value[0];
        for (std::size_t i = 0; i < target.size(); ++i) t[i] = t[i] + v0;
        return {};
      }
      auto sum = zip_with(target, value, [](double a, double b) { return a + b; });
      if (!sum) return std::unexpected(SpecError::Message{length_mismatch_text(target.size(), value.size())});
      target = std::move(*sum);
      return {};
    }
    case Op::Kind::Max:
      return combine_in_place(target, value, max_num);
    case Op::Kind::Min:
      return combine_in_place(target, value, min_num);
    case Op::Kind::NoOp:
    case Op::Kind::Named:
      break;
  }
  return std::unexpected(SpecError::UnknownOp{std::string(op.display())});
}

std::expected<Values, SpecError> apply_op_to_zeros(const Op& op, std::size_t n, Values&& value) {
  if (!combines(op) || value.size() != n) return apply_op_to_zeros(op, n, std::as_const(value));
  from_zeros(op, n, value.data(), value.data());
  return std::move(value);
}

std::expected<Values, SpecError> apply_op_to_zeros(const Op& op, std::size_t n, const Values& value) {
  if (combines(op) && value.size() == n) {
    Values out = Values::uninit(n);
    from_zeros(op, n, value.data(), out.data());
    return out;
  }
  if (combines(op) && value.size() == 1) {
    double first;
    from_zeros(op, 1, value.data(), &first);
    return Values::filled(n, first);
  }
  Values zeros = Values::zeros(n);  // apply_op grows it, or refuses the op or the lengths
  VK_CHECK(apply_op(op, zeros, value));
  return zeros;
}

}  // namespace vornik
