// Read-only views of the timetable's Arrow columns. Nothing is copied: each
// view points into the imported buffers with the array offset applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <string_view>
#include <vector>

#include "timetable/arrow_abi.h"
#include "timetable/errors.h"
#include "timetable/interrupt.h"

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
  std::int32_t extent = 0;  // the last offset when the batch was read: the bytes of `data`
  std::string_view column = {};  // for messages
  std::int32_t offset(std::size_t i) const { return load(offsets + i); }
  // Text i. The caller's code can rewrite the offsets after the batch was
  // read, so each is read once and checked against what was seen then.
  std::expected<std::string_view, SpecError> at(std::size_t i) const {
    const std::int32_t begin = offset(i);
    const std::int32_t end = offset(i + 1);
    if (begin < 0 || begin > end || end > extent) return std::unexpected(offsets_out_of_order(column, i));
    return std::string_view(data + begin, static_cast<std::size_t>(end - begin));
  }
};

// One entry per value of a dictionary, in order, made by entry(i) (an
// expected); each spends `work` from the poll: a dictionary may hold a value
// per row.
template <class Entry>
auto dictionary_table(const StringsView& dictionary, std::uint64_t work, Entry entry)
    -> std::expected<std::vector<typename decltype(entry(std::size_t{0}))::value_type>, SpecError> {
  InterruptPoll poll;
  std::vector<typename decltype(entry(std::size_t{0}))::value_type> table;
  table.reserve(dictionary.length);
  for (std::size_t i = 0; i < dictionary.length; ++i) {
    VK_CHECK(poll.spend(work));
    table.push_back(VK_TRY(entry(i)));
  }
  return table;
}

struct DictColumn {
  ColumnView<std::int64_t> keys;
  StringsView dictionary;
  // The key of a null cell: no dictionary reaches it.
  static constexpr std::uint64_t NULL_KEY = UINT64_MAX;
  // The row's key, NULL_KEY for a null cell. Keys and validity are checked
  // when the batch is read, but the caller's code can rewrite them since:
  // read once, checked again here. (A plain number, not an optional: this
  // runs at every row, and an optional inside an expected is kept in memory.)
  [[gnu::always_inline]] std::expected<std::uint64_t, SpecError> key_at(std::size_t row) const {
    if (!keys.valid(row)) return NULL_KEY;
    const std::int64_t key = keys[row];
    if (static_cast<std::uint64_t>(key) >= dictionary.length) [[unlikely]]
      return key_outside(key, row);
    return static_cast<std::uint64_t>(key);
  }
  // The error of key_at, built out of line.
  std::expected<std::uint64_t, SpecError> key_outside(std::int64_t key, std::size_t row) const;
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
