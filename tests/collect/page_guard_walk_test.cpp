// A walk across a change of the marketplace's pages: it holds within the guard's window, hands
// out nothing more, marks every answer it cannot trust to revisit, and loses no shop: once the
// pages read as before, the next walk lists every shop of the range, as the marketplace's truth
// says.
#include <algorithm>
#include <atomic>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/collect/engine_fixture.h"
#include "tests/support/changing_pages.h"
#include "tests/support/memory_sink.h"

namespace shopwalk::test {
namespace {

using pages::PageChange;
using Kind = PageChange::Kind;

struct ChangeCase {
  const char* name;
  PageChange change;
};

constexpr std::int32_t Start = 7'000'000;
constexpr std::int32_t At = Start + 300;
constexpr std::int32_t Last = At + 400;

class PageGuardWalkTest : public EngineTest, public ::testing::WithParamInterface<ChangeCase> {
 protected:
  PageGuardWalkTest() {
    collector.SetPace(std::chrono::milliseconds(0));
    collector.SetEnginePolicy(EnginePolicy::CommandLine(0));
    collector.SetResultSink(&sink);
  }

  // The rows on record, latest per shop.
  std::map<std::int32_t, ShopRecord> RowsOnRecord() {
    std::map<std::int32_t, ShopRecord> rows;
    for (const MemorySink::Event& event : sink.Events()) {
      if (event.kind == MemorySink::Event::Kind::Row) rows[event.shopId] = *event.record;
    }
    return rows;
  }

  MemorySink sink;
  ChangingPages changing{market};
};

TEST_P(PageGuardWalkTest, HoldsWithinTheWindowAndTheNextWalkLosesNoShop) {
  PageChange change = GetParam().change;
  change.fromId = At;
  changing.Change(change);
  std::atomic<int> told{0};
  collector.OnPagesMismatch([&told](PageMismatch) { ++told; });
  ui.SetShopIdText(std::to_string(Start));
  ui.SetThreadCountText("4");
  collector.SetLastShopId(Last);
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return told.load() == 1; }));
  EXPECT_FALSE(collector.WalkEnded());
  EXPECT_NE(collector.PagesMismatch(), PageMismatch::None);
  ASSERT_FALSE(ui.Pauses().empty());
  EXPECT_EQ(ui.Pauses().back().reason, PauseReason::PagesDoNotMatch);
  // The window counts the shops marked to revisit, as the sink has them.
  std::set<std::int32_t> marked;
  for (const MemorySink::Event& event : sink.Events()) {
    if (event.kind == MemorySink::Event::Kind::Revisit) marked.insert(event.shopId);
  }
  EXPECT_FALSE(marked.empty());
  EXPECT_EQ(ui.ToRevisitCount(), marked.size());

  // Held: no shop asked after the hold was told, and none far beyond the window.
  const std::size_t asked = market.RequestCount();
  std::int32_t highestAsked = 0;
  for (const RecordedRequest& request : market.Requests()) {
    if (const auto id = pages::ShopIdOfHost(request.host))
      highestAsked = std::max(highestAsked, *id);
  }
  EXPECT_LT(highestAsked - At, PageMatchLimits{}.window + 8);

  // Every changed ID's last report is true, or marks it to revisit: no untrue answer is final.
  std::map<std::int32_t, MemorySink::Event> lastReport;
  for (const MemorySink::Event& event : sink.Events()) {
    if (event.kind != MemorySink::Event::Kind::Place)
      lastReport.insert_or_assign(event.shopId, event);
  }
  const std::map<std::int32_t, pages::Shop> truth = ChangingPages::Truth(Start + 1, Last);
  for (const auto& [id, event] : lastReport) {
    if (id < At || event.kind == MemorySink::Event::Kind::Revisit) continue;
    const std::optional<pages::Shop> shop = pages::DemoShop(id);
    if (!shop) {
      EXPECT_TRUE(event.kind == MemorySink::Event::Kind::Answer &&
                  event.outcome == ShopOutcome::NoShop)
          << id;
    } else if (!pages::MakesRow(*shop)) {
      EXPECT_TRUE(event.kind == MemorySink::Event::Kind::Answer &&
                  event.outcome == ShopOutcome::NoFields)
          << id;
    } else {
      ASSERT_EQ(event.kind, MemorySink::Event::Kind::Row) << id;
      EXPECT_EQ(event.record->openingDate, shop->hasOpeningDate ? shop->openingDate : "") << id;
    }
  }
  ASSERT_TRUE(EndRun());
  EXPECT_EQ(market.RequestCount(), asked);

  // The pages read as before: the next walk asks the marked shops first and walks on from the
  // place, and the list holds every shop of the range.
  ChangingPages fixed(market);
  // The end of the last run aborted every transfer of the process.
  ResetTransferAbort();
  MemoryUi nextUi;
  Collector next(nextUi);
  next.SetPace(std::chrono::milliseconds(0));
  next.SetEnginePolicy(EnginePolicy::CommandLine(0));
  next.SetResultSink(&sink);
  const std::string place = sink.LastPlace();
  nextUi.SetShopIdText(place.empty() ? std::to_string(Start) : place);
  nextUi.SetThreadCountText("4");
  next.SetLastShopId(Last);
  next.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return next.WalkEnded(); }));
  ASSERT_TRUE(next.ShutDownForExit(Hang));
  EXPECT_EQ(next.PagesMismatch(), PageMismatch::None);
  EXPECT_TRUE(sink.ShopsToRevisit().empty());
  for (const std::int32_t id : sink.ShopsToRevisit()) ADD_FAILURE() << "left to revisit: " << id;

  const std::map<std::int32_t, ShopRecord> rows = RowsOnRecord();
  std::set<std::int32_t> listed;
  for (const auto& [id, record] : rows) listed.insert(id);
  std::set<std::int32_t> expected;
  for (const auto& [id, shop] : truth) expected.insert(id);
  EXPECT_EQ(listed, expected);
  for (const auto& [id, shop] : truth) {
    const auto row = rows.find(id);
    if (row == rows.end()) continue;
    EXPECT_EQ(row->second.name, Utf8ToGbk(shop.name)) << id;
    EXPECT_EQ(row->second.messenger, Utf8ToGbk(shop.messenger)) << id;
    EXPECT_EQ(row->second.openingDate, shop.hasOpeningDate ? shop.openingDate : "") << id;
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, PageGuardWalkTest,
    ::testing::Values(ChangeCase{"HomeLayout", {Kind::Layout, 0, true, false}},
                      ChangeCase{"RatingLayout", {Kind::Layout, 0, false, true}},
                      ChangeCase{"Verification", {Kind::Verification}},
                      ChangeCase{"Utf8", {Kind::Utf8}},
                      ChangeCase{"RewordedNotice", {Kind::RewordedNotice}}),
    [](const ::testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace shopwalk::test
