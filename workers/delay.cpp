#include "workers/delay.h"

#include <algorithm>
#include <utility>

#include "workers/end_wait.h"
#include "workers/threads.h"

namespace shopwalk {
namespace {

using Clock = std::chrono::steady_clock;

// How long a wait may go without running the thread's message pump.
constexpr std::chrono::milliseconds PumpInterval{10};

thread_local std::function<void()> g_messagePump;

// Sleeps until `until`, running the message pump (if any) at the start and at least every
// PumpInterval. False when the calling thread is asked to end.
bool SleepUntil(Clock::time_point until) {
  for (;;) {
    if (g_messagePump) g_messagePump();
    const Clock::time_point now = Clock::now();
    if (now >= until) return !ThreadEndRequested();
    const Clock::time_point wake = g_messagePump ? std::min(until, now + PumpInterval) : until;
    if (internal::WaitUntilOrEndRequested(wake)) return false;
  }
}

}  // namespace

void Delay(int milliseconds) {
  if (milliseconds <= 0) return;
  const Clock::time_point start = Clock::now();
  const Clock::duration wait = std::chrono::milliseconds(milliseconds);
  // "More than" the given time: a wake-up exactly on the deadline waits one clock tick longer.
  while (Clock::now() - start <= wait) {
    if (!SleepUntil(start + wait + Clock::duration(1))) return;
  }
}

void SetMessagePump(std::function<void()> pump) {
  g_messagePump = std::move(pump);
}

Pacer::Pacer(std::chrono::milliseconds period) : period_(period), due_(Clock::now()) {}

bool Pacer::Wait() {
  if (ThreadEndRequested()) return false;
  if (period_ <= Clock::duration::zero()) return true;
  const Clock::time_point next = due_ + period_;
  const Clock::time_point now = Clock::now();
  if (now - next > period_) {
    // More than a period behind: start afresh instead of running the missed passes in a burst.
    due_ = now;
    return true;
  }
  if (!SleepUntil(next)) return false;
  due_ = next;
  return true;
}

}  // namespace shopwalk
