// Moves a manual clock on by itself: from one deadline of the threads waiting on it to the next,
// whenever every waiter waits for a time still ahead and the test's condition allows it. Time
// then runs as fast as the work under test lets it, never ahead of a thread that still has
// something to do at the current time: a walk's back-off, pauses and pace take no real time, while
// the network (real time) goes at its own speed.
//
// The condition keeps time from running away from work the clock does not see, e.g. "no task is
// under way" (Collector::TasksUnderWay() == 0): without it a dispatcher whose workers are busy
// fetching would hand out shops as fast as the driver moves time, and back-off would run out
// before answers already on their way arrived.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "tests/support/manual_clock.h"

namespace shopwalk::test {

class ClockDriver {
 public:
  // The earliest deadline anyone waits for (none while no one waits).
  using Deadlines = std::function<std::optional<Clock::TimePoint>()>;

  // Starts moving `clock` (which must outlive the driver) while `mayAdvance` holds (always when
  // empty), to the deadlines of its own waiters, or of those `deadlines` gives (a child process
  // following the clock: SharedClock::ChildNextDeadline).
  explicit ClockDriver(ManualClock& clock, std::function<bool()> mayAdvance = nullptr,
                       Deadlines deadlines = nullptr);
  // Stops it.
  ~ClockDriver();
  ClockDriver(const ClockDriver&) = delete;
  ClockDriver& operator=(const ClockDriver&) = delete;

  // Time stands still once this returns (until Resume).
  void Pause();
  void Resume();

 private:
  void Drive();

  ManualClock& clock_;
  std::function<bool()> mayAdvance_;
  Deadlines deadlines_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> stopping_{false};
  // Set while a step is under way, so that Pause can wait for it.
  std::atomic<bool> stepping_{false};
  std::thread thread_;
};

}  // namespace shopwalk::test
