// A manual clock carried to a child process: the parent shares its ManualClock's time through a
// page of shared memory in a file (SharedClock), and the child, a test program, runs its walk on
// a ChildClock that follows that page. The child tells the parent, through the same page, how many
// of its threads wait on the clock and the earliest deadline among them, so a driver of simulated
// time in the parent knows when the child is idle.
//
// The child finds the page through the environment variable SHOPWALK_TEST_CLOCK (the file's
// path), which SharedClock::EnvironmentEntry() gives for ChildProcess.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/clock.h"
#include "tests/support/manual_clock.h"

namespace shopwalk::test {

inline constexpr const char* ChildClockVariable = "SHOPWALK_TEST_CLOCK";

struct ClockPage;

// The parent's side: publishes every change of `clock`'s time into the file at `path` (created,
// replaced if it exists, removed at destruction). The clock must outlive it.
class SharedClock {
 public:
  SharedClock(ManualClock& clock, std::string path);
  ~SharedClock();
  SharedClock(const SharedClock&) = delete;
  SharedClock& operator=(const SharedClock&) = delete;

  const std::string& Path() const { return path_; }
  // "SHOPWALK_TEST_CLOCK=<path>", for a child's environment.
  std::string EnvironmentEntry() const;

  // What the child last told: threads waiting on its clock, and their earliest deadline.
  std::size_t ChildWaiters() const;
  std::optional<Clock::TimePoint> ChildNextDeadline() const;
  // Counts up each time the child tells of its waiters: unchanged between two looks, no waiter of
  // the child came or went in between.
  std::uint32_t ChildChanges() const;

 private:
  ManualClock& clock_;
  std::string path_;
  ClockPage* page_ = nullptr;
};

// The child's side: a clock that follows the page (its time moves when the parent's does, a
// moment later). Its waits behave as the ManualClock's.
class ChildClock final : public Clock {
 public:
  // Follows the page of the file at `path`; throws std::runtime_error when it cannot be read.
  explicit ChildClock(const std::string& path);
  // The clock named by SHOPWALK_TEST_CLOCK; null when the variable is not set.
  static std::unique_ptr<ChildClock> FromEnvironment();
  ~ChildClock() override;
  ChildClock(const ChildClock&) = delete;
  ChildClock& operator=(const ChildClock&) = delete;

  TimePoint Now() const override { return clock_.Now(); }
  CalendarTime CalendarNow() const override { return clock_.CalendarNow(); }
  void SleepUntil(TimePoint deadline) override { clock_.SleepUntil(deadline); }
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                 TimePoint deadline, const std::function<bool()>& ready) override {
    return clock_.WaitUntil(lock, changed, deadline, ready);
  }

 private:
  // Takes the page's time into clock_; false when it had not changed since `seen`.
  bool TakeTime(std::uint32_t& seen);

  ClockPage* page_ = nullptr;
  ManualClock clock_;
  std::atomic<bool> stopping_{false};
  std::thread follower_;
};

}  // namespace shopwalk::test
