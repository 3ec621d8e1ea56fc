#include "workers/delay.h"

#include <algorithm>
#include <utility>

#include "workers/end_wait.h"
#include "workers/threads.h"

namespace shopwalk {
namespace {

// How long a wait may go without running the thread's message pump.
constexpr std::chrono::milliseconds PumpInterval{10};

thread_local std::function<void()> g_messagePump;

// Sleeps until `until`, running the message pump (if any) at the start and at least every
// PumpInterval. False when the calling thread is asked to end.
bool SleepUntil(Clock& clock, Clock::TimePoint until) {
  for (;;) {
    if (g_messagePump) g_messagePump();
    const Clock::TimePoint now = clock.Now();
    if (now >= until) return !ThreadEndRequested();
    const Clock::TimePoint wake = g_messagePump ? std::min(until, now + PumpInterval) : until;
    if (internal::WaitUntilOrEndRequested(clock, wake)) return false;
  }
}

}  // namespace

void Delay(int milliseconds, Clock& clock) {
  if (milliseconds <= 0) return;
  const Clock::TimePoint start = clock.Now();
  const Clock::Duration wait = std::chrono::milliseconds(milliseconds);
  // "More than" the given time: a wake-up exactly on the deadline waits one clock tick longer.
  while (clock.Now() - start <= wait) {
    if (!SleepUntil(clock, start + wait + Clock::Duration(1))) return;
  }
}

void SetMessagePump(std::function<void()> pump) {
  g_messagePump = std::move(pump);
}

Pacer::Pacer(std::chrono::milliseconds period, Clock& clock)
    : clock_(clock), period_(period), due_(clock.Now()) {}

bool Pacer::Wait() {
  if (ThreadEndRequested()) return false;
  if (period_ <= Clock::Duration::zero()) return true;
  const Clock::TimePoint next = due_ + period_;
  const Clock::TimePoint now = clock_.Now();
  if (now - next > period_) {
    // More than a period behind: start afresh instead of running the missed passes in a burst.
    due_ = now;
    return true;
  }
  if (!SleepUntil(clock_, next)) return false;
  due_ = next;
  return true;
}

}  // namespace shopwalk
