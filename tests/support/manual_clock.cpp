#include "tests/support/manual_clock.h"

#include <algorithm>
#include <utility>

namespace shopwalk::test {

ManualClock::ManualClock(CalendarTime calendarStart) : calendarAnchor_(calendarStart) {}

ManualClock::~ManualClock() = default;

Clock::TimePoint ManualClock::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

Clock::CalendarTime ManualClock::CalendarNow() const {
  std::lock_guard lock(mutex_);
  return CalendarAt(now_);
}

Clock::CalendarTime ManualClock::CalendarAt(TimePoint steady) const {
  return calendarAnchor_ +
         std::chrono::duration_cast<CalendarTime::duration>(steady - calendarSteady_);
}

ManualClock::Waiting ManualClock::Register(TimePoint deadline, std::condition_variable* changed) {
  // Under mutex_.
  waiters_.push_back(Waiter{deadline, changed});
  const Waiting waiter = std::prev(waiters_.end());
  WaitersChanged();
  return waiter;
}

void ManualClock::Unregister(Waiting waiter) {
  // Under mutex_.
  waiters_.erase(waiter);
  WaitersChanged();
}

void ManualClock::WaitersChanged() {
  waitersChanged_.notify_all();
  if (waitersListener_) {
    std::optional<TimePoint> next;
    for (const Waiter& waiter : waiters_) {
      if (!next || waiter.deadline < *next) next = waiter.deadline;
    }
    waitersListener_(waiters_.size(), next);
  }
}

void ManualClock::TimeMoved() {
  for (const Waiter& waiter : waiters_) {
    if (waiter.deadline <= now_) waiter.changed->notify_all();
  }
  waitersChanged_.notify_all();
  if (timeListener_) timeListener_(now_, CalendarAt(now_));
}

void ManualClock::SleepUntil(TimePoint deadline) {
  std::unique_lock lock(mutex_);
  if (now_ >= deadline) return;
  // Woken under mutex_, which this thread holds until it sleeps: no wake-up can be lost.
  std::condition_variable woken;
  const Waiting waiter = Register(deadline, &woken);
  woken.wait(lock, [&] { return now_ >= deadline; });
  Unregister(waiter);
}

bool ManualClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                            TimePoint deadline, const std::function<bool()>& ready) {
  if (deadline == TimePoint::max()) {
    // No deadline: time plays no part.
    changed.wait(lock, ready);
    return true;
  }
  Waiting waiter;
  {
    std::lock_guard own(mutex_);
    waiter = Register(deadline, &changed);
  }
  bool result = false;
  for (;;) {
    if (ready()) {
      result = true;
      break;
    }
    {
      std::lock_guard own(mutex_);
      if (now_ >= deadline) break;
    }
    // Time moving notifies `changed`; the time-out only covers a move between the look above
    // and this wait.
    changed.wait_for(lock, Recheck);
  }
  std::lock_guard own(mutex_);
  Unregister(waiter);
  return result;
}

void ManualClock::Advance(Duration step) {
  if (step <= Duration::zero()) return;
  std::lock_guard lock(mutex_);
  now_ = Later(now_, step);
  TimeMoved();
}

void ManualClock::AdvanceTo(TimePoint when) {
  std::lock_guard lock(mutex_);
  if (when <= now_) return;
  now_ = when;
  TimeMoved();
}

void ManualClock::SetCalendarNow(CalendarTime now) {
  std::lock_guard lock(mutex_);
  calendarAnchor_ = now;
  calendarSteady_ = now_;
  TimeMoved();
}

void ManualClock::Set(TimePoint steady, CalendarTime calendar) {
  std::lock_guard lock(mutex_);
  now_ = std::max(now_, steady);
  calendarAnchor_ = calendar;
  calendarSteady_ = now_;
  TimeMoved();
}

std::size_t ManualClock::Waiters() const {
  std::lock_guard lock(mutex_);
  return waiters_.size();
}

std::optional<Clock::TimePoint> ManualClock::NextDeadline() const {
  std::lock_guard lock(mutex_);
  std::optional<TimePoint> next;
  for (const Waiter& waiter : waiters_) {
    if (!next || waiter.deadline < *next) next = waiter.deadline;
  }
  return next;
}

std::optional<Clock::TimePoint> ManualClock::AdvanceToNextDeadline() {
  std::lock_guard lock(mutex_);
  if (waiters_.empty()) return std::nullopt;
  TimePoint next = TimePoint::max();
  for (const Waiter& waiter : waiters_) next = std::min(next, waiter.deadline);
  now_ = std::max(now_, next);
  TimeMoved();
  return now_;
}

bool ManualClock::WaitForIdleWaiters(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return waitersChanged_.wait_for(lock, timeout, [&] {
    return static_cast<std::size_t>(std::count_if(
               waiters_.begin(), waiters_.end(),
               [&](const Waiter& waiter) { return waiter.deadline > now_; })) >= count;
  });
}

void ManualClock::OnTimeChanged(std::function<void(TimePoint, CalendarTime)> listener) {
  std::lock_guard lock(mutex_);
  timeListener_ = std::move(listener);
  if (timeListener_) timeListener_(now_, CalendarAt(now_));
}

void ManualClock::OnWaitersChanged(
    std::function<void(std::size_t, std::optional<TimePoint>)> listener) {
  std::lock_guard lock(mutex_);
  waitersListener_ = std::move(listener);
  WaitersChanged();
}

}  // namespace shopwalk::test
