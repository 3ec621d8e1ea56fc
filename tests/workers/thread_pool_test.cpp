#include "workers/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "tests/workers/sync_helpers.h"

namespace shopwalk {
namespace {

using testing::Counter;
using testing::Gate;
using testing::Hang;
using testing::Runner;
using State = ThreadPool::State;

// Occupies one worker until the gate opens; `started` counts the workers so occupied.
PoolTask BlockAt(Gate& gate, Counter& started) {
  return [&gate, &started](std::int32_t, std::int32_t) {
    started.Add();
    gate.Wait();
  };
}

TEST(ThreadPoolTest, ZeroMeansTwentyWorkersThatRunAtOnce) {
  ThreadPool pool;
  ASSERT_EQ(pool.Create(0), 20);
  EXPECT_EQ(pool.CurrentState(), State::Running);
  EXPECT_EQ(pool.StartedThreads(), 20);

  // Twenty tasks that each wait for the others can only all start on twenty workers.
  Gate gate;
  Counter started;
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(pool.Submit(BlockAt(gate, started)));
  EXPECT_TRUE(started.WaitFor(20));
  gate.Open();
  pool.Stop();
  EXPECT_TRUE(pool.WaitEnded(Hang));
}

TEST(ThreadPoolTest, UnusableCountsLeaveNoPool) {
  ThreadPool pool;
  EXPECT_EQ(pool.Create(-1), 0);
  EXPECT_EQ(pool.Create(INT_MIN), 0);
  // Too many for a table of 32-bit handles: refused at once rather than attempted.
  EXPECT_EQ(pool.Create(0x40000000), 0);
  EXPECT_EQ(pool.Create(INT_MAX), 0);
  EXPECT_EQ(pool.CurrentState(), State::None);
  EXPECT_EQ(pool.StartedThreads(), 0);
  EXPECT_FALSE(pool.Submit([](std::int32_t, std::int32_t) {}));
  pool.Stop();
  EXPECT_EQ(pool.CurrentState(), State::None);
  EXPECT_TRUE(pool.WaitEnded(Hang));
}

TEST(ThreadPoolTest, CreateOnRunningPoolChangesNothing) {
  ThreadPool pool;
  ASSERT_EQ(pool.Create(3), 3);
  EXPECT_EQ(pool.Create(7), 3);
  EXPECT_EQ(pool.Create(-1), 3);
  EXPECT_EQ(pool.Create(0), 3);
  EXPECT_EQ(pool.StartedThreads(), 3);
  EXPECT_EQ(pool.CurrentState(), State::Running);
  pool.Stop();
  EXPECT_TRUE(pool.WaitEnded(Hang));
}

TEST(ThreadPoolTest, StoppingPoolRefusesUntilEndedAndCreatedAgain) {
  ThreadPool pool;
  Gate gate;
  Counter started;
  ASSERT_EQ(pool.Create(1), 1);
  ASSERT_TRUE(pool.Submit(BlockAt(gate, started)));
  ASSERT_TRUE(started.WaitFor(1));

  pool.Stop();
  EXPECT_EQ(pool.CurrentState(), State::Stopping);
  EXPECT_EQ(pool.Create(5), 1);  // stays the stopping pool
  EXPECT_EQ(pool.CurrentState(), State::Stopping);
  EXPECT_FALSE(pool.Submit([](std::int32_t, std::int32_t) {}));
  pool.Stop();  // already stopping: nothing
  EXPECT_EQ(pool.CurrentState(), State::Stopping);

  gate.Open();
  ASSERT_TRUE(pool.WaitEnded(Hang));
  EXPECT_EQ(pool.CurrentState(), State::Ended);
  EXPECT_EQ(pool.StartedThreads(), 1);
  EXPECT_FALSE(pool.Submit([](std::int32_t, std::int32_t) {}));
  pool.Stop();  // ended: nothing
  EXPECT_EQ(pool.CurrentState(), State::Ended);

  // An ended pool is replaced by a fresh one with the new count.
  ASSERT_EQ(pool.Create(3), 3);
  EXPECT_EQ(pool.CurrentState(), State::Running);
  Counter ran;
  EXPECT_TRUE(pool.Submit([&](std::int32_t, std::int32_t) { ran.Add(); }));
  EXPECT_TRUE(ran.WaitFor(1));
  pool.Stop();
  EXPECT_TRUE(pool.WaitEnded(Hang));
}

TEST(ThreadPoolTest, NegativeCountReplacesEndedPoolWithNone) {
  ThreadPool pool;
  ASSERT_EQ(pool.Create(2), 2);
  pool.Stop();
  ASSERT_TRUE(pool.WaitEnded(Hang));
  EXPECT_EQ(pool.Create(-5), 0);
  EXPECT_EQ(pool.CurrentState(), State::None);
}

TEST(ThreadPoolTest, OneWorkerRunsTasksInOrderWithTheirParameters) {
  ThreadPool pool;
  Gate gate;
  Counter started;
  ASSERT_EQ(pool.Create(1), 1);
  ASSERT_TRUE(pool.Submit(BlockAt(gate, started)));  // everything below queues up behind it

  std::mutex mutex;
  std::vector<std::pair<std::int32_t, std::int32_t>> seen;
  std::vector<std::pair<std::int32_t, std::int32_t>> expected;
  for (std::int32_t i = 0; i < 200; ++i) {
    const std::int32_t second = i % 3 == 0 ? INT_MIN + i : -i;
    expected.emplace_back(i, second);
    ASSERT_TRUE(pool.Submit(
        [&](std::int32_t a, std::int32_t b) {
          std::lock_guard lock(mutex);
          seen.emplace_back(a, b);
        },
        i, second));
  }
  ASSERT_TRUE(pool.Submit(
      [&](std::int32_t a, std::int32_t b) {
        std::lock_guard lock(mutex);
        seen.emplace_back(a, b);
      },
      7));  // the second parameter defaults to 0
  expected.emplace_back(7, 0);

  gate.Open();
  pool.Stop();
  ASSERT_TRUE(pool.WaitEnded(Hang));
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen, expected);
}

TEST(ThreadPoolTest, TasksQueuedBeforeStopRunAfterItReturned) {
  ThreadPool pool;
  Gate gate;
  Counter started;
  Counter ran;
  ASSERT_EQ(pool.Create(2), 2);
  ASSERT_TRUE(pool.Submit(BlockAt(gate, started)));
  ASSERT_TRUE(pool.Submit(BlockAt(gate, started)));
  ASSERT_TRUE(started.WaitFor(2));
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(pool.Submit([&](std::int32_t, std::int32_t) { ran.Add(); }));
  }

  // Both workers are held at the gate, so a Stop that waited for them would never return.
  Runner stop([&] { pool.Stop(); });
  ASSERT_TRUE(stop.Finished());
  EXPECT_EQ(ran.value(), 0);
  EXPECT_FALSE(pool.Submit([&](std::int32_t, std::int32_t) { ran.Add(1000); }));

  gate.Open();
  ASSERT_TRUE(pool.WaitEnded(Hang));
  EXPECT_EQ(ran.value(), 50);
}

TEST(ThreadPoolTest, TasksStoppingTheirOwnPoolLetTheQueueDrain) {
  // The way a run ends: every task that starts after the stop request stops the pool again.
  ThreadPool pool;
  Gate gate;
  Counter started;
  Counter ran;
  ASSERT_EQ(pool.Create(4), 4);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool.Submit(BlockAt(gate, started)));
  ASSERT_TRUE(started.WaitFor(4));
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(pool.Submit([&](std::int32_t, std::int32_t) {
      pool.Stop();
      EXPECT_FALSE(pool.Submit([](std::int32_t, std::int32_t) {}));
      EXPECT_EQ(pool.Create(9), 4);
      ran.Add();
    }));
  }
  gate.Open();
  ASSERT_TRUE(pool.WaitEnded(Hang));
  EXPECT_EQ(ran.value(), 30);
  EXPECT_EQ(pool.CurrentState(), State::Ended);
}

TEST(ThreadPoolTest, ThrowingTaskIsDroppedAndTheWorkerGoesOn) {
  ThreadPool pool;
  Counter ran;
  ASSERT_EQ(pool.Create(1), 1);
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(pool.Submit([](std::int32_t, std::int32_t) { throw std::runtime_error("task"); }));
  ASSERT_TRUE(pool.Submit([](std::int32_t, std::int32_t) { throw 42; }));
  ASSERT_TRUE(pool.Submit([&](std::int32_t, std::int32_t) { ran.Add(); }));
  EXPECT_TRUE(ran.WaitFor(1));
  // Each dropped task left a line saying what went wrong.
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("shopwalk: worker task: task\n"), std::string::npos) << said;
  EXPECT_NE(said.find("shopwalk: worker task: an exception that is not a std::exception\n"),
            std::string::npos)
      << said;
  EXPECT_FALSE(pool.Submit(PoolTask()));
  pool.Stop();
  EXPECT_TRUE(pool.WaitEnded(Hang));
}

TEST(ThreadPoolTest, DestroyingThePoolNeitherWaitsNorPullsTheRecordAway) {
  auto pool = std::make_unique<ThreadPool>();
  auto gate = std::make_shared<Gate>();
  auto started = std::make_shared<Counter>();
  auto ran = std::make_shared<Counter>();
  ASSERT_EQ(pool->Create(1), 1);
  ASSERT_TRUE(pool->Submit([gate, started](std::int32_t, std::int32_t) {
    started->Add();
    gate->Wait();
  }));
  ASSERT_TRUE(started->WaitFor(1));
  ASSERT_TRUE(pool->Submit([ran](std::int32_t, std::int32_t) { ran->Add(); }));

  Runner destroy([&] { pool.reset(); });
  ASSERT_TRUE(destroy.Finished());
  // The worker still runs, and so does the task queued behind it.
  gate->Open();
  EXPECT_TRUE(ran->WaitFor(1));
}

TEST(ThreadPoolTest, EveryAcceptedTaskRunsUnderConcurrentSubmitStopAndCreate) {
  for (int round = 0; round < 20; ++round) {
    ThreadPool pool;
    ASSERT_EQ(pool.Create(3), 3);
    auto ran = std::make_shared<Counter>();
    std::atomic<int> accepted{0};
    std::atomic<bool> go{false};

    Runner submitter([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 300; ++i) {
        if (pool.Submit([ran](std::int32_t, std::int32_t) { ran->Add(); }, i)) ++accepted;
      }
    });
    Runner stopper([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 20; ++i) {
        pool.Stop();
        std::this_thread::yield();
      }
    });
    Runner creator([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 20; ++i) {
        pool.Create(2);
        (void)pool.CurrentState();
        (void)pool.StartedThreads();
        std::this_thread::yield();
      }
    });
    go = true;
    ASSERT_TRUE(submitter.Finished());
    ASSERT_TRUE(stopper.Finished());
    ASSERT_TRUE(creator.Finished());
    pool.Stop();
    ASSERT_TRUE(pool.WaitEnded(Hang));
    // Accepted tasks of every pool created on the way run; refused ones never do.
    EXPECT_TRUE(ran->WaitFor(accepted));
    EXPECT_EQ(ran->value(), accepted.load());
  }
}

}  // namespace
}  // namespace shopwalk
