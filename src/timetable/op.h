// Ops: how an event's value combines with its track's value. Parsed once per
// call from the op dictionary; applied by the ledger.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "timetable/columns.h"
#include "timetable/errors.h"
#include "timetable/values.h"

namespace vornik {

struct Op {
  enum class Kind : std::uint8_t { Add, Max, Min, NoOp, Named };
  Kind kind = Kind::NoOp;
  std::string name;  // the text of a Named op

  // "+", ">", "<", "" for NoOp, the text of a Named op.
  std::string_view display() const;
};

// One Op per value of the op dictionary, in dictionary order.
std::expected<std::vector<Op>, SpecError> build_ops_table(const StringsView& dictionary);

// apply_op for every case but an Add of two vectors of one length.
std::expected<void, SpecError> apply_other_op(const Op& op, Values& target, const Values& value);

// Combines value into target: Add, Max, Min; NoOp and Named are refused
// ("Unknown Op '{}'") and leave target untouched. Inline for the booking of
// most rows: an Add of vectors of one length.
inline std::expected<void, SpecError> apply_op(const Op& op, Values& target, const Values& value) {
  if (op.kind != Op::Kind::Add || value.size() != target.size()) return apply_other_op(op, target, value);
  double* t = target.data();
  const double* v = value.data();
  for (std::size_t i = 0; i < target.size(); ++i) t[i] = t[i] + v[i];
  return {};
}

// What apply_op makes of a zero track of length n, without the zeros:
// op(0.0, value[i]), in value's own buffer when it has length n.
std::expected<Values, SpecError> apply_op_to_zeros(const Op& op, std::size_t n, Values&& value);
std::expected<Values, SpecError> apply_op_to_zeros(const Op& op, std::size_t n, const Values& value);

}  // namespace vornik
