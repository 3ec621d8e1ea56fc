// shopwalk-cli walk --follow against the living test marketplace: the options it refuses, a
// follow that lists every shop opened while it runs, is killed with SIGKILL and goes on from its
// place without skipping an opening, and a walk without --follow past the top as before.
#include <gtest/gtest.h>

#include <csignal>
#include <set>
#include <string>
#include <vector>

#include "results/sqlite/sqlite_store.h"
#include "tests/cli/cli_fixture.h"
#include "tests/support/living_shops.h"

namespace shopwalk::test {
namespace {

constexpr std::int32_t Start = 9'300'000;
constexpr std::int32_t Top = Start + 40;

// The place the last command-line walk left in the store.
std::optional<std::int32_t> StoredPlace(const std::string& db) {
  auto opened = SqliteStore::OpenForReading(db);
  if (!opened) return std::nullopt;
  const auto place = (*opened)->LastPlace(RunKind::CommandLine);
  if (!place || !*place) return std::nullopt;
  return static_cast<std::int32_t>(std::stoll(**place));
}

std::set<std::int32_t> StoredIds(const std::string& db) {
  std::set<std::int32_t> ids;
  for (const ShopRecord& shop : StoredShops(db)) ids.insert(shop.shopId);
  return ids;
}

class FollowCliTest : public CliTest {
 protected:
  // Follows from the store's place (or from `from`), the window asked again every 100 ms.
  std::unique_ptr<ChildProcess> Follow(std::optional<std::int32_t> from = std::nullopt) {
    std::vector<std::string> arguments = {"walk",           "--follow", "--follow-window", "8",
                                          "--follow-every", "100ms",    "--rate",          "0",
                                          "--db",           db};
    if (from) {
      arguments.push_back("--from");
      arguments.push_back(std::to_string(*from));
    }
    return StartCli(arguments);
  }
  bool WaitForStored(std::int32_t shopId) {
    return WaitUntil([&] { return StoredIds(db).contains(shopId); }, Patience);
  }
  // The shops the truth lists from `from` up to the newest one.
  std::set<std::int32_t> Truth(std::int32_t from) const {
    std::set<std::int32_t> ids;
    for (const auto& [id, shop] : living.Listing(from, living.Newest())) ids.insert(id);
    return ids;
  }

  LivingShops living{market, Top};
};

TEST_F(FollowCliTest, RefusesFollowingWithAnEndAndDurationsThatAreNone) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"walk", "--follow", "--to", "500"},
           {"walk", "--follow", "--count", "5"},
           {"walk", "--follow", "--follow-every", "0s"},
           {"walk", "--follow", "--follow-every", "1h30m"},
           {"walk", "--follow", "--follow-every", "\x1b]0;x\x07"},
           {"walk", "--follow", "--follow-window", "0"},
           {"walk", "--follow-window", "20"},
           {"walk", "--follow", "--db", "postgresql://u@127.0.0.1:1/d"}}) {
    const Finished run = Cli(arguments);
    EXPECT_EQ(run.code, 2) << arguments.back() << ": " << run.errors;
    // The refusal never echoes a control character to the terminal.
    EXPECT_EQ(run.errors.find('\x1b'), std::string::npos);
  }
  EXPECT_TRUE(RequestedShopIds(market).empty());
}

TEST_F(FollowCliTest, ListsEveryOpeningAndSurvivesSigkillWithoutSkippingOne) {
  // Close below the newest shop: the synthetic shops below it leave gaps wider than the window.
  const std::int32_t from = living.Newest() - 3;
  auto walk = Follow(from);
  // The top is found: the place reaches the newest shop and no further.
  ASSERT_TRUE(WaitUntil([&] { return StoredPlace(db) == living.Newest(); }, Patience))
      << walk->Errors();
  std::vector<std::int32_t> opened;
  opened.push_back(living.Open(0)->id);
  ASSERT_TRUE(WaitForStored(opened.back())) << walk->Errors();
  opened.push_back(living.Open(3)->id);
  ASSERT_TRUE(WaitForStored(opened.back())) << walk->Errors();
  // One more opens, and the walk is killed without a chance to finish anything.
  opened.push_back(living.Open(1)->id);
  walk->Signal(SIGKILL);
  ASSERT_EQ(walk->Wait(Patience), -SIGKILL);
  EXPECT_LE(StoredPlace(db).value_or(from), opened[1]);
  // Two open while nothing follows, one at the window's top edge.
  opened.push_back(living.Open(0)->id);
  opened.push_back(living.Open(7)->id);

  auto again = Follow();
  for (const std::int32_t id : opened) ASSERT_TRUE(WaitForStored(id)) << id << again->Errors();
  ASSERT_TRUE(WaitUntil([&] { return StoredPlace(db) == living.Newest(); }, Patience))
      << again->Errors();
  again->Signal(SIGTERM);
  ASSERT_EQ(again->Wait(Patience), 143) << again->Errors();
  EXPECT_NE(again->Errors().find("(start from the last walk's place)"), std::string::npos)
      << again->Errors();

  EXPECT_EQ(StoredIds(db), Truth(from));
  EXPECT_EQ(StoredPlace(db), living.Newest());
  const Finished status = Cli({"status", "--db", db});
  ASSERT_EQ(status.code, 0) << status.errors;
  EXPECT_NE(status.output.find("\nnewest shop  " + std::to_string(opened.back()) + " first seen "),
            std::string::npos)
      << status.output;
}

TEST_F(FollowCliTest, AWalkWithoutFollowGoesPastTheTopAsBefore) {
  const Finished walk =
      Cli({"walk", "--from", std::to_string(Start), "--count", "60", "--rate", "0", "--db", db});
  ASSERT_EQ(walk.code, 0) << walk.errors;
  EXPECT_EQ(StoredPlace(db), Start + 59);
  // A shop that opens above the top later is not seen by walking on: the place passed it.
  const std::int32_t opened = living.Open(0)->id;
  ASSERT_LT(opened, Start + 59);
  const Finished next = Cli({"walk", "--count", "5", "--rate", "0", "--db", db});
  ASSERT_EQ(next.code, 0) << next.errors;
  EXPECT_FALSE(StoredIds(db).contains(opened));
  EXPECT_EQ(StoredPlace(db), Start + 64);
}

}  // namespace
}  // namespace shopwalk::test
