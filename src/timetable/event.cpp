// Finding and checking the five timetable columns in an imported batch.
// The batch comes from outside the process, so every structure that a view
// will read through (counts, offsets, buffers, keys) is checked here first.
#include <fmt/format.h>

#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "timetable/columns.h"
#include "timetable/interrupt.h"

namespace vornik {

namespace {

template <class T>
using Result = std::expected<T, SpecError>;

// Work per item of the passes over keys and offsets, for the interrupt poll:
// a vectorised pass, and a pass that stops at the first fault.
constexpr std::uint64_t PASS_WORK = 1;
constexpr std::uint64_t SEARCH_WORK = 2;

std::unexpected<SpecError> malformed(std::string_view what) { return std::unexpected(malformed_batch(what)); }

std::unexpected<SpecError> not_found(std::string_view name) {
  return std::unexpected<SpecError>(SpecError::Message{fmt::format("Column '{}' not found", name)});
}

std::unexpected<SpecError> wrong_type(std::string_view name) {
  return std::unexpected<SpecError>(
      SpecError::Message{fmt::format("Couldn't convert column '{}', likely incorrect type", name)});
}

// offset and length are non-negative and their sum fits.
bool sane_extent(const ArrowArray& a) {
  return a.offset >= 0 && a.length >= 0 && a.offset <= std::numeric_limits<std::int64_t>::max() - a.length;
}

struct Field {
  std::string_view name;
  const ArrowSchema* schema;
  const ArrowArray* array;
};

// The rows [offset, offset + length) of the struct, which every child covers.
struct Rows {
  std::int64_t offset;
  std::size_t length;
};

Result<Rows> check_struct(const ArrowBatch& batch) {
  const ArrowSchema& schema = batch.schema();
  const ArrowArray& array = batch.array();
  if (schema.release == nullptr || array.release == nullptr) return malformed("the batch has been released");
  if (schema.format == nullptr || std::strcmp(schema.format, "+s") != 0) return malformed("not a struct array");
  if (!sane_extent(array)) return malformed("negative offset or length");
  if (schema.n_children < 0 || schema.n_children != array.n_children)
    return malformed(
        fmt::format("the schema has {} fields and the array {} children", schema.n_children, array.n_children));
  if (schema.n_children > 0 && (schema.children == nullptr || array.children == nullptr))
    return malformed("missing children");
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema* field = schema.children[i];
    const ArrowArray* child = array.children[i];
    if (field == nullptr || child == nullptr || field->format == nullptr) return malformed("missing children");
    if (!sane_extent(*child)) return malformed(fmt::format("child {} has a negative offset or length", i));
    if (child->length < array.offset + array.length)
      return malformed(fmt::format("child {} has {} rows, fewer than the batch's offset {} plus length {}", i,
                                   child->length, array.offset, array.length));
  }
  return Rows{array.offset, static_cast<std::size_t>(array.length)};
}

// The NUL-terminated text equals name; read no further than where they differ
// (names mostly differ at their first letters, and measuring each text cost more).
bool has_name(const char* text, std::string_view name) {
  for (const char c : name) {
    if (*text++ != c) return false;  // a shorter text meets its NUL here
  }
  return *text == '\0';
}

// The first field of that exact name.
std::optional<Field> find_field(const ArrowBatch& batch, std::string_view name) {
  const ArrowSchema& schema = batch.schema();
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema* field = schema.children[i];
    if (field->name != nullptr && has_name(field->name, name)) return Field{name, field, batch.array().children[i]};
  }
  return std::nullopt;
}

// The validity bitmap from bit `offset` on; none when no nulls are declared.
Result<Validity> validity(const ArrowArray& a, std::int64_t offset, std::string_view name) {
  if (a.null_count == 0 || a.buffers[0] == nullptr) {
    if (a.null_count > 0)
      return malformed(fmt::format("'{}' declares {} nulls without a validity buffer", name, a.null_count));
    return Validity{};
  }
  return Validity{static_cast<const std::uint8_t*>(a.buffers[0]), offset};
}

Result<void> check_buffers(const ArrowArray& a, std::int64_t expected, std::string_view name) {
  if (a.n_buffers != expected || a.buffers == nullptr)
    return malformed(fmt::format("'{}' has {} buffers where {} are expected", name, a.n_buffers, expected));
  return {};
}

// The rows of a fixed-width column, without a copy.
template <class T>
Result<ColumnView<T>> fixed_width_view(const Field& f, Rows rows) {
  const ArrowArray& a = *f.array;
  VK_CHECK(check_buffers(a, 2, f.name));
  const std::int64_t first = a.offset + rows.offset;
  const Validity valid = VK_TRY(validity(a, first, f.name));
  if (rows.length == 0) return ColumnView<T>{nullptr, valid, 0};
  if (a.buffers[1] == nullptr) return malformed(fmt::format("'{}' has no data buffer", f.name));
  return ColumnView<T>{static_cast<const T*>(a.buffers[1]) + first, valid, rows.length};
}

// The dictionary's values: only Utf8 is read, after its offsets are checked.
// Values that carry a dictionary of their own are not Utf8.
Result<StringsView> strings_view(const ArrowSchema& schema, const ArrowArray& a, std::string_view name,
                                 InterruptPoll& poll) {
  if (!sane_extent(a)) return malformed(fmt::format("the dictionary of '{}' has a negative offset or length", name));
  StringsView view;
  view.length = static_cast<std::size_t>(a.length);
  view.column = name;
  if (std::strcmp(schema.format, "u") != 0 || schema.dictionary != nullptr) return view;  // refused later
  view.utf8 = true;
  VK_CHECK(check_buffers(a, 3, name));
  view.valid = VK_TRY(validity(a, a.offset, name));
  if (a.length == 0) return view;
  if (a.buffers[1] == nullptr) return malformed(fmt::format("the dictionary of '{}' has no offsets", name));
  view.offsets = static_cast<const std::int32_t*>(a.buffers[1]) + a.offset;
  // One vectorised pass; a second names the value only when the first failed.
  bool ordered = view.offset(0) >= 0;
  VK_CHECK(in_pieces(poll, view.length, PASS_WORK, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) ordered &= view.offset(i) <= view.offset(i + 1);
  }));
  if (!ordered) {
    std::size_t i = 0;
    if (view.offset(0) >= 0)
      for (; view.offset(i) <= view.offset(i + 1); ++i) VK_CHECK(poll.spend(SEARCH_WORK));
    return std::unexpected(offsets_out_of_order(name, i));
  }
  // Arrow gives no buffer sizes: the offsets seen now define the data.
  view.extent = view.offset(view.length);
  static const char no_bytes = 0;
  view.data = static_cast<const char*>(a.buffers[2]);
  if (view.data == nullptr) {
    if (view.extent != 0) return malformed(fmt::format("the dictionary of '{}' has no data buffer", name));
    view.data = &no_bytes;  // every text is empty
  }
  return view;
}

// Every valid key indexes the dictionary: one vectorised pass, and a second
// one that names the row only when the first found a key out of range.
Result<void> check_keys(const DictColumn& column, InterruptPoll& poll) {
  const auto n = static_cast<std::uint64_t>(column.dictionary.length);
  const ColumnView<std::int64_t>& keys = column.keys;
  bool outside = false;
  VK_CHECK(in_pieces(poll, keys.length, PASS_WORK, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) outside |= static_cast<std::uint64_t>(keys[i]) >= n;
  }));
  if (!outside) return {};
  for (std::size_t i = 0; i < keys.length; ++i) {
    VK_CHECK(column.key_at(i));
    VK_CHECK(poll.spend(SEARCH_WORK));
  }
  return {};
}

Result<ColumnView<std::int64_t>> read_time(const ArrowBatch& batch, Rows rows) {
  constexpr std::string_view name = "time";
  const auto f = find_field(batch, name);
  if (!f) return not_found(name);
  if (std::strncmp(f->schema->format, "tsm:", 4) != 0 || f->schema->dictionary != nullptr) return wrong_type(name);
  return fixed_width_view<std::int64_t>(*f, rows);
}

Result<ColumnView<double>> read_quantity(const ArrowBatch& batch, Rows rows) {
  constexpr std::string_view name = "quantity";
  const auto f = find_field(batch, name);
  if (!f) return not_found(name);
  if (std::strcmp(f->schema->format, "g") != 0 || f->schema->dictionary != nullptr) return wrong_type(name);
  return fixed_width_view<double>(*f, rows);
}

// A dictionary column with Int64 keys; its values' type is checked later.
Result<DictColumn> get_dictionary_column(const ArrowBatch& batch, Rows rows, std::string_view name,
                                         InterruptPoll& poll) {
  const auto f = find_field(batch, name);
  if (!f) return not_found(name);
  const ArrowSchema* values = f->schema->dictionary;
  if (values == nullptr || std::strcmp(f->schema->format, "l") != 0) return wrong_type(name);
  if (values->format == nullptr || f->array->dictionary == nullptr)
    return malformed(fmt::format("'{}' has no dictionary", name));
  DictColumn column;
  column.keys = VK_TRY(fixed_width_view<std::int64_t>(*f, rows));
  column.dictionary = VK_TRY(strings_view(*values, *f->array->dictionary, name, poll));
  VK_CHECK(check_keys(column, poll));
  return column;
}

}  // namespace

std::expected<std::uint64_t, SpecError> DictColumn::key_outside(std::int64_t key, std::size_t row) const {
  return std::unexpected(key_outside_dictionary(key, dictionary.column, row, dictionary.length));
}

std::expected<TimetableColumns, SpecError> read_timetable_columns(const ArrowBatch& batch) {
  const Rows rows = VK_TRY(check_struct(batch));
  InterruptPoll poll;
  TimetableColumns columns;
  columns.time = VK_TRY(read_time(batch, rows));
  columns.track = VK_TRY(get_dictionary_column(batch, rows, "track", poll));
  columns.op = VK_TRY(get_dictionary_column(batch, rows, "op", poll));
  columns.quantity = VK_TRY(read_quantity(batch, rows));
  columns.unit = VK_TRY(get_dictionary_column(batch, rows, "unit", poll));
  return columns;
}

}  // namespace vornik
