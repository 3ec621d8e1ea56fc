// A walk over the living test marketplace lists what its truth says: shops opened above the top
// (with their rating pages), renamed shops under their new names, changed reputations, and no
// row for a closed shop, which answers "no shop" until it reopens.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/collect/engine_fixture.h"
#include "tests/support/living_shops.h"
#include "tests/support/memory_sink.h"

namespace shopwalk::test {
namespace {

constexpr std::int32_t Start = 8'100'000;
constexpr std::int32_t Top = Start + 120;

// The IDs from `from` up whose DemoShop makes a row, `count` of them.
std::vector<std::int32_t> ShopsMakingRows(std::int32_t from, std::size_t count) {
  std::vector<std::int32_t> ids;
  for (std::int32_t id = from; ids.size() < count; ++id) {
    if (const auto shop = pages::DemoShop(id); shop && pages::MakesRow(*shop)) ids.push_back(id);
  }
  return ids;
}

class LivingShopsWalkTest : public EngineTest {
 protected:
  LivingShopsWalkTest() {
    collector.SetPace(std::chrono::milliseconds(0));
    collector.SetEnginePolicy(EnginePolicy::CommandLine(0));
    collector.SetResultSink(&sink);
  }

  // Walks from Start to `last` and waits for the walk's end.
  void Walk(std::int32_t last) {
    ui.SetShopIdText(std::to_string(Start));
    ui.SetThreadCountText("4");
    collector.SetLastShopId(last);
    collector.OnStartClicked();
    ASSERT_TRUE(WaitFor([&] { return collector.WalkEnded(); }));
  }

  MemorySink sink;
  LivingShops living{market, Top};
};

TEST_F(LivingShopsWalkTest, AWalkListsWhatTheTruthSays) {
  const std::vector<std::int32_t> known = ShopsMakingRows(Start + 1, 4);
  ASSERT_LT(known.back(), Top);
  ASSERT_TRUE(living.Rename(known[0], "改名精品店"));
  ASSERT_TRUE(living.SetReputation(known[1], "4321"));
  ASSERT_TRUE(living.Close(known[2]));
  ASSERT_TRUE(living.Close(known[3]));
  ASSERT_TRUE(living.Reopen(known[3]));
  // Nothing opens at an ID the marketplace has not given out, and a closed shop does not change.
  EXPECT_FALSE(living.Rename(Top + 1, "x"));
  EXPECT_FALSE(living.SetReputation(known[2], "1"));
  EXPECT_FALSE(living.Reopen(known[0]));

  const std::int32_t newestBefore = living.Newest();
  ASSERT_LE(newestBefore, Top);
  std::set<std::int32_t> opened;
  for (const std::int32_t gap : {0, 7, 2}) {
    const std::optional<pages::Shop> shop = living.Open(gap);
    ASSERT_TRUE(shop);
    opened.insert(shop->id);
  }
  EXPECT_EQ(*opened.begin(), newestBefore + 1);
  EXPECT_EQ(living.Newest(), *opened.rbegin());
  EXPECT_FALSE(living.Open(-1));
  // A closed shop keeps its ID given out: the newest stays the newest when it closes.
  ASSERT_TRUE(living.Close(living.Newest()));
  EXPECT_EQ(living.Newest(), *opened.rbegin());
  ASSERT_TRUE(living.Reopen(living.Newest()));

  const std::int32_t last = living.Newest() + 20;
  Walk(last);
  ASSERT_TRUE(EndRun());

  std::map<std::int32_t, ShopRecord> rows;
  std::map<std::int32_t, ShopOutcome> answers;
  for (const MemorySink::Event& event : sink.Events()) {
    if (event.kind == MemorySink::Event::Kind::Row) rows[event.shopId] = *event.record;
    if (event.kind == MemorySink::Event::Kind::Answer) answers[event.shopId] = event.outcome;
  }
  const std::map<std::int32_t, pages::Shop> truth = living.Listing(Start + 1, last);
  std::set<std::int32_t> listed;
  for (const auto& [id, record] : rows) listed.insert(id);
  std::set<std::int32_t> expected;
  for (const auto& [id, shop] : truth) expected.insert(id);
  EXPECT_EQ(listed, expected);
  for (const std::int32_t id : opened) EXPECT_EQ(expected.count(id), 1U) << id;
  EXPECT_EQ(expected.count(known[2]), 0U);
  EXPECT_EQ(answers[known[2]], ShopOutcome::NoShop);
  EXPECT_EQ(expected.count(known[3]), 1U);
  for (const auto& [id, shop] : truth) {
    const auto row = rows.find(id);
    if (row == rows.end()) continue;
    EXPECT_EQ(row->second.name, Gbk(shop.name)) << id;
    EXPECT_EQ(row->second.messenger, Gbk(shop.messenger)) << id;
    EXPECT_EQ(row->second.reputation, shop.reputation.empty() ? "0" : shop.reputation) << id;
  }
  EXPECT_EQ(rows[known[1]].reputation, "4321");

  // The truth's log holds every change in the order made.
  const std::vector<LivingShops::Change> changes = living.Changes();
  ASSERT_EQ(changes.size(), 10U);
  EXPECT_EQ(changes[0].kind, LivingShops::Change::Kind::Renamed);
  EXPECT_EQ(changes[0].before, pages::DemoShop(known[0])->name);
  EXPECT_EQ(changes[0].after, "改名精品店");
  EXPECT_EQ(changes[4].kind, LivingShops::Change::Kind::Reopened);
  EXPECT_EQ(living.Openings().size(), 3U);
}

}  // namespace
}  // namespace shopwalk::test
