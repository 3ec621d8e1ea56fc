// A walk of shopwalk-cli across a change of the marketplace's pages (pages not kept): it ends with
// exit code 4 and says why; the user then fixes markers.ini beside the program (a new layout,
// UTF-8, a reworded notice) or the marketplace stops serving the change (a verification page),
// and the next walk into the same store lists every shop of the range as the marketplace's truth
// says, with no shop skipped and none left to ask again.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "results/sqlite/sqlite_store.h"
#include "tests/cli/cli_fixture.h"
#include "tests/support/changing_pages.h"
#include "tests/support/page_repairs.h"
#include "tests/support/shop_pages.h"

namespace shopwalk::test {
namespace {

constexpr std::int32_t First = 5000;
constexpr std::int32_t ChangeAt = 5300;
constexpr std::int32_t Last = 6000;

// Shop IDs whose home pages were asked for more than once from request `from` of the log on.
std::vector<std::int32_t> AskedTwice(const TestMarketplace& market, std::size_t from) {
  std::set<std::int32_t> once;
  std::vector<std::int32_t> twice;
  const std::vector<RecordedRequest> requests = market.Requests();
  for (std::size_t i = from; i < requests.size(); ++i) {
    const auto id = pages::ShopIdOfHost(requests[i].host);
    if (id && !once.insert(*id).second) twice.push_back(*id);
  }
  return twice;
}

// shopwalk-cli copied into the scratch folder, so that its settings folder (beside it, where
// markers.ini is read) is the test's own.
class PageGuardCliTest : public CliTest, public ::testing::WithParamInterface<PageRepair> {
 protected:
  PageGuardCliTest() {
    std::filesystem::copy_file(SHOPWALK_CLI_PATH, program);
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  }
  Finished Run(const std::vector<std::string>& arguments) const {
    return RunToEnd(program, arguments, Environment(), Patience);
  }

  const std::string program = dir.File("shopwalk-cli");
};

TEST_P(PageGuardCliTest, AWalkAcrossAChangeExitsWithFourAndTheNextLosesNoShop) {
  const PageRepair& repair = GetParam();
  ChangingPages changing(market);
  changing.Change(repair.change);
  const Finished held = Run({"walk", "--from", std::to_string(First), "--to", std::to_string(Last),
                             "--rate", "0", "--db", db});
  ASSERT_EQ(held.code, 4) << held.errors;
  EXPECT_NE(held.errors.find("held: pages no longer match"), std::string::npos) << held.errors;
  // It held within the window: nothing near the end of the range was asked.
  const std::set<std::int32_t> asked = RequestedShopIds(market);
  ASSERT_FALSE(asked.empty());
  EXPECT_LT(*asked.rbegin(), ChangeAt + 300);

  if (repair.markersIni.empty()) {
    changing.Revert();
  } else {
    // The marketplace changed all its pages at once (the walk was at the change's ID when it
    // did): a shop below it asked again now answers with a changed page too.
    changing.Change(EveryPage(repair.change));
    PutFile(dir.File("markers.ini"), repair.markersIni);
  }
  const std::size_t nextFrom = market.Requests().size();
  const Finished next = Run({"walk", "--to", std::to_string(Last), "--rate", "0", "--db", db});
  ASSERT_EQ(next.code, 0) << next.errors;
  // A marked shop is asked once: first as marked, or by the walk going on above its place.
  EXPECT_EQ(AskedTwice(market, nextFrom), std::vector<std::int32_t>{});
  EXPECT_EQ(StoredShops(db), ShopsListedBetween(First, Last));
  // Every shop asked again has its answer now: none is left failed or to revisit.
  auto store = SqliteStore::OpenForReading(db);
  ASSERT_TRUE(store) << store.error().reason;
  const auto failed = (*store)->ReadFailedShops();
  ASSERT_TRUE(failed) << failed.error().reason;
  EXPECT_TRUE(failed->empty()) << failed->size() << " shops left failed, the first "
                               << failed->front().shopId << ": " << failed->front().reason;
  // The whole range was asked.
  EXPECT_EQ(MissingIds(RequestedShopIds(market), First, Last), std::vector<std::int32_t>{});
}

INSTANTIATE_TEST_SUITE_P(EveryKind, PageGuardCliTest, ::testing::ValuesIn(PageRepairs(ChangeAt)),
                         [](const ::testing::TestParamInfo<PageRepair>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace shopwalk::test
