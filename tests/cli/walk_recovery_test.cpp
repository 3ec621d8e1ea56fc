// A walk of shopwalk-cli that goes on from an interrupted one whose later shops were answered
// before earlier ones: it walks on from the interrupted run's place, passes by the shops that run
// listed beyond its place (they are not asked for again), and its list holds every shop once.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "collect/text.h"
#include "results/sqlite/sqlite_store.h"
#include "tests/cli/cli_fixture.h"

namespace shopwalk::test {
namespace {

// How often each shop stands in each run's list of the store at `db`.
std::map<std::pair<std::int64_t, std::int32_t>, int> ListedTimes(const std::string& db) {
  std::map<std::pair<std::int64_t, std::int32_t>, int> times;
  sqlite3* database = nullptr;
  if (sqlite3_open_v2(db.c_str(), &database, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << db;
    sqlite3_close(database);
    return times;
  }
  sqlite3_stmt* rows = nullptr;
  sqlite3_prepare_v2(database, "SELECT run_id, shop_id FROM run_rows", -1, &rows, nullptr);
  while (sqlite3_step(rows) == SQLITE_ROW) {
    ++times[{sqlite3_column_int64(rows, 0), sqlite3_column_int(rows, 1)}];
  }
  sqlite3_finalize(rows);
  sqlite3_close(database);
  return times;
}

using WalkRecoveryTest = CliTest;

TEST_F(WalkRecoveryTest, AnInterruptedWalkPassesByTheShopsItListedBeyondItsPlace) {
  constexpr std::int32_t First = 109428413;
  constexpr std::int32_t Place = First + 19;
  constexpr std::int32_t Last = First + 59;
  // The interrupted walk answered every ID up to its place and, out of order, two shops beyond.
  const std::vector<ShopRecord> early = ShopsListedBetween(First, Place);
  const std::vector<ShopRecord> later = ShopsListedBetween(Place + 1, Last);
  ASSERT_GE(later.size(), 3u);
  const std::vector<ShopRecord> answeredLater = {later[0], later[2]};
  {
    auto opened = SqliteStore::OpenForWalking(db);
    ASSERT_TRUE(opened) << opened.error().reason;
    SqliteStore& store = **opened;
    store.BeginRun(RunKind::CommandLine, NumberToText(First - 1));
    std::set<std::int32_t> listed;
    for (const ShopRecord& record : early) {
      store.RowAppended(record);
      listed.insert(record.shopId);
    }
    for (std::int32_t id = First; id <= Place; ++id) {
      if (listed.count(id) == 0) store.Answered(id, ShopOutcome::NoShop);
    }
    store.PlaceMoved(NumberToText(Place));
    for (const ShopRecord& record : answeredLater) store.RowAppended(record);
    ASSERT_TRUE(store.Flush(Patience));
    // Closed without ending its run, as a killed walk leaves it.
  }

  const Finished walk =
      Cli({"walk", "--db", db, "--to", std::to_string(Last), "--rate", "0", "--quiet"});
  ASSERT_EQ(walk.code, 0) << walk.errors;

  const std::set<std::int32_t> requested = RequestedShopIds(market);
  for (const ShopRecord& record : answeredLater) {
    EXPECT_EQ(requested.count(record.shopId), 0u) << "shop " << record.shopId << " asked again";
  }
  std::set<std::int32_t> walked = requested;
  for (const ShopRecord& record : answeredLater) walked.insert(record.shopId);
  EXPECT_EQ(MissingIds(walked, Place + 1, Last), std::vector<std::int32_t>{});
  for (std::int32_t id : requested) EXPECT_GT(id, Place) << "asked again below the place";
  for (const auto& [listing, times] : ListedTimes(db)) {
    EXPECT_EQ(times, 1) << "run " << listing.first << " lists shop " << listing.second << " "
                        << times << " times";
  }
  EXPECT_EQ(StoredShops(db), ShopsListedBetween(First, Last));
}

}  // namespace
}  // namespace shopwalk::test
