// Lets the engine's long loops end early when the caller interrupts them
// (Ctrl-C). The binding installs a check for the length of a call; without
// one, as in the C++ tests and benchmarks, nothing is ever interrupted.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>

#include "timetable/errors.h"

namespace vornik {

class InterruptCheck {
 public:
  // True when the run must end now.
  virtual bool interrupted() = 0;

 protected:
  ~InterruptCheck() = default;
};

// Installs a check on this thread while it lives; the one before comes back.
class ScopedInterruptCheck {
 public:
  explicit ScopedInterruptCheck(InterruptCheck& check);
  ~ScopedInterruptCheck();
  ScopedInterruptCheck(const ScopedInterruptCheck&) = delete;
  ScopedInterruptCheck& operator=(const ScopedInterruptCheck&) = delete;

 private:
  InterruptCheck* outer_;
};

// The work counter of one long loop: the check is asked only once a budget
// of work has been spent, so that the loop pays a subtraction per step.
// Work is counted in units of roughly a nanosecond of computation; a loop
// step counts its fixed cost too, so that steps over tiny vectors add up.
// SpecError, OpError and EvaluationError hold its Interrupted, so that a
// loop that returns any of them can poll.
class InterruptPoll {
 public:
  std::expected<void, Interrupted> spend(std::uint64_t work) {
    if (work < left_) {
      left_ -= work;
      return {};
    }
    return ask();
  }

 private:
  static constexpr std::uint64_t BUDGET = std::uint64_t{1} << 20;  // about a millisecond
  std::expected<void, Interrupted> ask();
  std::uint64_t left_ = BUDGET;
};

// Runs step(begin, end) over [0, n) in pieces, spending `work` per item after
// each: a loop that the compiler vectorises stays whole within a piece.
template <class Step>
std::expected<void, Interrupted> in_pieces(InterruptPoll& poll, std::size_t n, std::uint64_t work, Step step) {
  constexpr std::size_t PIECE = std::size_t{1} << 14;
  for (std::size_t begin = 0; begin < n; begin += PIECE) {
    const std::size_t end = std::min(n, begin + PIECE);
    step(begin, end);
    VK_CHECK(poll.spend((end - begin) * work));
  }
  return {};
}

}  // namespace vornik
