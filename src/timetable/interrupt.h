// Lets the engine's long loops end early when the caller interrupts them
// (Ctrl-C). The binding installs a check for the length of a call; without
// one, as in the C++ tests and benchmarks, nothing is ever interrupted.
#pragma once

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
class InterruptPoll {
 public:
  std::expected<void, EvaluationError> spend(std::uint64_t work) {
    if (work < left_) {
      left_ -= work;
      return {};
    }
    return ask();
  }

 private:
  static constexpr std::uint64_t BUDGET = std::uint64_t{1} << 20;  // about a millisecond
  std::expected<void, EvaluationError> ask();
  std::uint64_t left_ = BUDGET;
};

}  // namespace vornik
