// Where the memory of large value vectors comes from and goes to. Small
// blocks are the process allocator's; large ones are carved from a few
// mappings advised for transparent huge pages, and a bounded amount of what
// is freed stays mapped, so that the next call does not fault it in again.
#pragma once

#include <cstddef>

namespace vornik {

// Blocks of at least this many bytes come from the pool.
inline constexpr std::size_t POOL_MIN_BLOCK = 32 << 10;
// Freed memory that stays resident for the next call, at most.
inline constexpr std::size_t POOL_KEEP = 64 << 20;

// `bytes` of memory, never null; throws std::bad_alloc when there is none.
void* vector_alloc(std::size_t bytes);
// Frees what vector_alloc(bytes) gave, from any thread.
void vector_free(void* data, std::size_t bytes) noexcept;

struct PoolStats {
  std::size_t mapped;  // address space of the mappings
  std::size_t live;    // bytes of the blocks handed out
  std::size_t idle;    // resident bytes that hold no block

  bool operator==(const PoolStats&) const = default;
};
PoolStats pool_stats();

// For tests: a pool apart from the process's one, which holds whatever
// earlier tests left in it.
class Pool;
class TestPool {
 public:
  TestPool();
  ~TestPool();  // unmaps everything
  TestPool(const TestPool&) = delete;
  TestPool& operator=(const TestPool&) = delete;

  void* alloc(std::size_t bytes);  // null where no mapping is to be had
  bool free(void* data, std::size_t bytes);
  PoolStats stats();
  // The check of its own bookkeeping: holes and blocks tile each chunk, the
  // slots' counts agree with them, and a free finds room for its hole.
  bool consistent();

 private:
  Pool* pool_;
};

}  // namespace vornik
