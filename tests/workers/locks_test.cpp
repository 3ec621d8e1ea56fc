#include "workers/locks.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "tests/workers/sync_helpers.h"

namespace shopwalk {
namespace {

using testing::Counter;
using testing::Gate;
using testing::Runner;

// Waits until `count` threads are blocked entering `lock`, or `gotIn` says one got in (wrongly);
// false when neither happens in time.
bool Blocked(LockHandle lock, int count, const std::function<bool()>& gotIn) {
  const auto deadline = std::chrono::steady_clock::now() + testing::Hang;
  while (LockWaiters(lock) < count && !gotIn()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(LocksTest, HandlesAreDistinctAndDeletedOnce) {
  std::set<LockHandle> seen;
  for (int i = 0; i < 100; ++i) {
    LockHandle lock = CreateLock();
    ASSERT_NE(lock, 0u);
    EXPECT_TRUE(seen.insert(lock).second);
  }
  for (LockHandle lock : seen) EXPECT_TRUE(DeleteLock(lock));
  for (LockHandle lock : seen) EXPECT_FALSE(DeleteLock(lock));
  EXPECT_EQ(seen.count(CreateLock()), 0u);  // deleted handles are not handed out again
  EXPECT_FALSE(DeleteLock(0));
}

TEST(LocksTest, UnknownAndDeletedLocksDoNothing) {
  // None of these may block or crash.
  EnterLock(0);
  EnterLock(0);
  LeaveLock(0);
  EnterLock(0xFFFFFFF0u);
  LeaveLock(0xFFFFFFF0u);

  LockHandle lock = CreateLock();
  ASSERT_TRUE(DeleteLock(lock));
  EnterLock(lock);
  Runner other([lock] {
    EnterLock(lock);
    LeaveLock(lock);
  });
  EXPECT_TRUE(other.Finished());
  LeaveLock(lock);
}

TEST(LocksTest, ReentrantForTheHolderOnly) {
  LockHandle lock = CreateLock();
  Runner reenter([lock] {
    EnterLock(lock);
    EnterLock(lock);  // a second entry by the holder must not deadlock
    LeaveLock(lock);
    LeaveLock(lock);
  });
  ASSERT_TRUE(reenter.Finished());

  EnterLock(lock);
  EnterLock(lock);
  EnterLock(lock);

  std::atomic<bool> inside{false};
  Runner other([&] {
    EnterLock(lock);
    inside = true;
    LeaveLock(lock);
  });
  LeaveLock(lock);
  LeaveLock(lock);
  ASSERT_TRUE(Blocked(lock, 1, [&] { return inside.load(); }));
  EXPECT_FALSE(inside);  // still held once
  LeaveLock(lock);
  EXPECT_TRUE(other.Finished());
  EXPECT_TRUE(inside);
  EXPECT_TRUE(DeleteLock(lock));
}

TEST(LocksTest, LeaveByAnotherThreadDoesNotRelease) {
  LockHandle lock = CreateLock();
  EnterLock(lock);
  Runner stranger([lock] { LeaveLock(lock); });
  ASSERT_TRUE(stranger.Finished());

  std::atomic<bool> inside{false};
  Runner other([&] {
    EnterLock(lock);
    inside = true;
    LeaveLock(lock);
  });
  ASSERT_TRUE(Blocked(lock, 1, [&] { return inside.load(); }));
  EXPECT_FALSE(inside);
  LeaveLock(lock);
  EXPECT_TRUE(other.Finished());
  EXPECT_TRUE(inside);
  EXPECT_TRUE(DeleteLock(lock));
}

TEST(LocksTest, MutualExclusionUnderContention) {
  LockHandle lock = CreateLock();
  long total = 0;  // deliberately unsynchronised but for the lock
  std::atomic<int> insideNow{0};
  std::atomic<bool> overlapped{false};
  std::vector<std::unique_ptr<Runner>> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(std::make_unique<Runner>([&] {
      for (int i = 0; i < 20000; ++i) {
        EnterLock(lock);
        EnterLock(lock);
        if (++insideNow != 1) overlapped = true;
        ++total;
        --insideNow;
        LeaveLock(lock);
        LeaveLock(lock);
      }
    }));
  }
  for (auto& thread : threads) ASSERT_TRUE(thread->Finished());
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(total, 4 * 20000);
  EXPECT_TRUE(DeleteLock(lock));
}

TEST(LocksTest, DeletingAHeldAndAwaitedLockLetsEveryoneFinish) {
  LockHandle lock = CreateLock();
  Gate holderMayLeave;
  Counter holding;
  Counter waitersDone;

  Runner holder([&] {
    EnterLock(lock);
    EnterLock(lock);
    holding.Add();
    holderMayLeave.Wait();
    LeaveLock(lock);  // on a deleted lock: harmless
    LeaveLock(lock);
  });
  ASSERT_TRUE(holding.WaitFor(1));

  std::vector<std::unique_ptr<Runner>> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(std::make_unique<Runner>([&] {
      EnterLock(lock);
      LeaveLock(lock);
      waitersDone.Add();
    }));
  }
  // The waiters are blocked in EnterLock before the lock goes.
  ASSERT_TRUE(Blocked(lock, 3, [&] { return waitersDone.value() > 0; }));
  EXPECT_EQ(waitersDone.value(), 0);

  Runner deleter([&] { EXPECT_TRUE(DeleteLock(lock)); });
  ASSERT_TRUE(deleter.Finished());
  // The waiters get through while the holder still sits inside.
  EXPECT_TRUE(waitersDone.WaitFor(3));
  for (auto& waiter : waiters) EXPECT_TRUE(waiter->Finished());

  holderMayLeave.Open();
  EXPECT_TRUE(holder.Finished());
  EXPECT_FALSE(DeleteLock(lock));
  EnterLock(lock);  // still nothing
  LeaveLock(lock);
}

TEST(LocksTest, ConcurrentCreateDeleteEnterStress) {
  // A few slots whose locks are replaced and deleted while other threads enter and leave them.
  std::array<std::atomic<LockHandle>, 4> slots;
  for (auto& slot : slots) slot = CreateLock();
  std::atomic<bool> go{false};
  std::vector<std::unique_ptr<Runner>> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(std::make_unique<Runner>([&, t] {
      std::minstd_rand random(static_cast<unsigned>(t + 1));
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 4000; ++i) {
        std::atomic<LockHandle>& slot = slots[random() % slots.size()];
        switch (random() % 8) {
          case 0:
            DeleteLock(slot.exchange(CreateLock()));
            break;
          case 1:
            DeleteLock(slot.load());
            break;
          default: {
            LockHandle lock = slot.load();
            EnterLock(lock);
            EnterLock(lock);
            LeaveLock(lock);
            LeaveLock(lock);
          }
        }
      }
    }));
  }
  go = true;
  for (auto& thread : threads) ASSERT_TRUE(thread->Finished());
  // Every slot still works afterwards: a live lock can be entered and deleted.
  for (auto& slot : slots) {
    LockHandle lock = slot.exchange(0);
    EnterLock(lock);
    LeaveLock(lock);
    DeleteLock(lock);
    EXPECT_FALSE(DeleteLock(lock));
  }
}

}  // namespace
}  // namespace shopwalk
