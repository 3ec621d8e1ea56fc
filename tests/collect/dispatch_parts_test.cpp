// The dispatcher's small parts on their own: the walk through the shop-ID field, how far the
// pool's queue runs ahead of the workers, and what the window is shown of a run (each thing once,
// the pause kept in view).
#include <gtest/gtest.h>

#include <thread>

#include "collect/field_walk.h"
#include "collect/queue_room.h"
#include "collect/run_display.h"
#include "tests/support/manual_clock.h"
#include "tests/support/memory_ui.h"

namespace shopwalk::test {
namespace {

using std::chrono::seconds;
using Next = WorkSource::Next;

// The field walk's answers as the dispatcher would take them: each ID handed out or passed by is
// written into the field, as the dispatcher does.
std::vector<std::pair<Next::Kind, std::int32_t>> Walk(FieldWalk& walk, MemoryUi& ui, int passes) {
  std::vector<std::pair<Next::Kind, std::int32_t>> answers;
  for (int i = 0; i < passes; ++i) {
    const Next next = walk.NextShop();
    EXPECT_FALSE(next.retryOfFailed);
    answers.emplace_back(next.kind, next.kind == Next::Kind::End ? 0 : next.shopId);
    if (next.kind != Next::Kind::End) ui.SetShopIdText(std::to_string(next.shopId));
  }
  return answers;
}

TEST(FieldWalkTest, HandsOutTheIdAfterTheFieldAndPassesListedShopsByOnce) {
  MemoryUi ui;
  FieldWalk walk(ui);
  walk.SetAlreadyListed({12, 14});
  ui.SetShopIdText("10");
  using K = Next::Kind;
  EXPECT_EQ(
      Walk(walk, ui, 5),
      (std::vector<std::pair<K, std::int32_t>>{
          {K::Shop, 11}, {K::PassedBy, 12}, {K::Shop, 13}, {K::PassedBy, 14}, {K::Shop, 15}}));
  // What the user types counts from the next pass; a listed ID is passed by only once.
  ui.SetShopIdText("11");
  EXPECT_EQ(Walk(walk, ui, 1), (std::vector<std::pair<K, std::int32_t>>{{K::Shop, 12}}));
  // Text that is no number starts from 0, as the field always did.
  ui.SetShopIdText("abc");
  EXPECT_EQ(Walk(walk, ui, 1), (std::vector<std::pair<K, std::int32_t>>{{K::Shop, 1}}));
}

TEST(FieldWalkTest, EndsAtItsLastIdOrTheLargestWithoutWrapping) {
  MemoryUi ui;
  FieldWalk walk(ui);
  using K = Next::Kind;
  walk.SetLastShopId(21);
  ui.SetShopIdText("19");
  EXPECT_EQ(Walk(walk, ui, 3),
            (std::vector<std::pair<K, std::int32_t>>{{K::Shop, 20}, {K::Shop, 21}, {K::End, 0}}));
  // A field already past the last ID hands out nothing.
  ui.SetShopIdText("500");
  EXPECT_EQ(walk.NextShop().kind, K::End);

  walk.SetLastShopId(std::nullopt);
  ui.SetShopIdText("2147483646");
  EXPECT_EQ(Walk(walk, ui, 2),
            (std::vector<std::pair<K, std::int32_t>>{{K::Shop, 2147483647}, {K::End, 0}}));
}

TEST(QueueRoomTest, FullAtOneShopPerWorkerAndRefilledOnceHalfIsTaken) {
  QueueRoom room;
  room.SetWorkers(4);
  for (int i = 0; i < 3; ++i) room.Queued();
  EXPECT_FALSE(room.Full());
  room.Queued();
  EXPECT_TRUE(room.Full());

  ManualClock clock;
  std::thread dispatcher([&] { room.WaitForRoom(clock, std::chrono::hours(1)); });
  while (clock.Waiters() == 0) std::this_thread::yield();
  // One shop taken is not room enough yet; the second leaves half the queue empty.
  room.Left();
  room.Left();
  dispatcher.join();
  EXPECT_FALSE(room.Full());
}

TEST(QueueRoomTest, WaitsNoLongerThanItsLimitAndNotAtAllWithRoom) {
  QueueRoom room;
  // No workers still lets one shop wait.
  room.SetWorkers(0);
  ManualClock clock;
  room.WaitForRoom(clock, std::chrono::hours(1));
  room.Queued();
  EXPECT_TRUE(room.Full());
  std::thread dispatcher([&] { room.WaitForRoom(clock, std::chrono::milliseconds(10)); });
  while (clock.Waiters() == 0) std::this_thread::yield();
  clock.Advance(std::chrono::milliseconds(10));
  dispatcher.join();
  EXPECT_TRUE(room.Full());
}

TEST(RunDisplayTest, ShowsCountsAndPausesOnlyWhenTheyChange) {
  MemoryUi ui;
  RunDisplay display(ui);
  display.ShowCounts([] { return RunDisplay::Counts{0, 0}; });
  display.ShowCounts([] { return RunDisplay::Counts{2, 1}; });
  display.ShowCounts([] { return RunDisplay::Counts{2, 1}; });
  EXPECT_EQ(ui.RetryCounts(), std::make_pair(std::size_t{2}, std::size_t{1}));
  EXPECT_EQ(display.CountsShown(), (RunDisplay::Counts{2, 1}));

  const RunDisplay::Pause outage{PauseReason::Outage, seconds(5), false};
  display.ShowPause(outage);
  display.ShowPause(outage);
  display.ShowPause({PauseReason::Outage, seconds(4), false});
  display.ShowPause({PauseReason::Outage, seconds(4), true});
  ASSERT_EQ(ui.Pauses().size(), 3u);
  EXPECT_EQ(ui.Pauses()[1].nextTry, seconds(4));
  EXPECT_TRUE(ui.Pauses()[2].probeOut);
  ASSERT_TRUE(display.PauseShown());
  EXPECT_TRUE(display.PauseShown()->probeOut);

  // After the walk ran again the same pause is news again.
  display.Resume();
  EXPECT_FALSE(display.PauseShown());
  display.ShowPause({PauseReason::Outage, seconds(4), true});
  EXPECT_EQ(ui.Pauses().size(), 4u);
}

TEST(RunDisplayTest, APauseInViewKeepsTheShopsOutAndComesBackWhileItLasts) {
  MemoryUi ui;
  RunDisplay display(ui);
  display.ShowCollecting("http://shop1.example");
  display.ShowPause({PauseReason::RateLimited, seconds(30), false});
  display.ShowCollecting("http://shop2.example");
  EXPECT_EQ(ui.CollectingHistory(), std::vector<std::string>{"http://shop1.example"});

  // Shown again only while it holds, and with the pause's own figures.
  display.ShowPauseAgain([](PauseReason) { return false; });
  EXPECT_EQ(ui.Pauses().size(), 1u);
  PauseReason asked = PauseReason::Outage;
  display.ShowPauseAgain([&](PauseReason reason) {
    asked = reason;
    return true;
  });
  EXPECT_EQ(asked, PauseReason::RateLimited);
  ASSERT_EQ(ui.Pauses().size(), 2u);
  EXPECT_EQ(ui.Pauses()[1].nextTry, seconds(30));

  display.Resume();
  display.ShowPauseAgain([](PauseReason) { return true; });
  EXPECT_EQ(ui.Pauses().size(), 2u) << "no pause in view, none to show again";
  display.ShowCollecting("http://shop3.example");
  EXPECT_EQ(ui.Collecting(), "http://shop3.example");
}

}  // namespace
}  // namespace shopwalk::test
