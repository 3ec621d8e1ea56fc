// Time as the engine, the stores and the programs see it: steady time for deadlines, calendar
// time for dates (a Retry-After date, a time kept in a store), sleeping until a deadline, and
// waiting on a condition variable with a deadline. Every wait of the shipped libraries goes
// through a Clock, so a test can run them on time it moves itself instead of the wall clock.
//
// RealClock() is the process's own clock, the default everywhere. This file is the only place of
// the libraries that reads the system's clocks or sleeps on them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace shopwalk {

class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Duration = std::chrono::steady_clock::duration;
  using CalendarTime = std::chrono::system_clock::time_point;

  Clock() = default;
  virtual ~Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;

  // Steady time: never goes back. Safe from any thread, as is every member.
  virtual TimePoint Now() const = 0;
  // Calendar time: what a date means now.
  virtual CalendarTime CalendarNow() const = 0;
  // Returns once Now() has reached `deadline` (at once for one passed).
  virtual void SleepUntil(TimePoint deadline) = 0;
  // With `lock` held on the mutex `changed` is used with: waits until `ready()` holds or Now()
  // reaches `deadline`, whichever comes first, and returns `ready()`. `ready` is called with the
  // lock held; whoever makes it true notifies `changed`. The lock is held again on return.
  virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                         TimePoint deadline, const std::function<bool()>& ready) = 0;

  // `wait` from now, saturating instead of overflowing for very long (or negative) waits.
  TimePoint After(Duration wait) const { return Later(Now(), wait); }
  // `wait` after `from`, saturating at the ends of the time line.
  static TimePoint Later(TimePoint from, Duration wait) {
    if (wait > Duration::zero() && from > TimePoint::max() - wait) return TimePoint::max();
    if (wait < Duration::zero() && from < TimePoint::min() - wait) return TimePoint::min();
    return from + wait;
  }
  // WaitUntil with a deadline `wait` from now.
  bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, Duration wait,
               const std::function<bool()>& ready) {
    return WaitUntil(lock, changed, After(wait), ready);
  }
  void SleepFor(Duration wait) { SleepUntil(After(wait)); }
};

namespace internal {

// The process's clocks: std::chrono's steady and system clocks and the library's own waits.
class SystemClock final : public Clock {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
  CalendarTime CalendarNow() const override { return std::chrono::system_clock::now(); }
  void SleepUntil(TimePoint deadline) override { std::this_thread::sleep_until(deadline); }
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                 TimePoint deadline, const std::function<bool()>& ready) override {
    if (deadline == TimePoint::max()) {
      changed.wait(lock, ready);
      return true;
    }
    return changed.wait_until(lock, deadline, ready);
  }
};

}  // namespace internal

// Calendar time in whole seconds and milliseconds since the Unix epoch, as files and databases
// keep it, and back.
inline std::int64_t UnixSeconds(Clock::CalendarTime time) {
  return std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count();
}
inline std::int64_t UnixMs(Clock::CalendarTime time) {
  return std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch()).count();
}
inline Clock::CalendarTime FromUnixSeconds(std::int64_t seconds) {
  return Clock::CalendarTime(std::chrono::seconds(seconds));
}

// The real clock. Never destroyed: detached threads may still use it while the process ends.
inline Clock& RealClock() {
  static auto* clock = new internal::SystemClock;
  return *clock;
}

}  // namespace shopwalk
