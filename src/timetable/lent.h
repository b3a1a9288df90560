// A float64 array lent by the caller's code, read where it lies. The engine
// copies what it keeps at once, before the caller's code runs again, and
// fuses that copy with the scaling it needs: one pass instead of two.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <span>

#include "timetable/values.h"

namespace vornik {

class LentArray {
 public:
  // Releases the lender's hold on the array when the view is dropped.
  using Owner = std::unique_ptr<const void, void (*)(const void*)>;

  LentArray(const std::byte* data, std::ptrdiff_t stride, std::size_t len, bool swapped, Owner owner)
      : data_(data), stride_(stride), len_(len), swapped_(swapped), owner_(std::move(owner)) {}
  // Contiguous doubles in native order that outlive the view.
  static LentArray over(std::span<const double> xs);

  std::size_t size() const { return len_; }
  Values copy() const;
  // a[i] × v[i], a one-element side repeated.
  std::expected<Values, LengthMismatch> times(const Values& v) const;
  // v[i] × a[i], in v's buffer when v has the result's length.
  std::expected<Values, LengthMismatch> scale(Values v) const;

 private:
  // Contiguous, aligned and in native order: read as plain doubles.
  const double* plain() const;

  const std::byte* data_;
  std::ptrdiff_t stride_;  // bytes from one element to the next
  std::size_t len_;
  bool swapped_;  // stored in the other byte order
  Owner owner_;
};

}  // namespace vornik
