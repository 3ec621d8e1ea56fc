// shopwalk-cli refresh against the living test marketplace: every change the marketplace made to a
// listed shop (a new name, a new reputation, a closing, a reopening) is in the store's history
// with its old and new value and stamped as a refresh's, closed shops are marked and kept, and
// the shops that changed are streamed as JSON Lines. A refresh that meets pages it cannot trust
// holds with exit code 4 and closes no shop.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "collect/gbk.h"
#include "results/sqlite/sqlite_store.h"
#include "tests/cli/cli_fixture.h"
#include "tests/support/living_shops.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/shop_pages.h"

namespace shopwalk::test {
namespace {

constexpr std::int32_t First = 7000;
constexpr std::int32_t Last = 7150;

std::vector<KeptChange> RefreshChanges(const std::string& db) {
  std::vector<KeptChange> kept;
  auto store = SqliteStore::OpenForReading(db);
  EXPECT_TRUE(store);
  if (!store) return kept;
  EXPECT_TRUE((*store)->ForEachChange(0, [&](const ShopChange& change) {
    EXPECT_EQ(change.source, ChangeSource::Refresh) << change.shopId;
    kept.emplace_back(change.shopId, change.field, change.oldValue, change.newValue);
  }));
  std::sort(kept.begin(), kept.end());
  return kept;
}

std::set<std::int32_t> ClosedShops(const std::string& db) {
  std::set<std::int32_t> closed;
  auto store = SqliteStore::OpenForReading(db);
  EXPECT_TRUE(store);
  if (!store) return closed;
  EXPECT_TRUE((*store)->ForEachRowSince(RowsSince::Closed, 0,
                                        [&](const ShopRecord& record, const ShopTimes& times) {
                                          EXPECT_TRUE(times.closedMs.has_value());
                                          closed.insert(record.shopId);
                                        }));
  return closed;
}

class RefreshCliTest : public CliTest {
 protected:
  // The IDs of the shops the walk listed.
  std::vector<std::int32_t> WalkAll() {
    const Finished walked = Cli({"walk", "--from", std::to_string(First), "--to",
                                 std::to_string(Last), "--rate", "0", "--quiet", "--db", db});
    EXPECT_EQ(walked.code, 0) << walked.errors;
    std::vector<std::int32_t> ids;
    for (const ShopRecord& record : StoredShops(db)) ids.push_back(record.shopId);
    return ids;
  }

  LivingShops living{market, Last};
};

TEST_F(RefreshCliTest, EveryChangeIsKeptWithItsOldAndNewValueAndClosedShopsAreMarked) {
  const std::vector<std::int32_t> known = WalkAll();
  ASSERT_GE(known.size(), 8u);
  ASSERT_TRUE(living.Rename(known[0], "改名的店"));
  ASSERT_TRUE(living.SetReputation(known[1], "9876"));
  ASSERT_TRUE(living.Close(known[2]));
  ASSERT_TRUE(living.Close(known[3]));
  ASSERT_TRUE(living.SetReputation(known[4], ""));
  const std::string changesFile = dir.File("changes.jsonl");
  const Finished first =
      Cli({"refresh", "--older-than", "1ms", "--rate", "0", "--db", db, "--out", changesFile});
  ASSERT_EQ(first.code, 0) << first.errors;
  EXPECT_NE(first.errors.find("2 closed"), std::string::npos) << first.errors;
  EXPECT_EQ(ClosedShops(db), (std::set<std::int32_t>{known[2], known[3]}));
  // Closed shops keep their rows.
  EXPECT_EQ(StoredShops(db).size(), known.size());
  const auto firstLines = ChangeLines(*FileContent(changesFile));
  EXPECT_EQ(std::set(firstLines.begin(), firstLines.end()),
            (std::set<std::pair<std::string, std::int32_t>>{{"changed", known[0]},
                                                            {"changed", known[1]},
                                                            {"closed", known[2]},
                                                            {"closed", known[3]},
                                                            {"changed", known[4]}}));

  ASSERT_TRUE(living.Reopen(known[3]));
  ASSERT_TRUE(living.Rename(known[5], "又一个名字"));
  const Finished second =
      Cli({"refresh", "--older-than", "1ms", "--rate", "0", "--db", db, "--out", "-"});
  ASSERT_EQ(second.code, 0) << second.errors;
  const auto secondLines = ChangeLines(second.output);
  EXPECT_EQ(std::set(secondLines.begin(), secondLines.end()),
            (std::set<std::pair<std::string, std::int32_t>>{{"reopened", known[3]},
                                                            {"changed", known[5]}}));
  EXPECT_EQ(ClosedShops(db), (std::set<std::int32_t>{known[2]}));

  // The history holds every change the marketplace made, as a refresh's, and nothing else.
  EXPECT_EQ(RefreshChanges(db), ExpectedChanges(living.Changes()));
  // The open shops' rows are as the marketplace shows them now.
  std::vector<ShopRecord> open;
  for (const ShopRecord& record : StoredShops(db)) {
    if (record.shopId != known[2]) open.push_back(record);
  }
  const auto truth = living.Listing(First, Last);
  ASSERT_EQ(open.size(), truth.size());
  for (const ShopRecord& record : open) {
    const auto shop = truth.find(record.shopId);
    ASSERT_NE(shop, truth.end()) << record.shopId;
    EXPECT_EQ(record.name, Utf8ToGbk(shop->second.name));
    EXPECT_EQ(record.reputation, shop->second.reputation.empty() ? "0" : shop->second.reputation);
  }
}

// With the guard's window small, every page saying "no such shop" (a wall, not closings) holds
// the refresh before its window's answers are written: no shop is closed.
TEST_F(RefreshCliTest, PagesThatCannotBeTrustedHoldTheRefreshAndCloseNoShop) {
  const std::vector<std::int32_t> known = WalkAll();
  ASSERT_GE(known.size(), 25u);
  const std::string program = dir.File("shopwalk-cli");
  std::filesystem::copy_file(SHOPWALK_CLI_PATH, program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  PutFile(dir.File("config.ini"), "[Mivu]\r\nGuard_Window=20\r\n");
  living.ChangePages(pages::PageChange{pages::PageChange::Kind::NoticeOnShops, 0, true, false});
  const Finished held = RunToEnd(
      program,
      {"refresh", "--older-than", "1ms", "--rate", "0", "--threads", "2", "--db", db, "--out", "-"},
      Environment(), Patience);
  ASSERT_EQ(held.code, 4) << held.errors;
  EXPECT_NE(held.errors.find("held: pages no longer match"), std::string::npos) << held.errors;
  EXPECT_EQ(held.output, "");
  EXPECT_EQ(ClosedShops(db), std::set<std::int32_t>{});
  EXPECT_EQ(RefreshChanges(db), std::vector<KeptChange>{});
}

// walk --out - streams the shops the store did not list (new), lists with other fields (changed)
// or lists as closed (open again); shops collected as they were listed are not news.
TEST_F(RefreshCliTest, AWalkStreamsItsNewsAsJsonLinesToStandardOutput) {
  const std::vector<std::int32_t> known = WalkAll();
  ASSERT_GE(known.size(), 4u);
  ASSERT_TRUE(living.Close(known[1]));
  ASSERT_EQ(Cli({"refresh", "--older-than", "1ms", "--rate", "0", "--db", db}).code, 0);
  ASSERT_TRUE(living.Reopen(known[1]));
  ASSERT_TRUE(living.Rename(known[0], "新名字"));
  const std::optional<pages::Shop> opened = living.Open(3);
  ASSERT_TRUE(opened);
  const Finished walked =
      Cli({"walk", "--from", std::to_string(First), "--to", std::to_string(opened->id + 5),
           "--rate", "0", "--db", db, "--out", "-"});
  ASSERT_EQ(walked.code, 0) << walked.errors;
  const auto lines = ChangeLines(walked.output);
  EXPECT_EQ(std::set(lines.begin(), lines.end()),
            (std::set<std::pair<std::string, std::int32_t>>{
                {"changed", known[0]}, {"reopened", known[1]}, {"new", opened->id}}));
  EXPECT_EQ(lines.size(), 3u);
  // The progress went to standard error.
  EXPECT_NE(walked.errors.find("finished"), std::string::npos) << walked.errors;
}

TEST_F(RefreshCliTest, NothingCheckedLongEnoughAgoIsNothingToRefresh) {
  WalkAll();
  const std::size_t asked = market.Requests().size();
  const Finished none = Cli({"refresh", "--older-than", "30d", "--db", db});
  EXPECT_EQ(none.code, 0) << none.errors;
  EXPECT_NE(none.errors.find("nothing to refresh"), std::string::npos) << none.errors;
  EXPECT_EQ(market.Requests().size(), asked);
  for (const std::string bad : {"30", "-1d", "1.5h", "0ms", "3651d"}) {
    EXPECT_EQ(Cli({"refresh", "--older-than", bad, "--db", db}).code, 2) << bad;
  }
  EXPECT_EQ(Cli({"refresh", "--count", "0", "--db", db}).code, 2);
  const std::string out = dir.File("x.jsonl");
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--new-since", "yesterday"},
                                              {"--changed-since", "2024-02-30"},
                                              {"--new-since", "1d", "--closed-since", "1d"},
                                              {"--history", "--new-since", "1d"},
                                              {"--history", "--format", "csv"}}) {
    std::vector<std::string> arguments{"export", "--db", db, "--out", out};
    arguments.insert(arguments.end(), bad.begin(), bad.end());
    EXPECT_EQ(Cli(arguments).code, 2) << bad[0];
  }
}

}  // namespace
}  // namespace shopwalk::test
