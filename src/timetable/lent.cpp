// Reading a lent array: plain doubles are read in place; a strided,
// misaligned or byte-swapped array is copied element by element first.
#include "timetable/lent.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace vornik {

namespace {

constexpr auto mul = [](double x, double y) { return x * y; };
constexpr auto F64 = static_cast<std::ptrdiff_t>(sizeof(double));

}  // namespace

LentArray LentArray::over(std::span<const double> xs) {
  return LentArray(reinterpret_cast<const std::byte*>(xs.data()), F64, xs.size(), false,
                   Owner(nullptr, [](const void*) {}));
}

const double* LentArray::plain() const {
  if (swapped_ || stride_ != F64) return nullptr;
  if (reinterpret_cast<std::uintptr_t>(data_) % alignof(double) != 0) return nullptr;
  return reinterpret_cast<const double*>(data_);
}

Values LentArray::copy() const {
  Values out = Values::uninit(len_);
  if (!swapped_ && stride_ == F64) {
    if (len_ > 0) std::memcpy(out.data(), data_, len_ * sizeof(double));
    return out;
  }
  for (std::size_t i = 0; i < len_; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, data_ + static_cast<std::ptrdiff_t>(i) * stride_, sizeof bits);
    out[i] = std::bit_cast<double>(swapped_ ? std::byteswap(bits) : bits);
  }
  return out;
}

std::expected<Values, LengthMismatch> LentArray::times(const Values& v) const {
  auto n = broadcast_len(len_, v.size());
  if (!n) return std::unexpected(LengthMismatch{len_, v.size()});
  const double* a = plain();
  Values copied;
  if (a == nullptr) a = (copied = copy()).data();
  Values out = Values::uninit(*n);
  zip_into(out.data(), *n, a, len_, v.data(), v.size(), mul);
  return out;
}

std::expected<Values, LengthMismatch> LentArray::scale(Values v) const {
  auto n = broadcast_len(v.size(), len_);
  if (!n) return std::unexpected(LengthMismatch{v.size(), len_});
  const double* a = plain();
  Values copied;
  if (a == nullptr) a = (copied = copy()).data();
  if (*n == v.size()) {
    zip_into(v.data(), *n, v.data(), v.size(), a, len_, mul);
    return v;
  }
  Values out = Values::uninit(*n);
  zip_into(out.data(), *n, v.data(), v.size(), a, len_, mul);
  return out;
}

}  // namespace vornik
