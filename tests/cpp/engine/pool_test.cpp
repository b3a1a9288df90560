// The pool behind large value vectors: blocks never overlap, what a call
// frees stays resident only up to the bound, a block that outlives its call
// pins little more than itself, blocks may be freed on any thread, a free
// never allocates, and a failed allocation leaves the pool as it was.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <new>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "timetable/pool.h"

namespace {

// While armed, allocations are counted and the one numbered fail_at throws.
struct Countdown {
  bool armed = false;
  std::size_t seen = 0;
  std::size_t fail_at = SIZE_MAX;
};
Countdown countdown;

}  // namespace

// Every form, so that what one allocates the other frees (as AddressSanitizer checks).
void* operator new(std::size_t n) {
  if (countdown.armed && countdown.seen++ == countdown.fail_at) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return operator new(n, std::nothrow); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace vornik {
namespace {

constexpr std::size_t MiB = 1 << 20;
constexpr std::size_t SLOT = 2 * MiB;
constexpr std::size_t CHUNK = 64 * MiB;
constexpr std::size_t PATHS = 100000;

struct Block {
  double* data;
  std::size_t n;
  double mark;
};

Block take(std::size_t n, double mark) {
  auto* data = static_cast<double*>(vector_alloc(n * sizeof(double)));
  std::fill_n(data, n, mark);
  return {data, n, mark};
}

bool intact(const Block& b) { return std::all_of(b.data, b.data + b.n, [&](double x) { return x == b.mark; }); }

void give(const Block& b) { vector_free(b.data, b.n * sizeof(double)); }

// The last blocks, checked and freed: the pool is back where it stood.
void give_all(const std::vector<Block>& blocks, const PoolStats& before) {
  for (const Block& b : blocks) {
    EXPECT_TRUE(intact(b)) << "block marked " << b.mark;
    give(b);
  }
  EXPECT_EQ(pool_stats().live, before.live);
  EXPECT_LE(pool_stats().idle, POOL_KEEP);
}

// The first two fields of /proc/self/statm: address space, then resident.
std::size_t statm_bytes(int field) {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages[2] = {};
  statm >> pages[0] >> pages[1];
  return pages[field] * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::size_t resident_bytes() { return statm_bytes(1); }

// One mc_price call of the benchmark: a vector per row, freed last row first;
// `kept` (if any) outlives the call, as an array the caller holds on to.
std::optional<Block> one_call(std::size_t rows, std::optional<std::size_t> kept = std::nullopt) {
  std::vector<Block> blocks;
  for (std::size_t r = 0; r < rows; ++r) blocks.push_back(take(PATHS, static_cast<double>(r)));
  std::optional<Block> out;
  for (std::size_t r = rows; r-- > 0;) {
    EXPECT_TRUE(intact(blocks[r])) << "row " << r;
    if (kept == r) {
      out = blocks[r];
    } else {
      give(blocks[r]);
    }
  }
  return out;
}

TEST(Pool, BlocksKeepTheirContentsWhileOthersComeAndGo) {
  const PoolStats before = pool_stats();
  std::mt19937 rng(5);
  std::uniform_int_distribution<std::size_t> length(4096, 200000);
  std::vector<Block> live;
  for (int step = 0; step < 2000; ++step) {
    if (live.size() < 40 || rng() % 2 == 0) {
      live.push_back(take(length(rng), step));
    } else {
      std::swap(live[rng() % live.size()], live.back());
      ASSERT_TRUE(intact(live.back())) << "block marked " << live.back().mark;
      give(live.back());
      live.pop_back();
    }
  }
  give_all(live, before);
}

TEST(Pool, KeepsUpToTheBoundForTheNextCallAndNoMore) {
  const PoolStats before = pool_stats();
  for (int call = 0; call < 2; ++call) one_call(100);  // 80 MB, more than the bound
  const PoolStats first = pool_stats();
  for (int call = 0; call < 2; ++call) one_call(100);
  const PoolStats after = pool_stats();
  EXPECT_EQ(after.live, before.live);
  EXPECT_LE(after.idle, POOL_KEEP);
  EXPECT_GT(after.idle, POOL_KEEP - SLOT) << "what the next call can use without a fault";
  EXPECT_EQ(after.mapped, first.mapped) << "calls of one size reuse the same addresses";
}

TEST(Pool, ABlockThatOutlivesItsCallPinsLittleMoreThanItself) {
  const PoolStats before = pool_stats();
  const std::size_t resident = resident_bytes();
  std::vector<Block> kept;
  for (std::size_t call = 0; call < 10; ++call) kept.push_back(*one_call(100, call * 9));
  const std::size_t block = PATHS * sizeof(double);
  EXPECT_EQ(pool_stats().live, before.live + kept.size() * block);
  EXPECT_LE(pool_stats().idle, POOL_KEEP);
  // Each kept block may hold the rest of the two huge pages at its ends.
  EXPECT_LE(resident_bytes(), resident + POOL_KEEP + kept.size() * (block + 2 * SLOT));
  give_all(kept, before);
}

TEST(Pool, BlocksMayBeFreedOnAnyThread) {
  const PoolStats before = pool_stats();
  std::vector<Block> handed;
  for (int i = 0; i < 64; ++i) handed.push_back(take(8192 + 1000 * i, i));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < 300; ++i) {
        Block b = take(4096 + rng() % 200000, t);
        EXPECT_TRUE(intact(b));
        give(b);
      }
      for (std::size_t i = t; i < handed.size(); i += 4) give(handed[i]);  // freed where NumPy drops them
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(pool_stats().live, before.live);
}

// Allocations made by `op` with the one numbered fail_at failing.
std::size_t allocations(const std::function<void()>& op, std::size_t fail_at = SIZE_MAX) {
  countdown = {.armed = true, .seen = 0, .fail_at = fail_at};
  try {
    op();
  } catch (...) {
    countdown.armed = false;
    throw;
  }
  countdown.armed = false;
  return countdown.seen;
}

// Runs `op` with its n-th allocation failing, n = 0, 1, 2, ..., until it
// runs through: each failure leaves the pool as it stood, its bookkeeping
// whole and no mapping behind. Returns the allocations of the last run.
std::size_t fail_each_allocation(TestPool& pool, const std::function<void()>& op) {
  for (std::size_t n = 0;; ++n) {
    const PoolStats before = pool.stats();
    const std::size_t address_space = statm_bytes(0);
    try {
      return allocations(op, n);
    } catch (const std::bad_alloc&) {
    }
    EXPECT_TRUE(pool.consistent()) << "allocation " << n << " failed";
    EXPECT_TRUE(pool.stats() == before) << "allocation " << n << " failed";
    EXPECT_LT(statm_bytes(0), address_space + CHUNK) << "a mapping leaked when allocation " << n << " failed";
  }
}

// A pool of its own, whose blocks are taken with each allocation inside
// failing in turn and are all given back at the end.
class PoolUnderFailure : public testing::Test {
 protected:
  // The allocations that taking a block of n doubles made.
  std::size_t take(std::size_t n, bool failing = true) {
    void* data = nullptr;
    const auto alloc = [&] { data = pool.alloc(n * sizeof(double)); };
    const std::size_t made = failing ? fail_each_allocation(pool, alloc) : allocations(alloc);
    EXPECT_NE(data, nullptr);
    blocks.push_back({static_cast<double*>(data), n, static_cast<double>(blocks.size())});
    std::fill_n(blocks.back().data, n, blocks.back().mark);
    return made;
  }

  // The allocations that giving back blocks[i] made.
  std::size_t give(std::size_t i) {
    EXPECT_TRUE(intact(blocks[i])) << "block marked " << blocks[i].mark;
    const std::size_t made = allocations([&] { pool.free(blocks[i].data, blocks[i].n * sizeof(double)); });
    blocks[i].data = nullptr;
    return made;
  }

  void TearDown() override {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      if (blocks[i].data != nullptr) give(i);
    }
    EXPECT_TRUE(pool.consistent());
    EXPECT_EQ(pool.stats().live, 0U);
  }

  // The addresses `len` bytes from `at` on, taken here unless already taken.
  static void* occupy(std::byte* at, std::size_t len) {
    void* got = mmap(at, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (got == MAP_FAILED) return nullptr;
    if (got != at) {
      munmap(got, len);
      return nullptr;
    }
    return got;
  }

  TestPool pool;
  std::vector<Block> blocks;
};

TEST_F(PoolUnderFailure, BlocksCarvedFromAChunk) {
  std::size_t made = 0;
  for (int i = 0; i < 100; ++i) made += take(5000);
  for (std::size_t i = 0; i < blocks.size(); i += 2) give(i);
  for (int i = 0; i < 100; ++i) made += take(4500);  // into the holes left
  EXPECT_GT(made, 1U);
  EXPECT_TRUE(pool.consistent());
}

TEST_F(PoolUnderFailure, AFreeAllocatesNothing) {
  for (int i = 0; i < 300; ++i) take(5000);
  for (std::size_t first : {0, 1}) {  // a new hole each, then holes joined
    for (std::size_t i = first; i < blocks.size(); i += 2) {
      EXPECT_EQ(give(i), 0U) << "block " << i;
      ASSERT_TRUE(pool.consistent()) << "block " << i;
    }
  }
}

TEST_F(PoolUnderFailure, ANewChunk) {
  EXPECT_GT(take(PATHS), 0U);
  EXPECT_EQ(pool.stats().mapped, CHUNK);
  // The next block fits the chunk only if it grows, and it cannot.
  auto* end = reinterpret_cast<std::byte*>(blocks[0].data) + CHUNK;
  void* guard = occupy(end, SLOT);
  EXPECT_GT(take(CHUNK / sizeof(double)), 0U);
  EXPECT_GT(pool.stats().mapped, 2 * CHUNK - SLOT);
  const auto* second = reinterpret_cast<std::byte*>(blocks[1].data);
  EXPECT_TRUE(second < end - CHUNK || second > end) << "a new chunk's block";
  if (guard != nullptr) munmap(guard, SLOT);
}

TEST_F(PoolUnderFailure, AChunkGrownInPlace) {
  // A mapping goes to the top of the highest gap that fits it. Once one of
  // the chunk's size has the rest of its gap below it, the chunk lands there,
  // and the addresses after the chunk are free when that mapping goes.
  constexpr std::size_t RAW = CHUNK + SLOT;
  std::vector<std::byte*> above;
  for (int i = 0; i < 64; ++i) {
    above.push_back(static_cast<std::byte*>(mmap(nullptr, RAW, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)));
    ASSERT_NE(above.back(), MAP_FAILED);
    if (void* below = occupy(above.back() - RAW, RAW)) {
      munmap(below, RAW);
      break;
    }
  }
  take(PATHS, false);
  for (std::byte* a : above) munmap(a, RAW);
  auto* end = reinterpret_cast<std::byte*>(blocks[0].data) + CHUNK;
  void* probe = occupy(end, CHUNK);
  if (probe == nullptr) GTEST_SKIP() << "the addresses after the chunk are taken";
  munmap(probe, CHUNK);
  EXPECT_GT(take(CHUNK / sizeof(double)), 0U);
  EXPECT_EQ(pool.stats().mapped, 2 * CHUNK);
  EXPECT_LT(reinterpret_cast<std::byte*>(blocks[1].data), end) << "carved from the chunk's last hole";
}

}  // namespace
}  // namespace vornik
