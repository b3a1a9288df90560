// Read-only views of the timetable's Arrow columns. Nothing is copied: each
// view points into the imported buffers with the array offset applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <string_view>

#include "timetable/arrow_abi.h"
#include "timetable/errors.h"

namespace vornik {

// Validity bitmap of a column; no bitmap means every cell is valid.
struct Validity {
  const std::uint8_t* bits = nullptr;
  std::int64_t offset = 0;  // bit index of row 0
  bool operator()(std::size_t row) const {
    if (bits == nullptr) return true;
    const std::uint64_t bit = static_cast<std::uint64_t>(offset) + row;
    return (bits[bit >> 3] >> (bit & 7)) & 1;
  }
};

// Arrow's C interface promises no alignment, so buffers are read through
// memcpy, which compiles to a plain load.
template <class T>
T load(const T* p) {
  T x;
  std::memcpy(&x, p, sizeof x);
  return x;
}

template <class T>
struct ColumnView {
  const T* values = nullptr;  // row 0 first
  Validity valid;
  std::size_t length = 0;
  T operator[](std::size_t row) const { return load(values + row); }
};

// The values of a dictionary. Only Utf8 is read; another type is kept as
// `utf8 == false` and refused when the unit and op tables are built.
struct StringsView {
  bool utf8 = false;
  const std::int32_t* offsets = nullptr;  // row 0 first; length + 1 entries
  const char* data = nullptr;
  Validity valid;
  std::size_t length = 0;
  std::int32_t offset(std::size_t i) const { return load(offsets + i); }
  std::string_view at(std::size_t i) const {
    return {data + offset(i), static_cast<std::size_t>(offset(i + 1) - offset(i))};
  }
};

struct DictColumn {
  ColumnView<std::int64_t> keys;
  StringsView dictionary;
};

struct TimetableColumns {
  ColumnView<std::int64_t> time;
  DictColumn track;
  DictColumn op;
  ColumnView<double> quantity;
  DictColumn unit;
};

// Finds and checks the five columns of a record batch (time, track, op,
// quantity, unit, in that order). The views borrow from the batch.
std::expected<TimetableColumns, SpecError> read_timetable_columns(const ArrowBatch& batch);

}  // namespace vornik
