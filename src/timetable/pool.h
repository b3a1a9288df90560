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
};
PoolStats pool_stats();

}  // namespace vornik
