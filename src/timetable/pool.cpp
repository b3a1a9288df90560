// The pool behind vector_alloc: mappings aligned and advised for transparent
// huge pages, grown 64 MiB at a time and carved first-fit. What is resident
// but unused is counted per 2 MiB slot (one huge page): at most POOL_KEEP of
// it stays, and a block that outlives its call pins only the slots it lies in.
#include "timetable/pool.h"

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

namespace vornik {

namespace {

constexpr std::size_t SLOT = 2 << 20;    // a transparent huge page
constexpr std::size_t CHUNK = 64 << 20;  // the step by which mappings grow
constexpr std::size_t ALIGN = 64;        // every block starts on a cache line
constexpr std::size_t MAX_BLOCK = std::size_t{1} << 47;  // more than any address space

std::size_t round_up(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

// Under AddressSanitizer the pool's free memory and a red zone after each
// block stay poisoned, so that a read past a vector is caught as with malloc.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t RED_ZONE = ALIGN;
#else
constexpr std::size_t RED_ZONE = 0;
#endif

std::size_t block_size(std::size_t bytes) { return round_up(bytes + RED_ZONE, ALIGN); }

struct Hole {
  std::size_t off;
  std::size_t len;
};

struct Chunk {
  std::byte* base;
  std::size_t size;                      // a multiple of SLOT
  std::size_t live = 0;                  // bytes in blocks
  std::size_t blocks = 0;                // blocks handed out
  std::vector<Hole> holes;               // by offset, never adjacent; room for blocks + 1
  std::vector<std::uint32_t> slot_live;  // bytes of blocks in each slot
  std::vector<bool> slot_touched;        // faulted in since mapped or released

  bool idle_slot(std::size_t k) const { return slot_touched[k] && slot_live[k] == 0; }
};

// Free must never allocate. Holes are never adjacent, so a chunk has at most
// one more of them than blocks: room for that many is made before a block is
// taken, where failing is still allowed.
void room_for_a_block(Chunk& c) {
  if (c.holes.capacity() < c.blocks + 2) c.holes.reserve(std::max(c.blocks + 2, 2 * c.holes.capacity()));
}

void unmap(std::byte* start, std::size_t len) {
  ASAN_UNPOISON_MEMORY_REGION(start, len);  // the addresses may serve others next
  munmap(start, len);
}

}  // namespace

class Pool {
 public:
  ~Pool() {  // a test's pool; the process's is never destroyed
    for (const Chunk& c : chunks_) unmap(c.base, c.size);
  }

  void* alloc(std::size_t bytes) {
    if (bytes > MAX_BLOCK) return nullptr;
    const std::size_t size = block_size(bytes);
    std::lock_guard lock(mutex_);
    std::byte* block = nullptr;
    for (Chunk& c : chunks_) {
      if (auto off = carve(c, size)) {
        block = c.base + *off;
        break;
      }
    }
    if (block == nullptr) {
      Chunk* c = grow(size);
      if (c == nullptr) return nullptr;
      block = c->base + *carve(*c, size);
    }
    ASAN_UNPOISON_MEMORY_REGION(block, bytes);
    handed_ += bytes;
    return block;
  }

  // False when the memory is not the pool's.
  bool free(void* data, std::size_t bytes) {
    const std::size_t size = block_size(bytes);
    std::lock_guard lock(mutex_);
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), static_cast<std::byte*>(data),
                               [](std::byte* p, const Chunk& c) { return p < c.base; });
    if (it == chunks_.begin()) return false;
    Chunk& c = *--it;
    const auto off = static_cast<std::size_t>(static_cast<std::byte*>(data) - c.base);
    if (off >= c.size) return false;
    ASAN_POISON_MEMORY_REGION(data, size);
    handed_ -= bytes;
    add_hole(c, off, size);
    c.live -= size;
    --c.blocks;
    account(c, off, size, false);
    if (idle_ > POOL_KEEP) release(c);
    if (c.live == 0) shrink(it);
    return true;
  }

  PoolStats stats() {
    std::lock_guard lock(mutex_);
    PoolStats s{0, handed_, idle_};
    for (const Chunk& c : chunks_) s.mapped += c.size;
    return s;
  }

  bool consistent() {
    std::lock_guard lock(mutex_);
    std::size_t idle = 0;
    for (std::size_t i = 0; i < chunks_.size(); ++i) {
      const Chunk& c = chunks_[i];
      const std::size_t slots = c.size / SLOT;
      if (c.size % SLOT != 0 || c.slot_live.size() != slots || c.slot_touched.size() != slots) return false;
      if (i > 0 && chunks_[i - 1].base + chunks_[i - 1].size > c.base) return false;
      if (c.holes.capacity() < c.blocks + 1 || (c.blocks == 0) != (c.live == 0)) return false;
      std::vector<std::size_t> in_blocks(slots, SLOT);
      std::size_t in_holes = 0;
      for (std::size_t h = 0; h < c.holes.size(); ++h) {
        const auto [off, len] = c.holes[h];
        if (len == 0 || off + len > c.size) return false;
        if (h > 0 && c.holes[h - 1].off + c.holes[h - 1].len >= off) return false;  // unsorted or adjacent
        in_holes += len;
        for (std::size_t k = off / SLOT; k * SLOT < off + len; ++k) {
          in_blocks[k] -= std::min(off + len, (k + 1) * SLOT) - std::max(off, k * SLOT);
        }
      }
      if (in_holes + c.live != c.size) return false;
      for (std::size_t k = 0; k < slots; ++k) {
        if (in_blocks[k] != c.slot_live[k]) return false;
        idle += c.idle_slot(k) ? SLOT : 0;
      }
    }
    return idle == idle_;
  }

 private:
  // The first hole that fits, cut from its front.
  std::optional<std::size_t> carve(Chunk& c, std::size_t size) {
    const auto fits = std::ranges::find_if(c.holes, [&](const Hole& h) { return h.len >= size; });
    if (fits == c.holes.end()) return std::nullopt;
    const auto i = fits - c.holes.begin();
    room_for_a_block(c);
    const auto hole = c.holes.begin() + i;
    const std::size_t off = hole->off;
    hole->off += size;
    hole->len -= size;
    if (hole->len == 0) c.holes.erase(hole);
    c.live += size;
    ++c.blocks;
    account(c, off, size, true);
    return off;
  }

  void add_hole(Chunk& c, std::size_t off, std::size_t size) {
    auto next = std::ranges::find_if(c.holes, [&](const Hole& h) { return h.off > off; });
    const bool joins_prev = next != c.holes.begin() && std::prev(next)->off + std::prev(next)->len == off;
    const bool joins_next = next != c.holes.end() && off + size == next->off;
    if (joins_prev && joins_next) {
      std::prev(next)->len += size + next->len;
      c.holes.erase(next);
    } else if (joins_prev) {
      std::prev(next)->len += size;
    } else if (joins_next) {
      next->off = off;
      next->len += size;
    } else {
      c.holes.insert(next, Hole{off, size});
    }
  }

  // A block taken (or given back) changes the live bytes of the slots it
  // lies in; a touched slot without live bytes is idle.
  void account(Chunk& c, std::size_t off, std::size_t size, bool taken) {
    for (std::size_t k = off / SLOT; k * SLOT < off + size; ++k) {
      const std::size_t part = std::min(off + size, (k + 1) * SLOT) - std::max(off, k * SLOT);
      if (c.idle_slot(k)) idle_ -= SLOT;
      if (taken) {
        c.slot_live[k] += static_cast<std::uint32_t>(part);
        c.slot_touched[k] = true;
      } else {
        c.slot_live[k] -= static_cast<std::uint32_t>(part);
      }
      if (c.idle_slot(k)) idle_ += SLOT;
    }
  }

  // An empty chunk keeps its addresses only up to its last idle slot.
  void shrink(std::vector<Chunk>::iterator it) {
    Chunk& c = *it;
    std::size_t slots = c.slot_live.size();
    while (slots > 0 && !c.idle_slot(slots - 1)) --slots;
    if (slots == 0) {
      unmap(c.base, c.size);
      chunks_.erase(it);
      return;
    }
    unmap(c.base + slots * SLOT, c.size - slots * SLOT);
    c.size = slots * SLOT;
    c.holes.assign(1, Hole{0, c.size});  // within capacity
    c.slot_live.resize(slots);
    c.slot_touched.resize(slots);
  }

  // Gives the chunk's idle slots back, the highest first, until at most
  // POOL_KEEP is idle: what stays is where the next first fit looks.
  void release(Chunk& c) {
    for (std::size_t k = c.slot_live.size(); k-- > 0 && idle_ > POOL_KEEP;) {
      if (!c.idle_slot(k)) continue;
      madvise(c.base + k * SLOT, SLOT, MADV_DONTNEED);
      c.slot_touched[k] = false;
      idle_ -= SLOT;
    }
  }

  // Room for a block that fits no hole: the mapping of the highest chunk
  // grown in place where the addresses after it are free, so that its blocks
  // pack without a gap; else a new mapping.
  Chunk* grow(std::size_t size) {
    if (!chunks_.empty()) {
      Chunk& c = chunks_.back();
      const bool free_end = !c.holes.empty() && c.holes.back().off + c.holes.back().len == c.size;
      const std::size_t extra = std::max(CHUNK, round_up(size - (free_end ? c.holes.back().len : 0), SLOT));
      // Room in the records first: once mapped, the extension must be taken whole.
      room_for_a_block(c);
      c.slot_live.reserve((c.size + extra) / SLOT);
      c.slot_touched.reserve((c.size + extra) / SLOT);
      void* end = c.base + c.size;
      void* got = mmap(end, extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
      if (got == end) {
        madvise(end, extra, MADV_HUGEPAGE);
        ASAN_POISON_MEMORY_REGION(end, extra);
        add_hole(c, c.size, extra);
        c.size += extra;
        c.slot_live.resize(c.size / SLOT, 0);
        c.slot_touched.resize(c.size / SLOT, false);
        return &c;
      }
      if (got != MAP_FAILED) munmap(got, extra);  // a kernel that took the address as a hint
    }
    return map_chunk(std::max(CHUNK, round_up(size, SLOT)));
  }

  // A fresh mapping of `size` bytes on a SLOT boundary, so that every slot
  // can be one huge page. Its records are made first: nothing fails once mapped.
  Chunk* map_chunk(std::size_t size) {
    chunks_.reserve(chunks_.size() + 1);
    Chunk c{.base = nullptr,
            .size = size,
            .holes = {},
            .slot_live = std::vector<std::uint32_t>(size / SLOT, 0),
            .slot_touched = std::vector<bool>(size / SLOT, false)};
    room_for_a_block(c);
    c.holes.push_back(Hole{0, size});
    void* raw = mmap(nullptr, size + SLOT, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = round_up(start, SLOT);
    if (aligned > start) munmap(raw, aligned - start);
    if (const std::size_t tail = start + SLOT - aligned; tail > 0) {
      munmap(reinterpret_cast<void*>(aligned + size), tail);
    }
    auto* base = reinterpret_cast<std::byte*>(aligned);
    madvise(base, size, MADV_HUGEPAGE);  // no effect where huge pages are off
    ASAN_POISON_MEMORY_REGION(base, size);
    c.base = base;
    auto at = std::ranges::upper_bound(chunks_, base, {}, &Chunk::base);
    return &*chunks_.insert(at, std::move(c));
  }

  std::mutex mutex_;  // NumPy may free an array on any thread
  std::vector<Chunk> chunks_;  // by base address
  std::size_t idle_ = 0;       // bytes of idle slots
  std::size_t handed_ = 0;     // bytes asked for by the blocks handed out
};

namespace {

// Never destroyed: NumPy may free arrays while the process exits.
Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

}  // namespace

void* vector_alloc(std::size_t bytes) {
  void* data = bytes >= POOL_MIN_BLOCK ? pool().alloc(bytes) : nullptr;
  if (data == nullptr) data = std::malloc(bytes);  // small, or no mapping to be had
  if (data == nullptr) throw std::bad_alloc();
  return data;
}

void vector_free(void* data, std::size_t bytes) noexcept {
  if (data == nullptr) return;
  if (bytes >= POOL_MIN_BLOCK && pool().free(data, bytes)) return;
  std::free(data);
}

PoolStats pool_stats() { return pool().stats(); }

TestPool::TestPool() : pool_(new Pool) {}
TestPool::~TestPool() { delete pool_; }
void* TestPool::alloc(std::size_t bytes) { return pool_->alloc(bytes); }
bool TestPool::free(void* data, std::size_t bytes) { return pool_->free(data, bytes); }
PoolStats TestPool::stats() { return pool_->stats(); }
bool TestPool::consistent() { return pool_->consistent(); }

}  // namespace vornik
