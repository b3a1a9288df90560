// Real pyarrow batches read into a Timetable: the views honour the offsets
// of sliced batches, struct arrays and dictionaries, null cells read as the
// accessors say, and units resolve against the expressions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "python_module/arrow_import.h"
#include "python_module/pystr.h"
#include "python_module/read_timetable.h"

namespace vornik {
namespace {

// Evaluates `events` and `expressions` after the setup code below.
struct Read {
  PyRef globals;
  ArrowBatch batch;
  std::expected<Timetable, TimetableError> timetable = std::unexpected(TimetableError::Spec{SpecError::Message{}});

  explicit Read(const std::string& code) {
    globals = PyRef::steal(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    const std::string full =
        "import pyarrow as pa\n"
        "def dictionary(texts, values):\n"
        "  keys = pa.array([None if t is None else values.index(t) for t in texts], pa.int64())\n"
        "  return pa.DictionaryArray.from_arrays(keys, pa.array(values, pa.string()))\n"
        "def batch(time, track, op, qty, unit, tracks, ops, units, tz=None):\n"
        "  return pa.RecordBatch.from_arrays([pa.array(time, pa.timestamp('ms', tz)),\n"
        "    dictionary(track, tracks), dictionary(op, ops), pa.array(qty, pa.float64()),\n"
        "    dictionary(unit, units)], names=['time', 'track', 'op', 'quantity', 'unit'])\n"
        "expressions = {}\n" +
        code;
    PyRef r = PyRef::steal(PyRun_String(full.c_str(), Py_file_input, globals.get(), globals.get()));
    if (!r) PyErr_Print();
    EXPECT_TRUE(r) << "setup failed";
    auto imported = import_record_batch(PyDict_GetItemString(globals.get(), "events"));
    EXPECT_TRUE(imported) << "import failed";
    if (!imported) return;
    batch = std::move(*imported);
    timetable = read_timetable(batch, PyDict_GetItemString(globals.get(), "expressions"));
    EXPECT_TRUE(timetable) << to_string(timetable.error());
  }

  std::vector<std::string> descriptions() const {
    std::vector<std::string> out;
    for (std::size_t row = 0; row < timetable->rows(); ++row) out.push_back(timetable->describe_event(row).value());
    return out;
  }
};

constexpr const char* FOUR_ROWS =
    "full = batch([0, 1000, 2000, 3000], ['a', 'b', 'a', 'b'], ['+', '>', None, 'w'], [1.0, 2.0, 3.0, 4.0],\n"
    "             ['EUR', 'a', None, 'USD'], ['a', 'b'], ['+', '>', 'w'], ['EUR', 'a', 'USD'])\n";

TEST(ReadTimetable, SlicedBatchesStartAtTheirOffset) {
  for (const char* events : {"events = full.slice(1, 2)\n", "events = full.to_struct_array().slice(1, 2)\n",
                             "s = full.slice(1)\nevents = pa.StructArray.from_arrays(s.columns, s.schema.names).slice(0, 2)\n"}) {
    Read r(std::string(FOUR_ROWS) + events);
    ASSERT_TRUE(r.timetable);
    EXPECT_EQ(r.descriptions(), (std::vector<std::string>{
                                    "#0: track: Track(1), time: Single(1970-01-01T00:00:01Z), op: >, qty: 2, unit: Track(0)",
                                    "#1: track: Track(0), time: Single(1970-01-01T00:00:02Z), op: , qty: 3, unit: <none>"}))
        << events;
  }
}

TEST(ReadTimetable, SlicedDictionaryValuesAreRead) {
  Read r(
      "values = pa.array(['skip', 'EUR', 'x']).slice(1)\n"
      "unit = pa.DictionaryArray.from_arrays(pa.array([1, 0], pa.int64()), values)\n"
      "b = batch([0, 0], ['t', 't'], ['+', '+'], [1.0, 1.0], ['EUR', 'EUR'], ['t'], ['+'], ['EUR'])\n"
      "events = b.set_column(4, 'unit', unit)\n");
  ASSERT_TRUE(r.timetable);
  EXPECT_EQ(r.timetable->unit_text_at(0).value(), "Asset(x)");
  EXPECT_EQ(r.timetable->unit_text_at(1).value(), "Asset(EUR)");
}

TEST(ReadTimetable, NullCellsAndZonesReadAsStored) {
  Read r(
      "events = batch([None, 1704067200250], [None, 't'], [None, '+'], [None, 0.5], [None, 'EUR'],\n"
      "               ['t'], ['+'], ['EUR'], tz='America/New_York')\n");
  ASSERT_TRUE(r.timetable);
  const Timetable& t = *r.timetable;
  EXPECT_FALSE(t.time_valid(0));
  EXPECT_EQ(t.time_at(1), 1704067200250);
  EXPECT_FALSE(t.track_at(0));
  EXPECT_EQ(t.op_at(0).value()->kind, Op::Kind::NoOp);
  EXPECT_EQ(t.unit_at(0).value(), nullptr);
  EXPECT_EQ(t.describe_event(1).value(),
            "#1: track: Track(0), time: Single(2024-01-01T00:00:00.250Z), op: +, qty: 0.5, unit: Asset(EUR)");
}

TEST(ReadTimetable, UnitsResolveAgainstExpressions) {
  Read r(
      "def fn(x): return [x[0] + 1.0]\n"
      "expressions = {'p': {'type': 'phrase', 'fn': fn, 'inp': ['EUR']},\n"
      "               's': {'type': 'snapper', 'fn': fn, 'inp': [], 'out': ['o1', 'o2']}}\n"
      "events = batch([0] * 5, ['t'] * 5, ['+'] * 5, [1.0] * 5, ['p', 's', 'o2', 't', 'EUR'],\n"
      "               ['t'], ['+'], ['p', 's', 'o2', 't', 'EUR'])\n");
  ASSERT_TRUE(r.timetable);
  const Timetable& t = *r.timetable;
  std::vector<std::string> units;
  for (const Unit& u : t.units) units.push_back(u.display());
  EXPECT_EQ(units, (std::vector<std::string>{"Phrase(p)", "Snapper(s)", "Snap(o2)", "Track(0)", "Asset(EUR)"}));
  auto snapper = t.find_snapper("s");
  ASSERT_TRUE(snapper);
  EXPECT_EQ((*snapper)->out, (std::vector<std::string>{"o1", "o2"}));
  EXPECT_EQ(to_string(t.find_snapper("p").error()), "Snapper 'p' not found");
  const Expression* phrase = t.find_phrase("p");
  ASSERT_NE(phrase, nullptr);
  EXPECT_EQ(t.find_phrase("s"), nullptr);
  std::vector<Values> in;
  in.push_back(Values::of({1.0, 2.0}));
  auto out = phrase->evaluate(std::move(in));
  ASSERT_TRUE(out) << out.error();
  ASSERT_EQ(out->size(), 1u);
  EXPECT_EQ((*out)[0][1], 3.0);
}

TEST(ImportRecordBatch, RefusesASchemaThatIsItsOwnDictionary) {
  ArrowSchema schema{};
  schema.format = "l";
  schema.dictionary = &schema;
  schema.release = [](ArrowSchema* s) { s->release = nullptr; };
  ArrowArray array{};
  array.release = [](ArrowArray* a) { a->release = nullptr; };
  PyRef globals = PyRef::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  PyRef capsules = PyRef::steal(Py_BuildValue("(NN)", PyCapsule_New(&schema, "arrow_schema", nullptr),
                                              PyCapsule_New(&array, "arrow_array", nullptr)));
  PyDict_SetItemString(globals.get(), "capsules", capsules.get());
  PyRef done = PyRef::steal(PyRun_String(
      "class Producer:\n  def __arrow_c_array__(self, requested_schema=None): return capsules\nevents = Producer()\n",
      Py_file_input, globals.get(), globals.get()));
  ASSERT_TRUE(done);
  auto imported = import_record_batch(PyDict_GetItemString(globals.get(), "events"));
  ASSERT_FALSE(imported);
  PyRef exc = std::move(imported).error().into_value();
  EXPECT_TRUE(PyErr_GivenExceptionMatches(exc.get(), PyExc_ValueError));
  EXPECT_EQ(str_of(exc.get()).value(), "The schema from __arrow_c_array__ nests dictionaries more than 64 levels deep");
}

}  // namespace
}  // namespace vornik
