// The timetable without Python: ops and their application, unit precedence,
// the calendar text of events, and the checks that keep a malformed Arrow
// batch from being read outside its buffers (batches built by hand here).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "timetable/columns.h"
#include "timetable/op.h"
#include "timetable/timetable.h"
#include "timetable/unit.h"

namespace vornik {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Dictionary values over owned buffers; nullopt is a null value.
struct Strings {
  std::vector<std::int32_t> offsets{0};
  std::string data;
  std::vector<std::uint8_t> bits;
  bool has_null = false;

  explicit Strings(const std::vector<std::optional<std::string>>& texts) : bits((texts.size() + 7) / 8) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (texts[i]) {
        data += *texts[i];
        bits[i / 8] |= std::uint8_t(1u << (i % 8));
      } else {
        has_null = true;
      }
      offsets.push_back(static_cast<std::int32_t>(data.size()));
    }
  }
  StringsView view(bool utf8 = true) const {
    return {utf8, offsets.data(), data.data(), Validity{has_null ? bits.data() : nullptr, 0}, offsets.size() - 1,
            offsets.back()};
  }
};

std::string show(const Values& v) {
  std::string out = "[";
  for (std::size_t i = 0; i < v.size(); ++i)
    out += (i ? ", " : "") + format_f64(v[i]) + (std::signbit(v[i]) && v[i] == 0 ? "(-0)" : "");
  return out + "]";
}

Values vec(std::initializer_list<double> xs) { return Values::of(xs); }

// ---- ops ----------------------------------------------------------------

TEST(OpsTable, ParsesEveryDictionaryValueInOrder) {
  Strings dict({std::nullopt, "+", ">", "<", "", "w", " +", ">=", "max"});
  auto ops = build_ops_table(dict.view());
  ASSERT_TRUE(ops);
  using K = Op::Kind;
  const std::vector<std::pair<K, std::string>> expected{{K::NoOp, ""},  {K::Add, "+"},    {K::Max, ">"},
                                                        {K::Min, "<"},  {K::Named, ""},   {K::Named, "w"},
                                                        {K::Named, " +"}, {K::Named, ">="}, {K::Named, "max"}};
  ASSERT_EQ(ops->size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ((*ops)[i].kind, expected[i].first) << "position " << i;
    EXPECT_EQ((*ops)[i].display(), expected[i].second) << "position " << i;
  }
}

TEST(OpsTable, RefusesValuesThatAreNotUtf8) {
  Strings dict({"+"});
  auto ops = build_ops_table(dict.view(false));
  ASSERT_FALSE(ops);
  EXPECT_EQ(to_string(ops.error()), "Error in ops column, expected strings");
}

struct ApplyCase {
  const char* name;
  Op::Kind op;
  std::vector<double> target, value, expected;
};
class ApplyOp : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(ApplyOp, CombinesBitForBit) {
  const auto& c = GetParam();
  Values target = Values::from(c.target);
  const Values value = Values::from(c.value);
  auto r = apply_op(Op{c.op, {}}, target, value);
  ASSERT_TRUE(r) << to_string(r.error());
  const Values expected = Values::from(c.expected);
  bool same = target.size() == expected.size();
  for (std::size_t i = 0; same && i < target.size(); ++i)
    same = std::bit_cast<std::uint64_t>(target[i]) == std::bit_cast<std::uint64_t>(expected[i]) ||
           (std::isnan(target[i]) && std::isnan(expected[i]));
  EXPECT_TRUE(same) << "expected " << show(expected) << ", got " << show(target);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApplyOp,
    ::testing::Values(
        ApplyCase{"AddGrowsOneElementTrack", Op::Kind::Add, {5}, {1, 2, 3}, {6, 7, 8}},
        ApplyCase{"AddRepeatsOneElementEvent", Op::Kind::Add, {1, 2, 3}, {10}, {11, 12, 13}},
        ApplyCase{"AddElementwise", Op::Kind::Add, {1, 2}, {3, 4}, {4, 6}},
        ApplyCase{"MaxTakesTheNumberOverNaN", Op::Kind::Max, {1, NaN, 3}, {2, 2, NaN}, {2, 2, 3}},
        ApplyCase{"MinTakesTheNumberOverNaN", Op::Kind::Min, {1, NaN, 3}, {2, 2, NaN}, {1, 2, 3}},
        ApplyCase{"MaxWithOneElementEvent", Op::Kind::Max, {0, 5}, {3}, {3, 5}},
        ApplyCase{"MaxOfTwoNaNsIsNaN", Op::Kind::Max, {NaN}, {NaN}, {NaN}},
        ApplyCase{"MaxPrefersPositiveZero", Op::Kind::Max, {-0.0, 0.0}, {0.0, -0.0}, {0.0, 0.0}},
        ApplyCase{"MinPrefersNegativeZero", Op::Kind::Min, {-0.0, 0.0}, {0.0, -0.0}, {-0.0, -0.0}},
        ApplyCase{"MinWithInfinities", Op::Kind::Min, {INF, -INF}, {1}, {1, -INF}},
        ApplyCase{"MaxGrowsOneElementTrack", Op::Kind::Max, {2}, {1, 3}, {2, 3}},
        ApplyCase{"MaxOnEmptyTrack", Op::Kind::Max, {}, {1}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
  const char* name;
  Op op;
  std::vector<double> value;
  const char* message;
};
class ApplyOpRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(ApplyOpRefused, LeavesTheTargetUntouched) {
  const auto& c = GetParam();
  Values target = vec({1, 2});
  const double* before = target.data();
  auto r = apply_op(c.op, target, Values::from(c.value));
  ASSERT_FALSE(r);
  EXPECT_EQ(to_string(r.error()), c.message);
  EXPECT_EQ(target.data(), before);
  EXPECT_EQ(show(target), "[1, 2]");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApplyOpRefused,
    ::testing::Values(RefusedCase{"Named", Op{Op::Kind::Named, "w"}, {3, 4}, "Unknown Op 'w'"},
                      RefusedCase{"NoOp", Op{}, {3, 4}, "Unknown Op ''"},
                      RefusedCase{"AddLengths", Op{Op::Kind::Add, {}}, {1, 2, 3},
                                  "Vector lengths 2 and 3 cannot be combined"},
                      RefusedCase{"MaxLengths", Op{Op::Kind::Max, {}}, {1, 2, 3},
                                  "Vector lengths 2 and 3 cannot be combined"},
                      RefusedCase{"MinLengths", Op{Op::Kind::Min, {}}, {}, "Vector lengths 2 and 0 cannot be combined"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- units --------------------------------------------------------------

struct UnitCase {
  const char* name;
  std::vector<std::optional<std::string>> units;
  std::vector<std::optional<std::string>> tracks;
  std::vector<std::pair<std::string, std::vector<std::string>>> snappers;
  std::vector<std::string> phrases;
  std::vector<std::string> expected;  // displays, or the one error text
};
class UnitTable : public ::testing::TestWithParam<UnitCase> {};

TEST_P(UnitTable, ResolvesWithPrecedence) {
  const auto& c = GetParam();
  Strings units(c.units), tracks(c.tracks);
  TimetableColumns columns;
  columns.unit.dictionary = units.view();
  columns.track.dictionary = tracks.view();
  SnapperMap snappers;
  for (const auto& [name, out] : c.snappers) snappers.emplace(name, Snapper{out, nullptr});
  PhraseMap phrases;
  for (const auto& name : c.phrases) phrases.emplace(name, nullptr);
  auto table = build_unit_table(snappers, phrases, columns);
  std::vector<std::string> got;
  if (!table) {
    got.push_back(to_string(table.error()));
  } else {
    for (const Unit& u : *table) got.push_back(u.display());
  }
  EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnitTable,
    ::testing::Values(
        UnitCase{"EveryKind", {"EUR", std::nullopt, "t1", "p"}, {"t0", "t1"}, {}, {"p"},
                 {"Asset(EUR)", "<none>", "Track(1)", "Phrase(p)"}},
        UnitCase{"PhraseOverTrack", {"x"}, {"x"}, {}, {"x"}, {"Phrase(x)"}},
        UnitCase{"PhraseOverSnap", {"x"}, {}, {{"s", {"x"}}}, {"x"}, {"Phrase(x)"}},
        UnitCase{"SnapOverTrack", {"a"}, {"a"}, {{"s", {"a"}}}, {}, {"Snap(a)"}},
        UnitCase{"SnapperAndItsOutputs", {"s", "b"}, {}, {{"s", {"a", "b"}}}, {}, {"Snapper(s)", "Snap(b)"}},
        UnitCase{"OutputNamedLikeItsSnapper", {"s"}, {}, {{"s", {"s"}}}, {}, {"Snap(s)"}},
        UnitCase{"EmptyTextIsAnAsset", {""}, {"t"}, {}, {}, {"Asset()"}},
        UnitCase{"OnlyTheFirstEqualTextResolves", {"p", "q", "p"}, {}, {}, {"p"}, {"Phrase(p)", "Asset(q)", "Asset(p)"}},
        UnitCase{"LaterTrackKeyWins", {"t"}, {"t", "t"}, {}, {}, {"Track(1)"}},
        UnitCase{"UnmatchedNamesChangeNothing", {"EUR"}, {"t"}, {{"s", {"o"}}}, {"p"}, {"Asset(EUR)"}},
        UnitCase{"NullTrackValue", {"EUR"}, {"t", std::nullopt}, {}, {}, {"Missing Track Value"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UnitTable, ChecksUnitsBeforeTracks) {
  Strings units({"a"}), tracks({"a"});
  TimetableColumns columns;
  columns.unit.dictionary = units.view(false);
  columns.track.dictionary = tracks.view(false);
  auto r = build_unit_table({}, {}, columns);
  ASSERT_FALSE(r);
  EXPECT_EQ(to_string(r.error()), "Error in units column, expected strings");
  columns.unit.dictionary = units.view();
  r = build_unit_table({}, {}, columns);
  ASSERT_FALSE(r);
  EXPECT_EQ(to_string(r.error()), "Error in tracks column, expected strings");
}

// ---- calendar text ------------------------------------------------------

struct TimeCase {
  std::int64_t ms;
  const char* text;
};
class EventTime : public ::testing::TestWithParam<TimeCase> {};
TEST_P(EventTime, PrintsUtcCalendarText) { EXPECT_EQ(format_event_time(GetParam().ms), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, EventTime,
    ::testing::Values(TimeCase{0, "Single(1970-01-01T00:00:00Z)"}, TimeCase{-1, "Single(1969-12-31T23:59:59.999Z)"},
                      TimeCase{1704067200250, "Single(2024-01-01T00:00:00.250Z)"},
                      TimeCase{1719576000000, "Single(2024-06-28T12:00:00Z)"},
                      TimeCase{951782400000, "Single(2000-02-29T00:00:00Z)"},
                      TimeCase{-2203891200000, "Single(1900-03-01T00:00:00Z)"},
                      TimeCase{253402300799999, "Single(9999-12-31T23:59:59.999Z)"},
                      TimeCase{253402300800000, "Single(+10000-01-01T00:00:00Z)"},
                      TimeCase{-62135683200000, "Single(0000-12-31T00:00:00Z)"},
                      TimeCase{-62167219200000, "Single(0000-01-01T00:00:00Z)"},
                      TimeCase{-62167219200001, "Single(-0001-12-31T23:59:59.999Z)"},
                      TimeCase{8210266876799999, "Single(+262142-12-31T23:59:59.999Z)"},
                      TimeCase{8210266876800000, "None"},
                      TimeCase{-8334601228800000, "Single(-262143-01-01T00:00:00Z)"},
                      TimeCase{-8334601228800001, "None"},
                      TimeCase{std::numeric_limits<std::int64_t>::max(), "None"},
                      TimeCase{std::numeric_limits<std::int64_t>::min(), "None"}));

// ---- event descriptions -------------------------------------------------

// Six rows; row 5 has null track, op and unit cells and zeroed slots.
struct DescribedTable {
  std::vector<std::int64_t> time{0, 0, 0, 1719576000000, -1, 0};
  std::vector<double> qty{1, 0.5, -0.0, 100, NaN, 0};
  std::vector<std::int64_t> track{1, 0, 0, 0, 1, 7};
  std::vector<std::int64_t> op{0, 1, 2, 0, 3, 9};
  std::vector<std::int64_t> unit{0, 1, 0, 0, 1, 9};
  std::vector<std::uint8_t> valid{0b011111};
  Timetable tt;

  DescribedTable() {
    const Validity v{valid.data(), 0};
    tt.columns.time = {time.data(), {}, time.size()};
    tt.columns.quantity = {qty.data(), {}, qty.size()};
    tt.columns.track.keys = {track.data(), v, track.size()};
    tt.columns.op.keys = {op.data(), v, op.size()};
    tt.columns.unit.keys = {unit.data(), v, unit.size()};
    tt.ops = {Op{Op::Kind::Add, {}}, Op{Op::Kind::Max, {}}, Op{Op::Kind::Named, "w"}, Op{}};
    tt.units = {Unit{Unit::Kind::Asset, 0, "EUR"}, Unit{Unit::Kind::Track, 1, {}}};
    tt.columns.track.dictionary.length = 2;
    tt.columns.op.dictionary.length = tt.ops.size();
    tt.columns.unit.dictionary.length = tt.units.size();
  }
};

TEST(DescribeEvent, PrintsEachField) {
  DescribedTable d;
  const std::vector<std::string> expected{
      "#0: track: Track(1), time: Single(1970-01-01T00:00:00Z), op: +, qty: 1, unit: Asset(EUR)",
      "#1: track: Track(0), time: Single(1970-01-01T00:00:00Z), op: >, qty: 0.5, unit: Track(1)",
      "#2: track: Track(0), time: Single(1970-01-01T00:00:00Z), op: w, qty: -0, unit: Asset(EUR)",
      "#3: track: Track(0), time: Single(2024-06-28T12:00:00Z), op: +, qty: 100, unit: Asset(EUR)",
      "#4: track: Track(1), time: Single(1969-12-31T23:59:59.999Z), op: , qty: NaN, unit: Track(1)",
      "#5: track: <none>, time: Single(1970-01-01T00:00:00Z), op: , qty: 0, unit: <none>"};
  for (std::size_t row = 0; row < expected.size(); ++row) EXPECT_EQ(d.tt.describe_event(row).value(), expected[row]);
}

TEST(DescribeEvent, NullCellsReadAsAbsent) {
  DescribedTable d;
  auto track = d.tt.track_at(5);
  ASSERT_FALSE(track);
  EXPECT_EQ(to_string(track.error()), "No track specified at event#5");
  EXPECT_EQ(d.tt.unit_at(5).value(), nullptr);
  EXPECT_EQ(d.tt.op_at(5).value()->kind, Op::Kind::NoOp);
  EXPECT_EQ(d.tt.track_at(4).value(), 1u);
  EXPECT_EQ(d.tt.unit_at(4).value(), &d.tt.units[1]);
}

TEST(DescribeEvent, EventErrorsCarryTheDescription) {
  DescribedTable d;
  EXPECT_EQ(to_string(event_time_error(d.tt, 3, 1719576000001)),
            "Error at event:\n  #3: track: Track(0), time: Single(2024-06-28T12:00:00Z), op: +, qty: 100, unit: "
            "Asset(EUR), caused by \nevent time is earlier than the current time 1719576000001");
  EXPECT_EQ(to_string(event_error(d.tt, 5, "Missing Unit Name")),
            "Error at event:\n  #5: track: <none>, time: Single(1970-01-01T00:00:00Z), op: , qty: 0, unit: <none>, "
            "caused by \nMissing Unit Name");
}

// ---- hand-built Arrow batches -------------------------------------------

void release_schema(ArrowSchema* s) { s->release = nullptr; }
void release_array(ArrowArray* a) { a->release = nullptr; }

// One Arrow array and its schema over buffers the test owns.
struct Node {
  std::string format, name;
  std::vector<const void*> buffers;
  ArrowSchema schema{};
  ArrowArray array{};
  Node* dictionary = nullptr;
  bool array_has_dictionary = true;
};

// A three-row timetable batch; tests change a node before make().
struct BatchBuilder {
  std::vector<std::int64_t> time{10, 20, 30, 40};
  std::vector<double> qty{1, 2, 3, 4};
  std::vector<std::int64_t> track_keys{0, 1, 0, 1};
  std::vector<std::int64_t> op_keys{0, 0, 0, 0};
  std::vector<std::int64_t> unit_keys{0, 0, 1, 1};
  std::vector<std::uint8_t> no_bits{0};
  Strings track_dict{{"a", "b"}}, op_dict{{"+"}}, unit_dict{{"EUR", "a"}};
  std::deque<Node> nodes;
  std::vector<ArrowSchema*> field_schemas;
  std::vector<ArrowArray*> field_arrays;
  Node root;

  Node& add(std::string format, std::string name, std::vector<const void*> buffers, std::int64_t length) {
    Node& n = nodes.emplace_back();
    n.format = std::move(format);
    n.name = std::move(name);
    n.buffers = std::move(buffers);
    n.array.length = length;
    return n;
  }
  Node& field(std::string format, std::string name, const void* data) {
    Node& n = add(std::move(format), std::move(name), {nullptr, data}, 3);
    field_schemas.push_back(&n.schema);
    field_arrays.push_back(&n.array);
    return n;
  }
  Node& dict_field(std::string name, const std::vector<std::int64_t>& keys, const Strings& values) {
    Node& n = field("l", std::move(name), keys.data());
    n.dictionary = &add("u", "", {nullptr, values.offsets.data(), values.data.data()},
                        static_cast<std::int64_t>(values.offsets.size() - 1));
    return n;
  }
  BatchBuilder() {
    field("tsm:", "time", time.data());
    dict_field("track", track_keys, track_dict);
    dict_field("op", op_keys, op_dict);
    field("g", "quantity", qty.data());
    dict_field("unit", unit_keys, unit_dict);
    root.format = "+s";
    root.array.length = 3;
  }
  Node& named(std::string_view name) {
    for (Node& n : nodes)
      if (n.name == name) return n;
    throw std::logic_error("no such field");
  }
  static void link(Node& n) {
    n.schema.format = n.format.c_str();
    n.schema.name = n.name.c_str();
    n.schema.release = release_schema;
    n.array.n_buffers = static_cast<std::int64_t>(n.buffers.size());
    n.array.buffers = n.buffers.data();
    n.array.release = release_array;
    if (n.dictionary != nullptr) {
      link(*n.dictionary);
      n.schema.dictionary = &n.dictionary->schema;
      n.array.dictionary = n.array_has_dictionary ? &n.dictionary->array : nullptr;
    }
  }
  ArrowBatch make() {
    for (Node& n : nodes)
      if (!n.name.empty()) link(n);
    root.buffers = {nullptr};
    link(root);
    root.schema.n_children = static_cast<std::int64_t>(field_schemas.size());
    root.schema.children = field_schemas.data();
    root.array.n_children = static_cast<std::int64_t>(field_arrays.size());
    root.array.children = field_arrays.data();
    return ArrowBatch(&root.schema, &root.array);
  }
};

TEST(ReadColumns, ViewsTheRowsOfTheStructWithoutCopies) {
  BatchBuilder b;
  b.root.array.offset = 1;
  b.root.array.length = 2;
  b.named("track").array.offset = 1;
  b.named("track").array.length = 3;
  const ArrowBatch batch = b.make();
  auto columns = read_timetable_columns(batch);
  ASSERT_TRUE(columns) << to_string(columns.error());
  EXPECT_EQ(columns->time.length, 2u);
  EXPECT_EQ(columns->time.values, b.time.data() + 1);
  EXPECT_EQ(columns->time[0], 20);
  EXPECT_EQ(columns->quantity[1], 3.0);
  EXPECT_EQ(columns->track.keys[0], 0);  // child offset 1 plus struct offset 1
  EXPECT_EQ(columns->track.keys[1], 1);
  EXPECT_EQ(columns->unit.dictionary.at(1), "a");
}

// A copy of a buffer one byte past an aligned address.
struct Misaligned {
  std::vector<unsigned char> bytes;
  template <class T>
  explicit Misaligned(const std::vector<T>& v) : bytes(v.size() * sizeof(T) + 1) {
    std::memcpy(bytes.data() + 1, v.data(), v.size() * sizeof(T));
  }
  const void* data() const { return bytes.data() + 1; }
};

TEST(ReadColumns, ReadsBuffersAtAnyAddress) {
  BatchBuilder b;  // Arrow's C interface promises no alignment
  const Misaligned time(b.time), qty(b.qty), keys(b.track_keys), offsets(b.unit_dict.offsets);
  b.named("time").buffers[1] = time.data();
  b.named("quantity").buffers[1] = qty.data();
  b.named("track").buffers[1] = keys.data();
  b.named("unit").dictionary->buffers[1] = offsets.data();
  const ArrowBatch batch = b.make();
  auto columns = read_timetable_columns(batch);
  ASSERT_TRUE(columns) << to_string(columns.error());
  EXPECT_EQ(columns->time[2], 30);
  EXPECT_EQ(columns->quantity[1], 2.0);
  EXPECT_EQ(columns->track.keys[1], 1);
  EXPECT_EQ(columns->unit.dictionary.at(1), "a");
}

struct MalformedCase {
  const char* name;
  std::function<void(BatchBuilder&)> change;
  const char* message;
};
class ReadColumns : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(ReadColumns, RefusesWithItsMessage) {
  BatchBuilder b;
  GetParam().change(b);
  const ArrowBatch batch = b.make();
  auto columns = read_timetable_columns(batch);
  ASSERT_FALSE(columns) << "expected: " << GetParam().message;
  EXPECT_EQ(to_string(columns.error()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadColumns,
    ::testing::Values(
        MalformedCase{"NullsWithoutBitmap", [](BatchBuilder& b) { b.named("op").array.null_count = 1; },
                      "Malformed record batch: 'op' declares 1 nulls without a validity buffer"},
        MalformedCase{"ChildTooShort", [](BatchBuilder& b) { b.root.array.offset = 1; },
                      "Malformed record batch: child 0 has 3 rows, fewer than the batch's offset 1 plus length 3"},
        MalformedCase{"NegativeOffset", [](BatchBuilder& b) { b.named("quantity").array.offset = -1; },
                      "Malformed record batch: child 3 has a negative offset or length"},
        MalformedCase{"TooFewBuffers", [](BatchBuilder& b) { b.named("time").buffers.pop_back(); },
                      "Malformed record batch: 'time' has 1 buffers where 2 are expected"},
        MalformedCase{"NoDataBuffer", [](BatchBuilder& b) { b.named("quantity").buffers[1] = nullptr; },
                      "Malformed record batch: 'quantity' has no data buffer"},
        MalformedCase{"OffsetsOutOfOrder", [](BatchBuilder& b) { b.unit_dict.offsets[1] = 9; },
                      "Malformed record batch: the dictionary of 'unit' has offsets out of order at value 1"},
        MalformedCase{"NoDictionaryArray", [](BatchBuilder& b) { b.named("track").array_has_dictionary = false; },
                      "Malformed record batch: 'track' has no dictionary"},
        MalformedCase{"ChildCountsDiffer", [](BatchBuilder& b) { b.field_arrays.pop_back(); },
                      "Malformed record batch: the schema has 5 fields and the array 4 children"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadColumns, IgnoresTheSlotsOfNullKeys) {
  BatchBuilder b;
  b.track_keys[1] = -7;  // a null cell may store anything
  std::uint8_t bits = 0b101;
  Node& track = b.named("track");
  track.buffers[0] = &bits;
  track.array.null_count = 1;
  const ArrowBatch batch = b.make();
  auto columns = read_timetable_columns(batch);
  ASSERT_TRUE(columns) << to_string(columns.error());
  EXPECT_FALSE(columns->track.keys.valid(1));
  EXPECT_TRUE(columns->track.keys.valid(2));
}

}  // namespace
}  // namespace vornik
