// The clocks: the real one, the manual one a test moves, and the manual one carried to a child.
#include "base/clock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <vector>

#include "tests/support/child_clock.h"
#include "tests/support/manual_clock.h"
#include "tests/workers/sync_helpers.h"

namespace shopwalk {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::seconds;
using test::ManualClock;
using testing::Hang;
using testing::Runner;

// Waits up to Hang for `condition`, looking every millisecond.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + Hang;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

TEST(RealClockTest, WaitsEndOnTheConditionOrOnAPassedDeadline) {
  Clock& clock = RealClock();
  std::mutex mutex;
  std::condition_variable changed;
  std::unique_lock lock(mutex);
  // A condition that holds ends the wait however far its deadline lies.
  EXPECT_TRUE(clock.WaitUntil(lock, changed, Clock::TimePoint::max(), [] { return true; }));
  EXPECT_TRUE(clock.WaitFor(lock, changed, hours(1), [] { return true; }));
  // A deadline that has passed ends it at once with the condition's value.
  EXPECT_FALSE(clock.WaitUntil(lock, changed, clock.Now() - seconds(1), [] { return false; }));
  EXPECT_FALSE(clock.WaitFor(lock, changed, milliseconds(-5), [] { return false; }));
  clock.SleepUntil(clock.Now() - seconds(1));
  // Waits at the ends of the time line saturate instead of wrapping into the past.
  EXPECT_EQ(clock.After(Clock::Duration::max()), Clock::TimePoint::max());
  EXPECT_EQ(Clock::Later(Clock::TimePoint::min(), -hours(1)), Clock::TimePoint::min());
  EXPECT_GT(clock.CalendarNow().time_since_epoch(), Clock::CalendarTime::duration::zero());
}

TEST(ManualClockTest, TimeMovesOnlyWhenMovedAndTheCalendarMovesWithIt) {
  ManualClock clock;
  const Clock::TimePoint start = clock.Now();
  EXPECT_EQ(start, ManualClock::Start);
  EXPECT_EQ(clock.CalendarNow(), Clock::CalendarTime(ManualClock::DefaultCalendarStart));
  clock.Advance(milliseconds(1500));
  clock.Advance(milliseconds(-700));  // never back
  EXPECT_EQ(clock.Now() - start, milliseconds(1500));
  EXPECT_EQ(clock.CalendarNow(),
            Clock::CalendarTime(ManualClock::DefaultCalendarStart) + milliseconds(1500));
  clock.AdvanceTo(start);  // a time passed changes nothing
  EXPECT_EQ(clock.Now() - start, milliseconds(1500));

  // A calendar set by hand may go back; it moves on with steady time from there.
  const Clock::CalendarTime set{seconds(1000)};
  clock.SetCalendarNow(set);
  clock.Advance(seconds(2));
  EXPECT_EQ(clock.CalendarNow(), set + seconds(2));
  EXPECT_EQ(clock.Now() - start, milliseconds(3500));
  clock.Set(start, set);  // steady time stays where it is
  EXPECT_EQ(clock.Now() - start, milliseconds(3500));
  EXPECT_EQ(clock.CalendarNow(), set);
}

TEST(ManualClockTest, ASleeperWakesWhenTimeReachesItsDeadlineAndNotBefore) {
  ManualClock clock;
  const Clock::TimePoint deadline = clock.Now() + milliseconds(100);
  std::atomic<bool> woke{false};
  Runner sleeper([&] {
    clock.SleepUntil(deadline);
    woke = true;
  });
  ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang));
  EXPECT_EQ(clock.NextDeadline(), deadline);
  clock.Advance(milliseconds(99));
  // Still asleep: registered with a deadline ahead of the time.
  EXPECT_TRUE(clock.WaitForIdleWaiters(1, Hang));
  EXPECT_FALSE(woke.load());
  clock.Advance(milliseconds(1));
  ASSERT_TRUE(sleeper.Finished());
  EXPECT_TRUE(woke.load());
  EXPECT_EQ(clock.Waiters(), 0u);
  EXPECT_EQ(clock.NextDeadline(), std::nullopt);
}

TEST(ManualClockTest, AWaitEndsOnItsConditionOrItsDeadlineWhicheverComesFirst) {
  ManualClock clock;
  std::mutex mutex;
  std::condition_variable changed;
  bool ready = false;

  // The condition, with the time standing still.
  std::atomic<int> answer{-1};
  {
    Runner waiter([&] {
      std::unique_lock lock(mutex);
      answer = clock.WaitFor(lock, changed, hours(1), [&] { return ready; }) ? 1 : 0;
    });
    ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang));
    {
      std::lock_guard lock(mutex);
      ready = true;
    }
    changed.notify_all();
    ASSERT_TRUE(waiter.Finished());
    EXPECT_EQ(answer.load(), 1);
  }

  // The deadline, the condition never holding.
  ready = false;
  answer = -1;
  {
    Runner waiter([&] {
      std::unique_lock lock(mutex);
      answer = clock.WaitFor(lock, changed, seconds(30), [&] { return ready; }) ? 1 : 0;
    });
    ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang));
    clock.Advance(seconds(30));
    ASSERT_TRUE(waiter.Finished());
    EXPECT_EQ(answer.load(), 0);
  }

  // A deadline that has passed, and none at all (time plays no part then).
  std::unique_lock lock(mutex);
  EXPECT_FALSE(clock.WaitUntil(lock, changed, clock.Now(), [&] { return ready; }));
  ready = true;
  EXPECT_TRUE(clock.WaitUntil(lock, changed, Clock::TimePoint::max(), [&] { return ready; }));
  EXPECT_EQ(clock.Waiters(), 0u);
}

// The steps a driver of simulated time takes: who waits, until when, and on to the next deadline.
TEST(ManualClockTest, ADriverStepsFromDeadlineToDeadline) {
  ManualClock clock;
  EXPECT_EQ(clock.AdvanceToNextDeadline(), std::nullopt);
  const Clock::TimePoint start = clock.Now();
  std::vector<std::unique_ptr<Runner>> sleepers;
  std::atomic<int> woken{0};
  for (const int ms : {300, 100, 200}) {
    sleepers.push_back(std::make_unique<Runner>([&clock, &woken, start, ms] {
      clock.SleepUntil(start + milliseconds(ms));
      ++woken;
    }));
  }
  ASSERT_TRUE(clock.WaitForIdleWaiters(3, Hang));
  EXPECT_EQ(clock.Waiters(), 3u);
  EXPECT_EQ(clock.NextDeadline(), start + milliseconds(100));

  EXPECT_EQ(clock.AdvanceToNextDeadline(), start + milliseconds(100));
  ASSERT_TRUE(Eventually([&] { return clock.Waiters() == 2; }));
  EXPECT_EQ(woken.load(), 1);
  EXPECT_EQ(clock.NextDeadline(), start + milliseconds(200));
  EXPECT_EQ(clock.AdvanceToNextDeadline(), start + milliseconds(200));
  // Until the sleeper it woke has left, its deadline is the earliest still: wait for it first.
  ASSERT_TRUE(Eventually([&] { return clock.Waiters() == 1; }));
  EXPECT_EQ(clock.AdvanceToNextDeadline(), start + milliseconds(300));
  for (auto& sleeper : sleepers) ASSERT_TRUE(sleeper->Finished());
  EXPECT_EQ(woken.load(), 3);
  EXPECT_EQ(clock.Now(), start + milliseconds(300));
}

// A waiter that looks at the time just before another thread moves it still wakes: thousands of
// waits each racing the move that ends them.
TEST(ManualClockTest, NoWakeUpIsLostWhenTimeMovesAsAWaiterArrives) {
  ManualClock clock;
  std::mutex mutex;
  std::condition_variable changed;
  constexpr int Rounds = 2000;
  std::atomic<int> waiting{0};
  Runner waiter([&] {
    for (int i = 0; i < Rounds; ++i) {
      std::unique_lock lock(mutex);
      const Clock::TimePoint deadline = clock.Now() + milliseconds(1);
      ++waiting;
      clock.WaitUntil(lock, changed, deadline, [] { return false; });
    }
  });
  for (int i = 1; i <= Rounds; ++i) {
    while (waiting.load() < i) std::this_thread::yield();
    clock.Advance(milliseconds(1));
  }
  EXPECT_TRUE(waiter.Finished());
}

class SharedClockTest : public ::testing::Test {
 protected:
  SharedClockTest()
      : path_("/tmp/shopwalk-clock-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  std::string path_;
};

TEST_F(SharedClockTest, TheChildFollowsTheParentsTimeAndTellsWhoWaits) {
  ManualClock parent(Clock::CalendarTime(seconds(2000000000)));
  parent.Advance(seconds(5));
  test::SharedClock shared(parent, path_);
  EXPECT_EQ(shared.EnvironmentEntry(), std::string(test::ChildClockVariable) + "=" + path_);
  test::ChildClock child(path_);
  // At once the parent's time, calendar included.
  EXPECT_EQ(child.Now(), parent.Now());
  EXPECT_EQ(child.CalendarNow(), parent.CalendarNow());
  EXPECT_EQ(shared.ChildWaiters(), 0u);
  EXPECT_EQ(shared.ChildNextDeadline(), std::nullopt);

  const Clock::TimePoint deadline = child.Now() + seconds(60);
  Runner sleeper([&] { child.SleepUntil(deadline); });
  ASSERT_TRUE(Eventually([&] { return shared.ChildWaiters() == 1; }));
  EXPECT_EQ(shared.ChildNextDeadline(), deadline);
  parent.Advance(seconds(59));
  ASSERT_TRUE(Eventually([&] { return child.Now() == parent.Now(); }));
  EXPECT_EQ(shared.ChildWaiters(), 1u);
  parent.Advance(seconds(1));
  EXPECT_TRUE(sleeper.Finished());
  EXPECT_TRUE(Eventually([&] { return shared.ChildWaiters() == 0; }));
  EXPECT_EQ(child.CalendarNow(), parent.CalendarNow());
}

TEST_F(SharedClockTest, ANameWithoutAPageIsAnError) {
  EXPECT_THROW(test::ChildClock("/nonexistent/clock"), std::runtime_error);
  ::unsetenv(test::ChildClockVariable);
  EXPECT_EQ(test::ChildClock::FromEnvironment(), nullptr);
}

}  // namespace
}  // namespace shopwalk
