// The result writers. Cashflows of a backtest leave as an Arrow record batch
// that we export ourselves and pyarrow imports; every buffer we export is
// released exactly once, whether pyarrow takes it or not.
#include "python_module/writers.h"

#include <atomic>
#include <memory>
#include <vector>

#include "python_module/numpy_api.h"
#include "python_module/pystr.h"
#include "timetable/arrow_abi.h"
#include "timetable/interrupt.h"

namespace vornik {

namespace {

ProcessObject set_stat_name([] { return PyUnicode_InternFromString("set_stat"); });
ProcessObject record_batch_class([] { return import_attribute("pyarrow", "RecordBatch"); });

PyRef u64_key(std::uint64_t key) {
  PyRef k = PyRef::steal(PyLong_FromUnsignedLongLong(key));
  if (!k) throw std::bad_alloc();
  return k;
}

PyRef new_dict() {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) throw std::bad_alloc();
  return d;
}

// Work for the interrupt poll, in units of about a nanosecond: an array of
// a statistic; a row of a backtest's cashflows; a track's record batch.
constexpr std::uint64_t ARRAY_WORK = 500;
constexpr std::uint64_t ROW_WORK = 20;
constexpr std::uint64_t BATCH_WORK = 20000;

// The failure of a store or of set_stat is dropped, unless it is the
// caller's own exception: that ends the writing, and the binding raises it.
template <class T>
std::expected<void, EvaluationError> dropped(PyResult<T> r) {
  if (!best_effort(std::move(r))) return std::unexpected(EvaluationError::Interrupted{});
  return {};
}

// {outer: {inner: array}}, each vector's memory moving into its array.
template <class Vector>
std::expected<PyRef, EvaluationError> nested_dict(U64Map<U64Map<Vector>> book) {
  InterruptPoll poll;
  PyRef outer = new_dict();
  for (auto& [outer_key, inner_map] : book) {
    PyRef inner = new_dict();
    for (auto& [inner_key, vector] : inner_map) {
      VK_CHECK(dropped(dict_set_u64_key(inner.get(), inner_key, to_numpy(std::move(vector)))));
      VK_CHECK(poll.spend(ARRAY_WORK));
    }
    VK_CHECK(dropped(dict_set_u64_key(outer.get(), outer_key, std::move(inner))));
  }
  return outer;
}

// --- The exported record batch of (index uint64, value float64).

struct Columns {
  std::vector<std::uint64_t> index;
  std::vector<double> value;
};

struct ExportedSchema {
  ArrowSchema children[2];
  ArrowSchema* child_pointers[2];
};

void release_child_schema(ArrowSchema* s) { s->release = nullptr; }

void release_schema(ArrowSchema* s) {
  auto* owned = static_cast<ExportedSchema*>(s->private_data);
  for (ArrowSchema& c : owned->children)
    if (c.release != nullptr) c.release(&c);
  delete owned;
  s->release = nullptr;
}

void export_schema(ArrowSchema* out) {
  auto* owned = new ExportedSchema;
  const char* formats[2] = {"L", "g"};
  const char* names[2] = {"index", "value"};
  for (int i = 0; i < 2; ++i) {
    owned->children[i] = ArrowSchema{.format = formats[i],
                                     .name = names[i],
                                     .metadata = nullptr,
                                     .flags = 0,  // not nullable
                                     .n_children = 0,
                                     .children = nullptr,
                                     .dictionary = nullptr,
                                     .release = release_child_schema,
                                     .private_data = nullptr};
    owned->child_pointers[i] = &owned->children[i];
  }
  *out = ArrowSchema{.format = "+s",
                     .name = "",
                     .metadata = nullptr,
                     .flags = 0,
                     .n_children = 2,
                     .children = owned->child_pointers,
                     .dictionary = nullptr,
                     .release = release_schema,
                     .private_data = owned};
}

struct ExportedArray {
  Columns columns;
  const void* child_buffers[2][2];
  const void* struct_buffers[1] = {nullptr};
  ArrowArray children[2];
  ArrowArray* child_pointers[2];
};

void release_child_array(ArrowArray* a) { a->release = nullptr; }

void release_array(ArrowArray* a) {
  auto* owned = static_cast<ExportedArray*>(a->private_data);
  for (ArrowArray& c : owned->children)
    if (c.release != nullptr) c.release(&c);
  delete owned;
  a->release = nullptr;
}

void export_array(Columns columns, ArrowArray* out) {
  auto owned = std::make_unique<ExportedArray>();
  owned->columns = std::move(columns);
  const auto n = static_cast<std::int64_t>(owned->columns.index.size());
  owned->child_buffers[0][0] = nullptr;
  owned->child_buffers[0][1] = owned->columns.index.data();
  owned->child_buffers[1][0] = nullptr;
  owned->child_buffers[1][1] = owned->columns.value.data();
  for (int i = 0; i < 2; ++i) {
    owned->children[i] = ArrowArray{.length = n,
                                    .null_count = 0,
                                    .offset = 0,
                                    .n_buffers = 2,
                                    .n_children = 0,
                                    .buffers = owned->child_buffers[i],
                                    .children = nullptr,
                                    .dictionary = nullptr,
                                    .release = release_child_array,
                                    .private_data = nullptr};
    owned->child_pointers[i] = &owned->children[i];
  }
  ExportedArray* raw = owned.release();
  *out = ArrowArray{.length = n,
                    .null_count = 0,
                    .offset = 0,
                    .n_buffers = 1,
                    .n_children = 2,
                    .buffers = raw->struct_buffers,
                    .children = raw->child_pointers,
                    .dictionary = nullptr,
                    .release = release_array,
                    .private_data = raw};
}

// Our structures until pyarrow takes them (it marks them released).
struct Exported {
  ArrowSchema schema{};
  ArrowArray array{};
  ~Exported() {
    if (array.release != nullptr) array.release(&array);
    if (schema.release != nullptr) schema.release(&schema);
  }
};

// pyarrow imports the array and schema themselves rather than a one-batch
// stream: its stream reader lets go of the interpreter lock when it is freed,
// inside a destructor, and a daemon thread that the exiting interpreter ends
// there takes the process down.
PyResult<PyRef> to_pyarrow_batch(Columns columns) {
  Exported exported;
  export_array(std::move(columns), &exported.array);
  export_schema(&exported.schema);
  PyObject* batch_class = record_batch_class.get();
  if (batch_class == nullptr) return std::unexpected(PyError::fetch());
  PyRef array = PyRef::steal(PyLong_FromVoidPtr(&exported.array));
  PyRef schema = PyRef::steal(PyLong_FromVoidPtr(&exported.schema));
  if (!array || !schema) return std::unexpected(PyError::fetch());
  PyRef batch = PyRef::steal(PyObject_CallMethod(batch_class, "_import_from_c", "OO", array.get(), schema.get()));
  if (!batch) return std::unexpected(PyError::fetch());
  return batch;
}

}  // namespace

PyResult<PyRef> call_set_stat(PyObject* state, std::string_view name, PyRef value) {
  VK_CHECK(release_deferred());
  PyRef text = py_str(name);
  PyObject* args[4] = {nullptr, state, text.get(), value.get()};
  PyRef r = PyRef::steal(
      PyObject_VectorcallMethod(set_stat_name.required(), args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!r) return std::unexpected(PyError::fetch());
  return r;
}

PyResult<void> dict_set_u64_key(PyObject* dict, std::uint64_t key, PyRef value) {
  if (PyDict_SetItem(dict, u64_key(key).get(), value.get()) < 0) return std::unexpected(PyError::fetch());
  return {};
}

std::expected<void, EvaluationError> emit_ledger_stats(std::uint32_t flags, Ledger& ledger, PyObject* state) {
  if (flags & FLAG_PV_VEC) {
    const Values* pv = VK_TRY(get_track_value(ledger.values, 0));
    VK_CHECK(dropped(call_set_stat(state, "PV_VEC", to_numpy(pv->clone()))));
  }
  if (flags & FLAG_CHOICES) {
    PyRef choices = VK_TRY(nested_dict(std::exchange(ledger.choices, {})));
    VK_CHECK(dropped(call_set_stat(state, "CHOICES", std::move(choices))));
  }
  if (flags & FLAG_CASHFLOW) {
    PyRef cashflows = VK_TRY(nested_dict(std::exchange(ledger.cashflows, {})));
    VK_CHECK(dropped(call_set_stat(state, "CASHFLOW", std::move(cashflows))));
  }
  return {};
}

PyResult<void> emit_backtest_cashflows(Ledger& ledger, PyObject* state) {
  InterruptPoll poll;
  // The binding raises the caller's exception instead of this error.
  const auto spend = [&](std::uint64_t work) -> PyResult<void> {
    if (poll.spend(work)) return {};
    return std::unexpected(evaluation_error_to_pyerr(Interrupted{}));
  };
  PyRef d = new_dict();
  auto book = std::exchange(ledger.cashflows, {});
  for (auto& [track, rows] : book) {
    Columns columns;
    columns.index.reserve(rows.size());
    columns.value.reserve(rows.size());
    for (auto& [row, cashflow] : rows) {
      if (cashflow.empty())
        return std::unexpected(evaluation_error_to_pyerr(EvaluationError::Arrow{
            "cashflows", fmt::format("Invalid: the cashflow of row {} on track {} is empty", row, track)}));
      columns.index.push_back(row);
      columns.value.push_back(cashflow[0]);
      cashflow = Values();
      VK_CHECK(spend(ROW_WORK));
    }
    VK_CHECK(spend(BATCH_WORK));
    PyRef batch = VK_TRY(to_pyarrow_batch(std::move(columns)));
    VK_CHECK(best_effort(dict_set_u64_key(d.get(), track, std::move(batch))));  // a failed store is dropped
  }
  return best_effort(call_set_stat(state, "CASHFLOW", std::move(d)));
}

}  // namespace vornik
