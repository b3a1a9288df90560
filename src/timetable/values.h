// Value vectors of the engine: one element per path or grid point, where a
// one-element vector stands for the same value everywhere. Buffers are
// move-only so that every copy is visible (clone()), and a buffer can give
// its memory away (release()) to become a NumPy array's data. A buffer of
// at most one element keeps it inline: the fixed and backtest runs make
// several such vectors per row and never touch the heap for them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "timetable/pool.h"

namespace vornik {

template <class T>
class Buffer {
 public:
  // Memory given away by release(): freed with free_raw(data, len, cap).
  struct Raw {
    T* data;
    std::size_t len;
    std::size_t cap;
  };

  Buffer() = default;
  // n uninitialised elements; callers fill every one.
  static Buffer uninit(std::size_t n) { return Buffer(n); }
  static Buffer filled(std::size_t n, T value) {
    Buffer b(n);
    std::fill_n(b.data_, n, value);
    return b;
  }
  static Buffer zeros(std::size_t n) { return filled(n, T{}); }
  static Buffer of(std::initializer_list<T> items) {
    Buffer b(items.size());
    std::copy(items.begin(), items.end(), b.data_);
    return b;
  }
  static Buffer from(std::span<const T> items) {
    Buffer b(items.size());
    std::copy(items.begin(), items.end(), b.data_);
    return b;
  }

  Buffer(Buffer&& other) noexcept { take(other); }
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      free_heap();
      take(other);
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { free_heap(); }

  Buffer clone() const { return from(span()); }

  std::size_t size() const { return len_; }
  bool empty() const { return len_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + len_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + len_; }
  std::span<T> span() { return {data_, len_}; }
  std::span<const T> span() const { return {data_, len_}; }

  Raw release() && {
    // NumPy frees what it is given with free_raw: inline and moved-from
    // buffers hand over heap memory of their own (never a null pointer).
    if (!on_heap()) {
      T* heap = static_cast<T*>(vector_alloc(bytes(len_)));
      std::copy_n(data_, len_, heap);
      data_ = heap;
    }
    Raw raw{data_, len_, len_};
    data_ = nullptr;
    len_ = 0;
    return raw;
  }
  static void free_raw(void* data, std::size_t /*len*/, std::size_t cap) { vector_free(data, bytes(cap)); }

 private:
  explicit Buffer(std::size_t n) : len_(n) {
    if (n <= 1) {
      data_ = inline_;
      return;
    }
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    data_ = static_cast<T*>(vector_alloc(bytes(n)));
  }
  // Never zero, so an empty vector still hands NumPy real memory.
  static std::size_t bytes(std::size_t n) { return std::max<std::size_t>(n, 1) * sizeof(T); }

  bool is_inline() const { return data_ == inline_; }
  bool on_heap() const { return data_ != nullptr && !is_inline(); }
  void free_heap() {
    if (on_heap()) vector_free(data_, bytes(len_));
  }
  // Moves other's elements here and leaves it empty; an inline element is
  // copied, since its address belongs to other.
  void take(Buffer& other) noexcept {
    len_ = std::exchange(other.len_, 0);
    if (other.is_inline()) {
      inline_[0] = other.inline_[0];
      data_ = inline_;
    } else {
      data_ = other.data_;
    }
    other.data_ = nullptr;
  }

  T* data_ = nullptr;
  std::size_t len_ = 0;
  T inline_[1] = {};  // the element of a buffer of length 1
};

using Values = Buffer<double>;
using Mask = Buffer<std::uint64_t>;

// The length of an elementwise combination: equal lengths, or one side of 1.
inline std::optional<std::size_t> broadcast_len(std::size_t a, std::size_t b) {
  if (a == b || b == 1) return a;
  if (a == 1) return b;
  return std::nullopt;
}

struct LengthMismatch {
  std::size_t left;
  std::size_t right;
};
std::string to_string(const LengthMismatch& e);

// out[i] = f(x[i], y[i]) over n elements, a one-element side repeated; out
// may be x. Three plain loops, so the compiler can vectorise each.
template <class F>
void zip_into(double* out, std::size_t n, const double* x, std::size_t nx, const double* y, std::size_t ny, F f) {
  if (nx == ny) {
    for (std::size_t i = 0; i < n; ++i) out[i] = f(x[i], y[i]);
  } else if (nx == 1) {
    const double x0 = x[0];
    for (std::size_t i = 0; i < n; ++i) out[i] = f(x0, y[i]);
  } else {
    const double y0 = y[0];
    for (std::size_t i = 0; i < n; ++i) out[i] = f(x[i], y0);
  }
}

// f(a[i], b[i]) with a one-element side repeated.
template <class F>
std::expected<Values, LengthMismatch> zip_with(const Values& a, const Values& b, F f) {
  auto n = broadcast_len(a.size(), b.size());
  if (!n) return std::unexpected(LengthMismatch{a.size(), b.size()});
  Values out = Values::uninit(*n);
  zip_into(out.data(), *n, a.data(), a.size(), b.data(), b.size(), f);
  return out;
}

inline std::expected<Values, LengthMismatch> multiply(const Values& a, const Values& b) {
  return zip_with(a, b, [](double x, double y) { return x * y; });
}

// a * s for a scalar s.
inline Values scale(const Values& a, double s) {
  Values out = Values::uninit(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] * s;
  return out;
}

}  // namespace vornik
