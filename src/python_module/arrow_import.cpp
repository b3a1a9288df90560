// events_rb as an Arrow record batch. The structures are moved out of the
// producer's capsules into an ArrowBatch at once, so that they are released
// exactly once, through their own callbacks, on every path.
#include "python_module/arrow_import.h"

#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "python_module/pystr.h"

namespace vornik {

namespace {

constexpr std::string_view METHOD = "__arrow_c_array__";

ProcessObject method_name([] { return PyUnicode_InternFromString("__arrow_c_array__"); });
ProcessObject record_batch_type([] { return import_attribute("pyarrow", "RecordBatch"); });

// pyarrow.RecordBatch (borrowed).
PyResult<PyObject*> record_batch_class() {
  PyObject* c = record_batch_type.get();
  if (c == nullptr) return std::unexpected(PyError::fetch());
  return c;
}

PyError import_type_error(std::string message) { return PyError(PyExc_TypeError, std::move(message)); }

// "module.qualname", or the qualname alone for builtins.
std::string full_type_name(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetFullyQualifiedName(type));
  if (name) {
    if (auto text = utf8_view(name.get())) return std::string(*text);
  }
  (void)discard_pending_error();  // a message follows; a caller's exception ends the call after it
  return type_qualname(type);
}

std::string_view time_unit(char c) {
  switch (c) {
    case 's':
      return "s";
    case 'm':
      return "ms";
    case 'u':
      return "us";
    case 'n':
      return "ns";
  }
  return "?";
}

// Dictionaries nest no deeper in any real schema; a producer's schema may
// even name itself as its dictionary.
constexpr int MAX_DICTIONARY_DEPTH = 64;

// A readable name of an Arrow type, for the message of a non-struct array;
// none when dictionaries nest deeper than MAX_DICTIONARY_DEPTH.
std::optional<std::string> arrow_type_name(const ArrowSchema& schema, int depth = 0) {
  if (schema.format == nullptr) return "<no format>";
  const std::string_view f = schema.format;
  if (schema.dictionary != nullptr) {
    if (depth == MAX_DICTIONARY_DEPTH) return std::nullopt;
    const auto values = arrow_type_name(*schema.dictionary, depth + 1);
    if (!values) return std::nullopt;
    ArrowSchema keys = schema;
    keys.dictionary = nullptr;
    return fmt::format("Dictionary({}, {})", *arrow_type_name(keys), *values);
  }
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 27> names{{
      {"n", "Null"},        {"b", "Boolean"},     {"c", "Int8"},        {"C", "UInt8"},
      {"s", "Int16"},       {"S", "UInt16"},      {"i", "Int32"},       {"I", "UInt32"},
      {"l", "Int64"},       {"L", "UInt64"},      {"e", "Float16"},     {"f", "Float32"},
      {"g", "Float64"},     {"z", "Binary"},      {"Z", "LargeBinary"}, {"u", "Utf8"},
      {"U", "LargeUtf8"},   {"vz", "BinaryView"}, {"vu", "Utf8View"},   {"tdD", "Date32"},
      {"tdm", "Date64"},    {"+l", "List"},       {"+L", "LargeList"},  {"+vl", "ListView"},
      {"+vL", "LargeListView"}, {"+m", "Map"},    {"+r", "RunEndEncoded"},
  }};
  for (const auto& [format, name] : names)
    if (f == format) return std::string(name);
  if (f.size() >= 4 && f.starts_with("ts") && f[3] == ':') {
    const std::string_view zone = f.substr(4);
    if (zone.empty()) return fmt::format("Timestamp({})", time_unit(f[2]));
    return fmt::format("Timestamp({}, {})", time_unit(f[2]), zone);
  }
  if (f.size() == 3 && f.starts_with("tt")) return fmt::format("Time({})", time_unit(f[2]));
  if (f.size() == 3 && f.starts_with("tD")) return fmt::format("Duration({})", time_unit(f[2]));
  if (f.starts_with("tiM") || f.starts_with("tiD") || f.starts_with("tin")) return "Interval";
  if (f.starts_with("d:")) return fmt::format("Decimal({})", f.substr(2));
  if (f.starts_with("w:")) return fmt::format("FixedSizeBinary({})", f.substr(2));
  if (f.starts_with("+w:")) return fmt::format("FixedSizeList({})", f.substr(3));
  if (f.starts_with("+u")) return "Union";
  return fmt::format("format '{}'", f);
}

// Nulls in the bits [offset, offset + length) of a validity bitmap.
std::int64_t count_nulls(const std::uint8_t* bits, std::int64_t offset, std::int64_t length) {
  std::int64_t set = 0;
  for (std::int64_t i = offset; i < offset + length; ++i) set += (bits[i >> 3] >> (i & 7)) & 1;
  return length - set;
}

PyResult<void> check_record_batch(const ArrowBatch& batch) {
  const ArrowSchema& schema = batch.schema();
  const ArrowArray& array = batch.array();
  if (schema.format == nullptr || std::strcmp(schema.format, "+s") != 0) {
    const auto type = arrow_type_name(schema);
    if (!type)
      return std::unexpected(PyError(
          PyExc_ValueError,
          fmt::format("The schema from {} nests dictionaries more than {} levels deep", METHOD, MAX_DICTIONARY_DEPTH)));
    return std::unexpected(import_type_error(fmt::format("Expected Struct type from {}, found {}", METHOD, *type)));
  }
  std::int64_t nulls = array.null_count;
  if (nulls < 0) {  // not counted by the producer
    const bool has_bitmap = array.n_buffers >= 1 && array.buffers != nullptr && array.buffers[0] != nullptr;
    nulls = has_bitmap && array.offset >= 0 && array.length > 0
                ? count_nulls(static_cast<const std::uint8_t*>(array.buffers[0]), array.offset, array.length)
                : 0;
  }
  if (nulls != 0)
    return std::unexpected(PyError(
        PyExc_ValueError, "Cannot convert nullable StructArray to RecordBatch, see StructArray documentation"));
  return {};
}

PyResult<ArrowBatch> import_capsules(PyObject* method) {
  PyRef result = PyRef::steal(PyObject_CallNoArgs(method));
  if (!result) return std::unexpected(PyError::fetch());
  PyObject* r = result.get();
  if (!PyTuple_Check(r) || PyTuple_GET_SIZE(r) != 2 || !PyCapsule_CheckExact(PyTuple_GET_ITEM(r, 0)) ||
      !PyCapsule_CheckExact(PyTuple_GET_ITEM(r, 1)))
    return std::unexpected(
        import_type_error(fmt::format("Expected {} to return a tuple of (schema, array) capsules.", METHOD)));
  PyObject* schema_capsule = PyTuple_GET_ITEM(r, 0);
  PyObject* array_capsule = PyTuple_GET_ITEM(r, 1);
  for (auto [capsule, name] : {std::pair{schema_capsule, "arrow_schema"}, std::pair{array_capsule, "arrow_array"}}) {
    if (!PyCapsule_IsValid(capsule, name))
      return std::unexpected(import_type_error(fmt::format("Expected {} to return a {} capsule.", METHOD, name)));
  }
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
  if (schema->release == nullptr || array->release == nullptr)
    return std::unexpected(
        PyError(PyExc_ValueError, fmt::format("The capsules returned by {} have already been consumed", METHOD)));
  // The capsules' destructors see released structures and leave them alone.
  ArrowBatch batch(schema, array, thread_is_not_ending);
  VK_CHECK(check_record_batch(batch));
  return batch;
}

// A pyarrow RecordBatch without the capsule method exports itself into
// structures of ours.
PyResult<ArrowBatch> import_exported(PyObject* events_rb) {
  PyObject* cls = VK_TRY(record_batch_class());
  const int is_batch = PyObject_IsInstance(events_rb, cls);
  if (is_batch < 0) return std::unexpected(PyError::fetch());
  if (is_batch == 0)
    return std::unexpected(import_type_error(fmt::format("Expected instance of {}, got {}",
                                                         full_type_name(reinterpret_cast<PyTypeObject*>(cls)),
                                                         full_type_name(Py_TYPE(events_rb)))));
  ArrowSchema schema{};
  ArrowArray array{};
  PyRef array_address = PyRef::steal(PyLong_FromVoidPtr(&array));
  PyRef schema_address = PyRef::steal(PyLong_FromVoidPtr(&schema));
  if (!array_address || !schema_address) return std::unexpected(PyError::fetch());
  PyRef done = PyRef::steal(
      PyObject_CallMethod(events_rb, "_export_to_c", "OO", array_address.get(), schema_address.get()));
  ArrowBatch batch(&schema, &array, thread_is_not_ending);  // released here even when the export half failed
  if (!done) return std::unexpected(PyError::fetch());
  VK_CHECK(check_record_batch(batch));
  return batch;
}

}  // namespace

PyResult<ArrowBatch> import_record_batch(PyObject* events_rb) {
  PyObject* method = nullptr;
  if (PyObject_GetOptionalAttr(events_rb, method_name.required(), &method) < 0) return std::unexpected(PyError::fetch());
  if (method != nullptr) return import_capsules(PyRef::steal(method).get());
  return import_exported(events_rb);
}

}  // namespace vornik
