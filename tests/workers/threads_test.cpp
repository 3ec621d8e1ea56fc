#include "workers/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include "tests/workers/sync_helpers.h"
#include "workers/delay.h"
#include "workers/thread_pool.h"

namespace shopwalk {
namespace {

using testing::Counter;
using testing::Gate;
using testing::Hang;
using testing::Runner;

TEST(ThreadsTest, HandleLifecycle) {
  std::atomic<std::int32_t> received{0};
  ThreadHandle handle = 0;
  ASSERT_TRUE(StartThread([&](std::int32_t parameter) { received = parameter; }, -42, &handle));
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(WaitThreadEnded(handle, Hang));
  EXPECT_EQ(received, -42);
  EXPECT_TRUE(WaitThreadEnded(handle, std::chrono::milliseconds(0)));  // ended before: still true

  EXPECT_TRUE(TerminateThread(handle));  // the handle is open, even if the thread is gone
  EXPECT_TRUE(CloseThreadHandle(handle));
  EXPECT_FALSE(CloseThreadHandle(handle));
  EXPECT_FALSE(TerminateThread(handle));
  EXPECT_FALSE(WaitThreadEnded(handle, std::chrono::milliseconds(0)));

  for (ThreadHandle unknown : {0u, 0xFFFFFFF0u}) {
    EXPECT_FALSE(TerminateThread(unknown));
    EXPECT_FALSE(CloseThreadHandle(unknown));
    EXPECT_FALSE(WaitThreadEnded(unknown, std::chrono::milliseconds(0)));
  }
}

TEST(ThreadsTest, EmptyRoutineStartsNothingAndClearsTheHandle) {
  ThreadHandle handle = 1234;
  EXPECT_FALSE(StartThread(ThreadRoutine(), 0, &handle));
  EXPECT_EQ(handle, 0u);
}

TEST(ThreadsTest, ThreadWithoutHandleRunsWithItsParameter) {
  auto ran = std::make_shared<Counter>();
  ASSERT_TRUE(StartThread([ran](std::int32_t parameter) { ran->Add(parameter); }, 5));
  EXPECT_TRUE(ran->WaitFor(5));
  EXPECT_TRUE(StartThread([ran](std::int32_t parameter) { ran->Add(parameter + 1); }));
  EXPECT_TRUE(ran->WaitFor(6));  // the parameter defaults to 0
}

TEST(ThreadsTest, HandlesAreDistinctAndNeverReused) {
  std::set<ThreadHandle> seen;
  for (int i = 0; i < 40; ++i) {
    ThreadHandle handle = 0;
    ASSERT_TRUE(StartThread([](std::int32_t) {}, 0, &handle));
    ASSERT_NE(handle, 0u);
    EXPECT_TRUE(seen.insert(handle).second);
    EXPECT_TRUE(WaitThreadEnded(handle, Hang));
    EXPECT_TRUE(CloseThreadHandle(handle));
  }
  ThreadHandle later = 0;
  ASSERT_TRUE(StartThread([](std::int32_t) {}, 0, &later));
  EXPECT_EQ(seen.count(later), 0u);
  EXPECT_TRUE(CloseThreadHandle(later));
}

TEST(ThreadsTest, TerminateWakesALongDelay) {
  auto sawEnd = std::make_shared<std::atomic<bool>>(false);
  auto started = std::make_shared<Counter>();
  ThreadHandle handle = 0;
  ASSERT_TRUE(StartThread(
      [sawEnd, started](std::int32_t) {
        EXPECT_FALSE(ThreadEndRequested());
        started->Add();
        Delay(3600 * 1000);
        *sawEnd = ThreadEndRequested();
      },
      0, &handle));
  ASSERT_TRUE(started->WaitFor(1));
  ASSERT_TRUE(TerminateThread(handle));
  EXPECT_TRUE(WaitThreadEnded(handle, Hang));
  EXPECT_TRUE(*sawEnd);
  EXPECT_TRUE(CloseThreadHandle(handle));
}

TEST(ThreadsTest, EndRequestIsFalseOnOtherThreads) {
  EXPECT_FALSE(ThreadEndRequested());
  ThreadPool pool;
  ASSERT_EQ(pool.Create(1), 1);
  auto seen = std::make_shared<std::atomic<int>>(-1);
  Counter ran;
  ASSERT_TRUE(pool.Submit([seen, &ran](std::int32_t, std::int32_t) {
    *seen = ThreadEndRequested() ? 1 : 0;
    ran.Add();
  }));
  ASSERT_TRUE(ran.WaitFor(1));
  EXPECT_EQ(*seen, 0);
  pool.Stop();
  EXPECT_TRUE(pool.WaitEnded(Hang));
}

TEST(ThreadsTest, OnlyTheTargetThreadSeesItsEndRequest) {
  auto gate = std::make_shared<Gate>();
  auto ended = std::make_shared<Counter>();
  auto bystanderSaw = std::make_shared<std::atomic<bool>>(true);
  ThreadHandle target = 0;
  ThreadHandle bystander = 0;
  ASSERT_TRUE(StartThread(
      [ended](std::int32_t) {
        while (!ThreadEndRequested()) Delay(50);
        ended->Add();
      },
      0, &target));
  ASSERT_TRUE(StartThread(
      [gate, bystanderSaw](std::int32_t) {
        gate->Wait();
        *bystanderSaw = ThreadEndRequested();
      },
      0, &bystander));
  ASSERT_TRUE(TerminateThread(target));
  EXPECT_TRUE(ended->WaitFor(1));
  gate->Open();
  EXPECT_TRUE(WaitThreadEnded(bystander, Hang));
  EXPECT_FALSE(*bystanderSaw);
  EXPECT_TRUE(CloseThreadHandle(target));
  EXPECT_TRUE(CloseThreadHandle(bystander));
}

TEST(ThreadsTest, ManyThreadsEndAndCloseOneHandleOnlyOnce) {
  // Like several workers running the stop sequence at once against the dispatcher's handle.
  for (int round = 0; round < 10; ++round) {
    auto ended = std::make_shared<Counter>();
    ThreadHandle handle = 0;
    ASSERT_TRUE(StartThread(
        [ended](std::int32_t) {
          while (!ThreadEndRequested()) Delay(5);
          ended->Add();
        },
        0, &handle));

    std::atomic<int> closed{0};
    std::atomic<bool> go{false};
    std::vector<std::unique_ptr<Runner>> closers;
    for (int i = 0; i < 6; ++i) {
      closers.push_back(std::make_unique<Runner>([&] {
        while (!go) std::this_thread::yield();
        TerminateThread(handle);
        if (CloseThreadHandle(handle)) ++closed;
      }));
    }
    go = true;
    for (auto& closer : closers) ASSERT_TRUE(closer->Finished());
    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(ended->WaitFor(1));  // the thread runs on after its handle is closed, then ends
  }
}

TEST(ThreadsTest, ThrowingRoutineEndsOnlyItsThread) {
  ThreadHandle handle = 0;
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(StartThread([](std::int32_t) { throw std::runtime_error("routine"); }, 0, &handle));
  EXPECT_TRUE(WaitThreadEnded(handle, Hang));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "shopwalk: thread routine: routine\n");
  EXPECT_TRUE(CloseThreadHandle(handle));
}

}  // namespace
}  // namespace shopwalk
