// shopwalk-cli refresh of a walk shared through PostgreSQL (a server of the test's own), against
// the living test marketplace: the refresh writes as a node under leases of its own, and every
// change the marketplace made is in the shared history with its old and new value, closed shops
// marked and reopened ones open again, as in a store file.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "results/pg/pg_store.h"
#include "tests/cli/cli_fixture.h"
#include "tests/results/pg_test_support.h"
#include "tests/support/living_shops.h"
#include "tests/support/postgres_server.h"

namespace shopwalk::test {
namespace {

constexpr std::int32_t First = 9000;
constexpr std::int32_t Last = 9119;

class SharedRefreshTest : public CliTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(server.Start(), "");
    ASSERT_EQ(server.CreateDatabase("walk"), "");
    uri = server.Uri("walk");
  }

  std::unique_ptr<PgStore> Reader() {
    auto opened = PgStore::OpenForReading(uri);
    EXPECT_TRUE(opened) << opened.error().reason;
    return opened ? std::move(*opened) : nullptr;
  }

  LivingShops living{market, Last};
  PostgresServer server;
  std::string uri;
};

TEST_F(SharedRefreshTest, EveryChangeIsInTheSharedHistoryAndClosedShopsAreMarked) {
  const Finished walked =
      Cli({"walk", "--db", uri, "--from", std::to_string(First), "--count",
           std::to_string(Last - First + 1), "--rate", "0", "--block-size", "40", "--quiet"});
  ASSERT_EQ(walked.code, 0) << walked.errors;
  std::vector<std::int32_t> known;
  {
    auto store = Reader();
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(
        store->ForEachRow([&](const ShopRecord& record) { known.push_back(record.shopId); }));
  }
  ASSERT_GE(known.size(), 6u);
  ASSERT_TRUE(living.Rename(known[0], "共享的新名"));
  ASSERT_TRUE(living.SetReputation(known[1], "777"));
  ASSERT_TRUE(living.Close(known[2]));
  ASSERT_TRUE(living.Close(known[3]));

  const Finished first =
      Cli({"refresh", "--db", uri, "--older-than", "1ms", "--rate", "0", "--out", "-"});
  ASSERT_EQ(first.code, 0) << first.errors;
  const auto firstLines = ChangeLines(first.output);
  EXPECT_EQ(std::set(firstLines.begin(), firstLines.end()),
            (std::set<std::pair<std::string, std::int32_t>>{{"changed", known[0]},
                                                            {"changed", known[1]},
                                                            {"closed", known[2]},
                                                            {"closed", known[3]}}));
  ASSERT_TRUE(living.Reopen(known[3]));
  const Finished second = Cli({"refresh", "--db", uri, "--older-than", "1ms", "--rate", "0"});
  ASSERT_EQ(second.code, 0) << second.errors;
  EXPECT_NE(second.errors.find("1 reopened"), std::string::npos) << second.errors;

  auto store = Reader();
  ASSERT_NE(store, nullptr);
  std::vector<KeptChange> kept;
  ASSERT_TRUE(store->ForEachChange(0, [&](const ShopChange& change) {
    EXPECT_EQ(change.source, ChangeSource::Refresh);
    kept.emplace_back(change.shopId, change.field, change.oldValue, change.newValue);
  }));
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, ExpectedChanges(living.Changes()));
  std::set<std::int32_t> closed;
  ASSERT_TRUE(store->ForEachRowSince(
      RowsSince::Closed, 0,
      [&](const ShopRecord& record, const ShopTimes&) { closed.insert(record.shopId); }));
  EXPECT_EQ(closed, std::set<std::int32_t>{known[2]});
  // The refresh let its leases go: nothing is left held.
  pg::Connection connection = Connect(uri);
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.blocks WHERE done_at IS NULL"), 0);
}

}  // namespace
}  // namespace shopwalk::test
