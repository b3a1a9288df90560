// Reading a 1,000,000-row timetable batch: the time per read and the memory
// it takes. The views must point into the batch's buffers (no copies); the
// only per-row work is the check that every key indexes its dictionary.
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "timetable/timetable.h"

using namespace vornik;

namespace {

constexpr std::size_t ROWS = 1'000'000;

void no_release_schema(ArrowSchema* s) { s->release = nullptr; }
void no_release_array(ArrowArray* a) { a->release = nullptr; }

struct Strings {
  std::vector<std::int32_t> offsets{0};
  std::string data;
  explicit Strings(std::vector<std::string> texts) {
    for (const auto& t : texts) {
      data += t;
      offsets.push_back(static_cast<std::int32_t>(data.size()));
    }
  }
};

struct Node {
  std::vector<const void*> buffers;
  ArrowSchema schema{};
  ArrowArray array{};
};

long max_rss_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

}  // namespace

int main() {
  std::vector<std::int64_t> time(ROWS), track(ROWS), op(ROWS), unit(ROWS);
  std::vector<double> qty(ROWS);
  for (std::size_t i = 0; i < ROWS; ++i) {
    time[i] = static_cast<std::int64_t>(1704067200000 + i);
    track[i] = static_cast<std::int64_t>(i % 3);
    op[i] = static_cast<std::int64_t>(i % 2);
    unit[i] = static_cast<std::int64_t>(i % 5);
    qty[i] = static_cast<double>(i);
  }
  Strings tracks({"t0", "t1", "t2"}), ops({"+", ">"}), units({"EUR", "USD", "t0", "t1", "GBP"});

  std::vector<Node> nodes(8);
  auto setup = [](Node& n, const char* format, const char* name, std::vector<const void*> buffers, std::int64_t len) {
    n.buffers = std::move(buffers);
    n.schema = ArrowSchema{format, name, nullptr, 0, 0, nullptr, nullptr, no_release_schema, nullptr};
    n.array = ArrowArray{len, 0, 0, static_cast<std::int64_t>(n.buffers.size()), 0, n.buffers.data(), nullptr,
                         nullptr, no_release_array, nullptr};
  };
  const auto rows = static_cast<std::int64_t>(ROWS);
  setup(nodes[0], "tsm:", "time", {nullptr, time.data()}, rows);
  setup(nodes[1], "l", "track", {nullptr, track.data()}, rows);
  setup(nodes[2], "l", "op", {nullptr, op.data()}, rows);
  setup(nodes[3], "g", "quantity", {nullptr, qty.data()}, rows);
  setup(nodes[4], "l", "unit", {nullptr, unit.data()}, rows);
  setup(nodes[5], "u", "", {nullptr, tracks.offsets.data(), tracks.data.data()}, 3);
  setup(nodes[6], "u", "", {nullptr, ops.offsets.data(), ops.data.data()}, 2);
  setup(nodes[7], "u", "", {nullptr, units.offsets.data(), units.data.data()}, 5);
  for (int k = 0; k < 3; ++k) {
    Node& column = nodes[k == 0 ? 1 : k == 1 ? 2 : 4];
    column.schema.dictionary = &nodes[5 + k].schema;
    column.array.dictionary = &nodes[5 + k].array;
  }
  std::vector<ArrowSchema*> schemas;
  std::vector<ArrowArray*> arrays;
  for (int i = 0; i < 5; ++i) {
    schemas.push_back(&nodes[i].schema);
    arrays.push_back(&nodes[i].array);
  }
  std::vector<const void*> root_buffers{nullptr};
  ArrowSchema root_schema{"+s", "", nullptr, 0, 5, schemas.data(), nullptr, no_release_schema, nullptr};
  ArrowArray root_array{rows, 0, 0, 1, 5, root_buffers.data(), arrays.data(), nullptr, no_release_array, nullptr};
  const ArrowBatch batch(&root_schema, &root_array);

  const long rss_before = max_rss_kib();
  constexpr int REPEATS = 50;
  double checksum = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < REPEATS; ++r) {
    auto columns = read_timetable_columns(batch);
    if (!columns) {
      std::fprintf(stderr, "read failed: %s\n", to_string(columns.error()).c_str());
      return 1;
    }
    auto timetable = timetable_from_columns(*columns, {}, {});
    if (!timetable) return 1;
    if (timetable->columns.time.values != time.data() || timetable->columns.quantity.values != qty.data()) {
      std::fprintf(stderr, "a column was copied\n");
      return 1;
    }
    checksum += timetable->quantity_at(ROWS - 1);
  }
  const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("read of %zu rows: %.3f ms per read (%d reads, checksum %.0f)\n", ROWS, elapsed.count() / REPEATS,
              REPEATS, checksum);
  std::printf("peak memory grew by %ld KiB while reading (the columns hold %zu KiB)\n", max_rss_kib() - rss_before,
              ROWS * 5 * 8 / 1024);
  return 0;
}
