// The pool behind large value vectors: blocks never overlap, what a call
// frees stays resident only up to the bound, a block that outlives its call
// pins little more than itself, and blocks may be freed on any thread.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "timetable/pool.h"

namespace vornik {
namespace {

constexpr std::size_t MiB = 1 << 20;
constexpr std::size_t SLOT = 2 * MiB;
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

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

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

}  // namespace
}  // namespace vornik
