// Following the top: the follow window's bookkeeping on the manual clock, and a walk that follows
// the living test marketplace, judged against its truth: every shop opened while it follows is
// listed once, no "no shop" answer of an ID that may still open is reported as final, the place
// never passes the newest shop, and a walk that goes on from its place lists what opened between.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <vector>

#include "collect/follow_window.h"
#include "tests/collect/engine_fixture.h"
#include "tests/support/living_shops.h"
#include "tests/support/manual_clock.h"
#include "tests/support/memory_sink.h"

namespace shopwalk::test {
namespace {

using Kind = WorkSource::Next::Kind;
using std::chrono::seconds;

// What the window hands out next, as (kind, ID); the ID is 0 for Wait.
std::pair<Kind, std::int32_t> Take(FollowWindow& window) {
  const WorkSource::Next next = window.NextShop();
  return {next.kind, next.kind == Kind::Wait ? 0 : next.shopId};
}

// Hands out IDs until the window waits; their IDs.
std::vector<std::int32_t> TakeSweep(FollowWindow& window) {
  std::vector<std::int32_t> ids;
  for (auto next = Take(window); next.first != Kind::Wait; next = Take(window)) {
    ids.push_back(next.second);
  }
  return ids;
}

TEST(FollowWindowTest, FindsTheTopThenAsksTheWindowAgainEveryInterval) {
  ManualClock clock;
  FollowWindow window;
  window.Begin(clock, 100, FollowSettings{3, std::chrono::seconds(60)}, {});
  EXPECT_EQ(TakeSweep(window), (std::vector<std::int32_t>{101, 102, 103}));
  // Answers still out: the sweep is not over, nothing is handed out again.
  EXPECT_EQ(Take(window).first, Kind::Wait);
  EXPECT_FALSE(window.Now().following);
  // "No shop" in the window is held back: not final, the place stays.
  EXPECT_TRUE(window.Answer(101, false).empty());
  EXPECT_TRUE(window.Answer(103, false).empty());
  EXPECT_EQ(Take(window).first, Kind::Wait);
  EXPECT_TRUE(window.Answer(102, false).empty());
  EXPECT_EQ(window.Settled(), 100);
  EXPECT_EQ(Take(window).first, Kind::Wait);
  EXPECT_TRUE(window.Now().following);
  EXPECT_FALSE(window.Now().newestFound);

  clock.Advance(seconds(59));
  EXPECT_EQ(Take(window).first, Kind::Wait);
  clock.Advance(seconds(1));
  EXPECT_EQ(TakeSweep(window), (std::vector<std::int32_t>{101, 102, 103}));
  EXPECT_EQ(window.Now().sweeps, 1);
}

TEST(FollowWindowTest, AShopSlidesTheWindowAndMakesWhatItHeldBelowFinal) {
  ManualClock clock;
  FollowWindow window;
  window.Begin(clock, 100, FollowSettings{3, std::chrono::seconds(60)}, {});
  ASSERT_EQ(TakeSweep(window).size(), 3U);
  EXPECT_TRUE(window.Answer(101, false).empty());
  // 103 opened: 101 below it is final now; 102 is still out and is final when it answers.
  EXPECT_EQ(window.Answer(103, true), (std::vector<std::int32_t>{101}));
  EXPECT_EQ(window.Settled(), 103);
  EXPECT_EQ(window.Now().newestFound, clock.Now());
  // The same sweep goes on above the new newest shop.
  EXPECT_EQ(TakeSweep(window), (std::vector<std::int32_t>{104, 105, 106}));
  EXPECT_EQ(window.Answer(102, false), (std::vector<std::int32_t>{102}));
  // A held ID that opens later is a shop, never a final "no shop".
  EXPECT_TRUE(window.Answer(104, false).empty());
  EXPECT_TRUE(window.Answer(105, false).empty());
  EXPECT_TRUE(window.Answer(106, false).empty());
  EXPECT_EQ(Take(window).first, Kind::Wait);
  clock.Advance(seconds(60));
  EXPECT_EQ(TakeSweep(window), (std::vector<std::int32_t>{104, 105, 106}));
  EXPECT_EQ(window.Answer(105, true), (std::vector<std::int32_t>{}));
  EXPECT_EQ(window.Answer(104, false), (std::vector<std::int32_t>{104}));
  EXPECT_EQ(window.Settled(), 105);
}

TEST(FollowWindowTest, ListedShopsArePassedByAndGivenUpIdsAreAskedNextSweep) {
  ManualClock clock;
  FollowWindow window;
  window.Begin(clock, 100, FollowSettings{2, std::chrono::seconds(0)}, {102});
  EXPECT_EQ(Take(window), std::make_pair(Kind::Shop, 101));
  EXPECT_EQ(Take(window), std::make_pair(Kind::PassedBy, 102));
  EXPECT_TRUE(window.Answer(102, true).empty());
  EXPECT_EQ(TakeSweep(window), (std::vector<std::int32_t>{103, 104}));
  // 101 failed for good: final neither way, and no longer out.
  window.Unanswered(101);
  EXPECT_TRUE(window.Answer(103, false).empty());
  // The sweep waits for 104 (waiting for its next try).
  EXPECT_EQ(Take(window).first, Kind::Wait);
  EXPECT_TRUE(window.Answer(104, false).empty());
  EXPECT_EQ(Take(window).first, Kind::Wait);
  // No interval: the next sweep starts at once; the listed shop is not passed by twice.
  EXPECT_EQ(TakeSweep(window), (std::vector<std::int32_t>{103, 104}));
  EXPECT_EQ(window.Settled(), 102);

  // At the largest shop ID the window ends there, and the IDs never wrap.
  window.Begin(clock, std::numeric_limits<std::int32_t>::max() - 1, FollowSettings{5, {}}, {});
  EXPECT_EQ(TakeSweep(window),
            (std::vector<std::int32_t>{std::numeric_limits<std::int32_t>::max()}));
}

constexpr std::int32_t Start = 8'200'000;
constexpr std::int32_t Top = Start + 60;
constexpr std::int32_t Window = 12;

class FollowWalkTest : public EngineTest {
 protected:
  FollowWalkTest() {
    collector.SetPace(std::chrono::milliseconds(0));
    collector.SetEnginePolicy(EnginePolicy::CommandLine(0));
    collector.SetResultSink(&sink);
    collector.SetFollow(FollowSettings{Window, std::chrono::seconds(2)});
    ui.SetThreadCountText("4");
    UseManualClock(true);
  }

  // Starts following from `place`.
  void Follow(std::int32_t place) {
    ui.SetShopIdText(std::to_string(place));
    collector.OnStartClicked();
  }

  // Generous: a sweep takes real time on a loaded machine; only a hung walk waits this long.
  static constexpr std::chrono::seconds Patience{120};

  // Waits until the walk has found the top, and then for `sweeps` sweeps more.
  bool WaitForSweeps(std::int64_t sweeps) {
    std::optional<std::int64_t> first;
    return WaitFor(
        [&] {
          const RunFigures figures = collector.Figures();
          if (!figures.follow || !figures.follow->topFound) return false;
          if (!first) first = Sweeps();
          return Sweeps() >= *first + sweeps;
        },
        Patience);
  }
  // Sweeps so far: how often the marketplace answered the window's top ID.
  std::int64_t Sweeps() {
    const std::int32_t top = collector.Figures().follow->windowTop;
    std::int64_t count = 0;
    for (const RecordedAnswer& answer : market.Answers()) {
      if (answer.host == pages::ShopHost(top)) ++count;
    }
    return count;
  }
  // Waits until `shopId`'s row is reported.
  bool WaitForRow(std::int32_t shopId) {
    return WaitFor([&] { return RowCounts().count(shopId) > 0; });
  }
  std::map<std::int32_t, int> RowCounts() {
    std::map<std::int32_t, int> rows;
    for (const MemorySink::Event& event : sink.Events()) {
      if (event.kind == MemorySink::Event::Kind::Row) ++rows[event.shopId];
    }
    return rows;
  }

  // The sink's events judged in their order: no "no shop" is final while it could still open (a
  // row above it came before), and no place passes the newest row reported before it.
  void ExpectNothingFinalAboveTheNewestShop(std::int32_t from) {
    std::int32_t newest = from;
    for (const MemorySink::Event& event : sink.Events()) {
      switch (event.kind) {
        case MemorySink::Event::Kind::Row:
          newest = std::max(newest, event.shopId);
          break;
        case MemorySink::Event::Kind::Answer:
          // A page without fields is a shop's too.
          if (event.outcome == ShopOutcome::NoFields) {
            newest = std::max(newest, event.shopId);
          } else {
            EXPECT_LT(event.shopId, newest) << "final answer above the newest shop";
          }
          break;
        case MemorySink::Event::Kind::Place:
          EXPECT_LE(TextToInt(event.place), newest) << "place past the newest shop";
          break;
        default:
          break;
      }
    }
  }

  MemorySink sink;
  LivingShops living{market, Top};
};

TEST_F(FollowWalkTest, ListsEveryOpeningOnceAndKeepsThePlaceBelowTheWindow) {
  Follow(Start);
  ASSERT_TRUE(WaitForSweeps(1));
  EXPECT_FALSE(collector.WalkEnded());
  EXPECT_TRUE(WaitFor([&] { return TextToInt(collector.Figures().place) == living.Newest(); }));

  // Openings one after another, two at once, one at the window's top edge, and one opened while
  // a sweep may be under way.
  std::vector<std::int32_t> opened;
  for (const std::vector<std::int32_t>& gaps :
       std::vector<std::vector<std::int32_t>>{{0}, {3, 0}, {Window - 1}, {2}}) {
    for (const std::int32_t gap : gaps) opened.push_back(living.Open(gap)->id);
    ASSERT_TRUE(WaitForRow(opened.back()));
    EXPECT_TRUE(WaitFor([&] { return collector.Figures().follow->newest == opened.back(); }));
  }
  ASSERT_TRUE(WaitForSweeps(2));
  ASSERT_TRUE(EndRun());

  EXPECT_FALSE(collector.WalkEnded());
  std::map<std::int32_t, int> rows = RowCounts();
  std::map<std::int32_t, int> expected;
  for (const auto& [id, shop] : living.Listing(Start + 1, living.Newest() + Window)) {
    expected[id] = 1;
  }
  EXPECT_EQ(rows, expected);
  for (const std::int32_t id : opened) EXPECT_EQ(rows[id], 1) << id;
  ExpectNothingFinalAboveTheNewestShop(Start);
  EXPECT_EQ(sink.LastPlace(), std::to_string(living.Newest()));
}

// The IDs of the window are asked sweep after sweep; once a shop opens above them, their many "no
// shop" answers lie below the newest shop. The page-match guard must not take them for notices
// on shops known to exist and hold the walk.
TEST_F(FollowWalkTest, ManySweepsBelowANewShopDoNotTripThePageGuard) {
  Follow(Start);
  // Enough sweeps to fill the guard's window (200 answers) with them.
  ASSERT_TRUE(WaitForSweeps(20));
  const std::int32_t far = living.Open(6)->id;
  ASSERT_TRUE(WaitForRow(far));
  const std::int32_t next = living.Open(0)->id;
  ASSERT_TRUE(WaitForRow(next));
  EXPECT_EQ(collector.PagesMismatch(), PageMismatch::None);
  EXPECT_FALSE(collector.Figures().paused.has_value());
  ASSERT_TRUE(EndRun());
  ExpectNothingFinalAboveTheNewestShop(Start);
}

// Shops that open with gaps above the top leave "no shop" answers below them. Answered while they
// were above the newest shop, they were the window's (held back), not shops that vanished: a run
// of such openings does not hold the walk.
TEST_F(FollowWalkTest, OpeningsWithGapsDoNotTripThePageGuard) {
  PageMatchLimits limits;
  limits.window = 2 * Window;
  limits.judged = 5;
  collector.SetPageMatchLimits(limits);
  Follow(Start);
  ASSERT_TRUE(WaitForSweeps(1));
  for (int i = 0; i < 4; ++i) {
    const std::int32_t opened = living.Open(Window - 1)->id;
    ASSERT_TRUE(WaitForRow(opened));
  }
  ASSERT_TRUE(WaitForSweeps(1));
  EXPECT_EQ(collector.PagesMismatch(), PageMismatch::None);
  ASSERT_TRUE(EndRun());
  ExpectNothingFinalAboveTheNewestShop(Start);
}

TEST_F(FollowWalkTest, GoesOnFromItsPlaceWithoutSkippingWhatOpenedMeanwhile) {
  Follow(Start);
  ASSERT_TRUE(WaitForSweeps(1));
  const std::int32_t first = living.Open(1)->id;
  // Its row and then the place up to it (the answers below it reported first).
  ASSERT_TRUE(WaitFor([&] { return sink.LastPlace() == std::to_string(first); }, Patience));
  // Ended as the program ends (the living marketplace goes on serving for the next run).
  driver->Pause();
  ASSERT_TRUE(collector.ShutDownForExit(Hang));
  ResetTransferAbort();
  const std::string place = sink.LastPlace();
  ASSERT_EQ(place, std::to_string(first));

  // Opened while nothing follows: one at once above the place, one further up.
  const std::int32_t second = living.Open(0)->id;
  const std::int32_t third = living.Open(4)->id;
  MemoryUi ui2;
  MemorySink sink2;
  Collector next(ui2);
  next.SetClock(clock);
  next.SetPace(std::chrono::milliseconds(0));
  next.SetEnginePolicy(EnginePolicy::CommandLine(0));
  next.SetResultSink(&sink2);
  next.SetFollow(FollowSettings{Window, std::chrono::seconds(2)});
  // The run before had listed `third` already (its place had not moved up to it).
  next.SetAlreadyListed({third});
  ui2.SetThreadCountText("2");
  ui2.SetShopIdText(place);
  ClockDriver driver2(clock, [&] { return next.TasksUnderWay() == 0; });
  next.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] {
    const RunFigures figures = next.Figures();
    return figures.follow && figures.follow->topFound && figures.place == std::to_string(third);
  }));
  // Time stands still while the run ends, so it waits for its workers rather than a deadline.
  driver2.Pause();
  ASSERT_TRUE(next.ShutDownForExit(Hang));
  std::map<std::int32_t, int> rows;
  for (const MemorySink::Event& event : sink2.Events()) {
    if (event.kind == MemorySink::Event::Kind::Row) ++rows[event.shopId];
    // IDs below the place were answered by the run before and are not asked again.
    if (event.kind != MemorySink::Event::Kind::Place) {
      EXPECT_GT(event.shopId, first);
    }
  }
  EXPECT_EQ(rows, (std::map<std::int32_t, int>{{second, 1}}));
  EXPECT_EQ(sink2.LastPlace(), std::to_string(third));
}

}  // namespace
}  // namespace shopwalk::test
