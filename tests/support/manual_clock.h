// A clock that moves only when the test moves it: Advance, AdvanceTo, or a step to the earliest
// deadline anyone waits for. Threads that sleep or wait on it wake once its time reaches their
// deadline (or, for a wait, once their condition holds), however little real time has passed; a
// schedule of hours runs in milliseconds, and nothing the test checks depends on how fast the
// machine is.
//
// Steady time starts a day after the steady clock's epoch; calendar time starts at a whole
// second (2024-01-01 00:00:00 UTC unless told otherwise) and moves with steady time.
//
// No wake-up is lost: a waiter registers before it looks at the time, and every move of the time
// notifies the registered waiters whose deadline it reached. As a safety net for the moment
// between a waiter's last look and its sleep, a waiter looks again every few real milliseconds;
// that only schedules threads, it never moves this clock.
//
// For a driver of simulated time: Waiters() and NextDeadline() tell who waits on the clock now,
// and AdvanceToNextDeadline() moves time to the next deadline. Safe from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <optional>

#include "base/clock.h"

namespace shopwalk::test {

class ManualClock final : public Clock {
 public:
  // 2024-01-01 00:00:00 UTC.
  static constexpr std::chrono::seconds DefaultCalendarStart{1704067200};
  // Where steady time starts.
  static constexpr TimePoint Start{std::chrono::hours(24)};

  explicit ManualClock(CalendarTime calendarStart = CalendarTime(DefaultCalendarStart));
  // Every thread must have stopped waiting on the clock before it goes.
  ~ManualClock() override;

  TimePoint Now() const override;
  CalendarTime CalendarNow() const override;
  void SleepUntil(TimePoint deadline) override;
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                 TimePoint deadline, const std::function<bool()>& ready) override;

  // Moves time forward by `step` (nothing for a step of 0 or less) and wakes every waiter whose
  // deadline it reached.
  void Advance(Duration step);
  // Moves time forward to `when`; a time that has passed changes nothing.
  void AdvanceTo(TimePoint when);
  // Sets the calendar time of now; steady time stays, and the calendar moves on with it from
  // there (a wall clock set by hand: it may go back).
  void SetCalendarNow(CalendarTime now);
  // Sets both at once: steady time forward to `steady` (never back), the calendar to `calendar`.
  void Set(TimePoint steady, CalendarTime calendar);

  // Threads waiting on the clock now (sleeping or in WaitUntil with a deadline).
  std::size_t Waiters() const;
  // The earliest deadline of a waiter, if any waits.
  std::optional<TimePoint> NextDeadline() const;
  // Moves time to the earliest deadline of a waiter when it lies ahead; the time then (nothing
  // when no thread waits). Waiters whose deadline has passed already are woken again.
  std::optional<TimePoint> AdvanceToNextDeadline();
  // Waits up to `timeout` of real time until at least `count` threads wait on the clock with a
  // deadline after now (they are idle until time moves); false when the time-out passes first.
  bool WaitForIdleWaiters(std::size_t count, std::chrono::milliseconds timeout) const;

  // Told of every change of the time (steady, calendar), under the clock's lock: it must be quick
  // and must not call the clock. For carrying the time to a child process (SharedClock).
  void OnTimeChanged(std::function<void(TimePoint, CalendarTime)> listener);
  // Told, under the clock's lock, whenever a waiter comes or goes: how many wait and the earliest
  // deadline among them. Same rules as OnTimeChanged.
  void OnWaitersChanged(std::function<void(std::size_t, std::optional<TimePoint>)> listener);

  // How often a waiter looks at the time without being woken (real time).
  static constexpr std::chrono::milliseconds Recheck{2};

 private:
  struct Waiter {
    TimePoint deadline;
    std::condition_variable* changed = nullptr;
  };
  using Waiting = std::list<Waiter>::iterator;

  Waiting Register(TimePoint deadline, std::condition_variable* changed);
  void Unregister(Waiting waiter);
  // Under mutex_: wakes the waiters whose deadline has come and tells the listener.
  void TimeMoved();
  void WaitersChanged();
  CalendarTime CalendarAt(TimePoint steady) const;

  mutable std::mutex mutex_;
  mutable std::condition_variable waitersChanged_;
  TimePoint now_ = Start;
  // The calendar time at steady time calendarSteady_.
  CalendarTime calendarAnchor_;
  TimePoint calendarSteady_ = Start;
  std::list<Waiter> waiters_;
  std::function<void(TimePoint, CalendarTime)> timeListener_;
  std::function<void(std::size_t, std::optional<TimePoint>)> waitersListener_;
};

}  // namespace shopwalk::test
