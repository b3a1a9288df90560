// The check installed on each thread and the slow path of the work counter.
#include "timetable/interrupt.h"

namespace vornik {

namespace {
thread_local InterruptCheck* tls_check = nullptr;
}  // namespace

ScopedInterruptCheck::ScopedInterruptCheck(InterruptCheck& check) : outer_(tls_check) { tls_check = &check; }
ScopedInterruptCheck::~ScopedInterruptCheck() { tls_check = outer_; }

std::expected<void, Interrupted> InterruptPoll::ask() {
  left_ = BUDGET;
  if (tls_check != nullptr && tls_check->interrupted()) return std::unexpected(Interrupted{});
  return {};
}

}  // namespace vornik
