// The Ledger: the book of one run. Track values, choice indicators (row,
// then track) and cashflows (track, then row), as FLAGS selects.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <memory_resource>
#include <unordered_map>

#include "timetable/errors.h"
#include "timetable/interrupt.h"
#include "timetable/op.h"
#include "timetable/timetable.h"
#include "timetable/values.h"

namespace vornik {

// FLAGS bits.
inline constexpr std::uint32_t FLAG_PV_VEC = 1;
inline constexpr std::uint32_t FLAG_CHOICES = 2;
inline constexpr std::uint32_t FLAG_CASHFLOW = 8;

// The maps of a Ledger take their nodes from its arena.
template <class V>
using U64Map = std::pmr::unordered_map<std::uint64_t, V>;

// Pool memory carved in sequence and given back when the arena ends: a book
// of millions of cashflows goes in milliseconds, not a node at a time. A
// Ledger assigned to keeps its own arena; its maps move what they take into it.
class LedgerArena {
 public:
  LedgerArena();
  LedgerArena(LedgerArena&&) noexcept = default;
  LedgerArena& operator=(LedgerArena&&) noexcept { return *this; }
  std::pmr::memory_resource* get() const { return resource_.get(); }

 private:
  std::unique_ptr<std::pmr::memory_resource> resource_;
};

// The vectors in `values` of the tracks booked last, one slot per track key
// modulo its size: a booking finds its track without hashing. The map's
// nodes never move and its entries are never erased, so a pointer stays
// valid for the life of the map.
class TrackCache {
 public:
  Values* find(std::uint64_t track) const {
    const Slot& s = slots_[track % SLOTS];
    return s.track == track ? s.value : nullptr;
  }
  void put(std::uint64_t track, Values* value) { slots_[track % SLOTS] = {track, value}; }

 private:
  static constexpr std::size_t SLOTS = 8;
  struct Slot {
    std::uint64_t track = 0;
    Values* value = nullptr;  // null: the slot is free, whatever its track
  };
  std::array<Slot, SLOTS> slots_{};
};

struct Ledger {
  LedgerArena arena;  // first: made before the maps, gone after them
  U64Map<Values> values{arena.get()};              // track -> value vector
  U64Map<U64Map<Mask>> choices{arena.get()};       // row -> track -> 0/1 indicators
  U64Map<U64Map<Values>> cashflows{arena.get()};   // track -> row -> cashflow vector
  std::uint64_t len = 0;               // vector length of the run
  TrackCache booked;                   // in front of `values`
  // Per track key, the rows that may book a cashflow on it (expect_cashflows).
  std::vector<std::uint64_t> cashflow_rows;
  // The work of settlement, and of the loops over a track's cashflows
  // inside a booking: a row may revisit every cashflow of its track.
  InterruptPoll poll;
};

// The steps of book_event_value that most rows skip, out of line.
namespace booking {
// The cashflow book; returns where the track reads the value from (the
// booked cashflow, when it took the value).
std::expected<const Values*, OpError> cashflow_step(Ledger& ledger, const Op& op, std::uint64_t track, Values& value,
                                                    std::uint64_t event);
std::expected<void, OpError> choice_step(Ledger& ledger, const Op& op, std::uint64_t track, const Values& value,
                                         std::uint64_t event);
// The first event on a track meets zeros; operand is value, or the cashflow that took it.
std::expected<void, OpError> first_value(Ledger& ledger, const Op& op, std::uint64_t track, Values& value,
                                         const Values& operand);
// values[track] from the map, which the cache then holds; null while the track has no value.
Values* find_uncached(Ledger& ledger, std::uint64_t track);
inline Values* find_track_value(Ledger& ledger, std::uint64_t track) {
  if (Values* cached = ledger.booked.find(track)) return cached;
  return find_uncached(ledger, track);
}
}  // namespace booking

// Books an event under Add, Max or Min (NoOp and Named are refused). Always
// inline: settlement books every row through it, and the call cost more than
// the booking of a one-element value.
[[gnu::always_inline]] inline std::expected<void, OpError> book_event_value(Ledger& ledger, const Op& op,
                                                                            std::uint64_t track, Values&& value,
                                                                            std::uint64_t event, std::uint32_t flags) {
  const Values* operand = &value;  // the cashflow book may take the value; the track then reads it there
  if (flags & FLAG_CASHFLOW) [[unlikely]]
    operand = VK_TRY(booking::cashflow_step(ledger, op, track, value, event));
  if ((flags & FLAG_CHOICES) && (op.kind == Op::Kind::Max || op.kind == Op::Kind::Min)) [[unlikely]]
    VK_CHECK(booking::choice_step(ledger, op, track, value, event));
  Values* current = booking::find_track_value(ledger, track);
  if (current == nullptr) [[unlikely]] return booking::first_value(ledger, op, track, value, *operand);
  auto applied = apply_op(op, *current, *operand);
  if (!applied) [[unlikely]] return std::unexpected(OpError::Spec{std::move(applied).error()});
  return {};
}
// Books an event under a named op, weighted by the op's value.
std::expected<void, OpError> book_cashflow(Ledger& ledger, Values&& weight, std::uint64_t track, Values&& value,
                                           std::uint64_t event, std::uint32_t flags);
// "Track {} not found" when the track has no value.
std::expected<const Values*, OpError> get_track_value(const U64Map<Values>& values, std::uint64_t track);

// Counts the rows of each track before the cashflows are booked: a track's
// book is then made whole at its first cashflow. Grown row by row, a book of
// millions would rehash for tens of milliseconds at a time, where no poll is.
std::expected<void, Interrupted> expect_cashflows(Ledger& ledger, const Timetable& timetable);

// Books the vector itself, or len copies of a one-element vector; returns the booked vector.
std::expected<const Values*, OpError> book_track_event_cashflow(Ledger& ledger, std::uint64_t event,
                                                                std::uint64_t track, Values vector);
void book_track_event_choice(U64Map<U64Map<Mask>>& choices, std::uint64_t event, std::uint64_t track, Mask mask);

// Paths on which an event won a ">" or "<" comparison.
using Won = Buffer<bool>;

// Multiplies every cashflow booked on the track by factor, in place.
std::expected<void, OpError> scale_track_cashflows(Ledger& ledger, std::uint64_t track, const Values& factor);
// mask[i] := mark where value[i] beats current[i] under Max or Min (strictly).
std::expected<void, OpError> choice_mask(const Values& current, Mask& mask, const Values& value, const Op& op,
                                         std::uint64_t mark);
// value[i] where won[i], 0.0 elsewhere.
std::expected<Values, OpError> mask_value(const Won& won, const Values& value);

}  // namespace vornik
