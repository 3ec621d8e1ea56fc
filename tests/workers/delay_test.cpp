#include "workers/delay.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <climits>
#include <memory>

#include "tests/support/manual_clock.h"
#include "tests/workers/sync_helpers.h"
#include "workers/threads.h"

namespace shopwalk {
namespace {

using std::chrono::milliseconds;
using testing::Counter;
using testing::Hang;
using testing::Runner;

// Clears the calling thread's message pump when the test ends, whatever happens.
struct PumpScope {
  explicit PumpScope(std::function<void()> pump) { SetMessagePump(std::move(pump)); }
  ~PumpScope() { SetMessagePump({}); }
};

TEST(DelayTest, ZeroOrNegativeReturnsWithoutWaiting) {
  int pumped = 0;
  PumpScope scope([&] { ++pumped; });
  // A negative count taken as a huge unsigned wait would hang here.
  Runner delays([] {
    Delay(0);
    Delay(-1);
    Delay(-100);
    Delay(INT_MIN);
  });
  EXPECT_TRUE(delays.Finished());
  Delay(0);
  Delay(-1);
  EXPECT_EQ(pumped, 0);  // returning at once means not even one round of messages
}

TEST(DelayTest, WaitsMoreThanTheGivenTimeOfItsClock) {
  for (int ms : {1, 2, 15, 100}) {
    test::ManualClock clock;
    std::atomic<bool> returned{false};
    Runner delay([&] {
      Delay(ms, clock);
      returned = true;
    });
    ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang)) << ms;
    clock.Advance(milliseconds(ms));
    // Exactly the given time is not more than it.
    ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang)) << ms;
    EXPECT_FALSE(returned.load()) << ms;
    clock.Advance(Clock::Duration(1));
    EXPECT_TRUE(delay.Finished()) << ms;
  }
}

TEST(DelayTest, KeepsPumpingMessagesWhileItWaits) {
  int pumped = 0;
  PumpScope scope([&] { ++pumped; });
  Delay(100);
  EXPECT_GE(pumped, 2);  // not just once before or after the wait

  // A Pacer's sleep pumps too.
  pumped = 0;
  Pacer pacer(milliseconds(60));
  ASSERT_TRUE(pacer.Wait());
  EXPECT_GE(pumped, 2);

  SetMessagePump({});
  pumped = 0;
  Delay(20);
  EXPECT_EQ(pumped, 0);
}

TEST(DelayTest, MessagePumpBelongsToItsThread) {
  std::atomic<int> pumped{0};
  PumpScope scope([&] { ++pumped; });
  Runner other([] { Delay(30); });
  EXPECT_TRUE(other.Finished());
  EXPECT_EQ(pumped, 0);
}

// A loop paced on a manual clock, on a thread of its own: it counts the passes let through.
class PacedLoop {
 public:
  PacedLoop(milliseconds period, Clock& clock, int passes)
      : runner_([this, period, &clock, passes] {
          Pacer pacer(period, clock);
          for (int i = 0; i < passes && pacer.Wait(); ++i) ++passes_;
        }) {}
  int Passes() const { return passes_.load(); }
  bool Finished() { return runner_.Finished(); }

 private:
  std::atomic<int> passes_{0};
  Runner runner_;
};

TEST(PacerTest, LetsOnePassThroughPerPeriodWithoutDrift) {
  test::ManualClock clock;
  const milliseconds period(20);
  PacedLoop loop(period, clock, 8);
  ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang));
  EXPECT_EQ(loop.Passes(), 0);
  // Time moves in uneven steps, some shorter than a period and some longer (but never two
  // periods, which would be a stall); after each step the loop has had exactly one pass per
  // period since it began, never more, and no fraction of a period is lost on the way.
  milliseconds elapsed(0);
  for (const int step : {7, 13, 25, 1, 19, 33, 20, 3, 31}) {
    clock.Advance(milliseconds(step));
    elapsed += milliseconds(step);
    ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang));
    EXPECT_EQ(loop.Passes(), elapsed / period) << "after " << elapsed.count() << " ms";
  }
  clock.Advance(period);  // the last pass
  EXPECT_TRUE(loop.Finished());
  EXPECT_EQ(loop.Passes(), 8);
}

TEST(PacerTest, RestartsAfterAStallInsteadOfCatchingUp) {
  test::ManualClock clock;
  const milliseconds period(30);
  Pacer pacer(period, clock);
  clock.Advance(5 * period);  // the first pass stalled for several periods
  ASSERT_TRUE(pacer.Wait());  // it is over: the next pass may start now
  // Catching up would let the next passes through back to back; they come a period apart.
  std::atomic<int> passes{0};
  Runner loop([&] {
    for (int i = 0; i < 2 && pacer.Wait(); ++i) ++passes;
  });
  ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang));
  EXPECT_EQ(passes.load(), 0);
  clock.Advance(period);
  ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang));
  EXPECT_EQ(passes.load(), 1);
  clock.Advance(period);
  EXPECT_TRUE(loop.Finished());
  EXPECT_EQ(passes.load(), 2);
}

TEST(PacerTest, ZeroPeriodNeverSleepsButHearsTheEndRequest) {
  Pacer free(milliseconds(0));
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(free.Wait());
  Pacer negative(milliseconds(-5));
  EXPECT_TRUE(negative.Wait());

  auto passes = std::make_shared<std::atomic<long>>(0);
  auto running = std::make_shared<Counter>();
  ThreadHandle handle = 0;
  ASSERT_TRUE(StartThread(
      [passes, running](std::int32_t) {
        Pacer pacer(milliseconds(0));
        running->Add();
        while (pacer.Wait()) ++*passes;
      },
      0, &handle));
  ASSERT_TRUE(running->WaitFor(1));
  ASSERT_TRUE(TerminateThread(handle));
  EXPECT_TRUE(WaitThreadEnded(handle, Hang));
  EXPECT_TRUE(CloseThreadHandle(handle));
}

TEST(PacerTest, EndRequestCutsASleepShortAndIsSeenBeforeSleeping) {
  auto results = std::make_shared<std::array<std::atomic<int>, 2>>();
  (*results)[0] = -1;
  (*results)[1] = -1;
  auto sleeping = std::make_shared<Counter>();
  ThreadHandle handle = 0;
  ASSERT_TRUE(StartThread(
      [results, sleeping](std::int32_t) {
        Pacer pacer(std::chrono::hours(1));
        sleeping->Add();
        (*results)[0] = pacer.Wait() ? 1 : 0;  // cut short by the end request
        (*results)[1] = pacer.Wait() ? 1 : 0;  // asked to end already: no sleep at all
      },
      0, &handle));
  ASSERT_TRUE(sleeping->WaitFor(1));
  ASSERT_TRUE(TerminateThread(handle));
  ASSERT_TRUE(WaitThreadEnded(handle, Hang));
  EXPECT_EQ((*results)[0], 0);
  EXPECT_EQ((*results)[1], 0);
  EXPECT_TRUE(CloseThreadHandle(handle));
}

}  // namespace
}  // namespace shopwalk
