#include "workers/delay.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <climits>
#include <memory>

#include "tests/workers/sync_helpers.h"
#include "workers/threads.h"

namespace shopwalk {
namespace {

using testing::Counter;
using testing::Hang;
using testing::Runner;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

TEST(DelayTest, WaitsMoreThanTheGivenTime) {
  for (int ms : {1, 2, 15, 100}) {
    const Clock::time_point start = Clock::now();
    Delay(ms);
    EXPECT_GT(Clock::now() - start, milliseconds(ms)) << ms;
  }
}

TEST(DelayTest, KeepsPumpingMessagesWhileItWaits) {
  int pumped = 0;
  PumpScope scope([&] { ++pumped; });
  const Clock::time_point start = Clock::now();
  Delay(100);
  EXPECT_GT(Clock::now() - start, milliseconds(100));
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

TEST(PacerTest, NeverRunsFasterThanThePeriod) {
  const milliseconds period(20);
  const Clock::time_point start = Clock::now();
  Pacer pacer(period);
  int passes = 0;
  while (Clock::now() - start < milliseconds(300)) {
    if (passes % 3 == 0) std::this_thread::sleep_for(milliseconds(7));  // uneven passes
    ASSERT_TRUE(pacer.Wait());
    ++passes;
    // However the passes go, n waits cannot end before n periods have passed.
    ASSERT_GE(Clock::now() - start, passes * period) << passes;
  }
  EXPECT_GE(passes, 1);
}

TEST(PacerTest, RestartsAfterAStallInsteadOfCatchingUp) {
  const milliseconds period(30);
  Pacer pacer(period);
  std::this_thread::sleep_for(5 * period);  // a stall of several periods
  const Clock::time_point afterStall = Clock::now();
  ASSERT_TRUE(pacer.Wait());  // the stalled pass is over: the next pass may start now
  ASSERT_TRUE(pacer.Wait());
  ASSERT_TRUE(pacer.Wait());
  // Catching up would have let these passes through back to back.
  EXPECT_GE(Clock::now() - afterStall, 2 * period);
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
