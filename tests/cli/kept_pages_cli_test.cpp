// A walk that keeps its pages across a change of the marketplace's pages, repaired without
// walking the range again: it holds (exit 4), the markers are fixed in markers.ini (or, for a
// verification page, the marketplace stops serving it), `reparse` lists the shops from the kept
// pages, and the next walk asks only the shops still in doubt before walking on; the list then
// holds every shop of the range as the marketplace's truth says. `export --pages` writes the kept
// pages as the marketplace sent them.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/cli/cli_fixture.h"
#include "tests/support/changing_pages.h"
#include "tests/support/scratch_directory.h"

namespace shopwalk::test {
namespace {

using pages::PageChange;
using Kind = PageChange::Kind;

constexpr std::int32_t First = 5'000;
constexpr std::int32_t At = 5'300;
constexpr std::int32_t Last = 6'000;

struct RepairCase {
  const char* name;
  PageChange change;
  // markers.ini that reads the changed pages (empty: none; the marketplace stops the change).
  const char* markers;
  // Whether the walk kept what the rows need (the rating pages too): then reparse lists changed
  // shops itself; otherwise it marks them, and the next walk asks them first.
  bool rowsFromPages;
};

// shopwalk-cli copied into the scratch folder, so that its settings folder (beside it) and so
// its markers.ini are the test's own.
class KeptPagesCliTest : public CliTest, public ::testing::WithParamInterface<RepairCase> {
 protected:
  KeptPagesCliTest() {
    std::filesystem::copy_file(SHOPWALK_CLI_PATH, program);
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  }
  Finished Run(const std::vector<std::string>& arguments) const {
    return RunToEnd(program, arguments, Environment(), Patience);
  }

  const std::string program = dir.File("shopwalk-cli");
};

TEST_P(KeptPagesCliTest, ReparseAfterTheFixListsEveryShopWithoutWalkingTheRangeAgain) {
  ChangingPages changing(market);
  PageChange change = GetParam().change;
  change.fromId = At;
  changing.Change(change);
  const Finished held = Run({"walk", "--from", std::to_string(First), "--to", std::to_string(Last),
                             "--rate", "0", "--db", db, "--keep-pages"});
  ASSERT_EQ(held.code, 4) << held.errors;
  EXPECT_NE(held.errors.find("kept pages"), std::string::npos) << held.errors;

  if (std::string(GetParam().markers).empty()) {
    changing.Revert();
  } else {
    PutFile(dir.File("markers.ini"), GetParam().markers);
  }
  const Finished reparse = Run({"reparse", "--db", db});
  ASSERT_EQ(reparse.code, 0) << reparse.errors;
  EXPECT_NE(reparse.output.find("rows added"), std::string::npos) << reparse.output;

  // What the kept pages gave: from the change on, every shop listed now was not asked again.
  std::set<std::int32_t> listedByReparse;
  for (const ShopRecord& row : StoredShops(db)) {
    if (row.shopId >= At) listedByReparse.insert(row.shopId);
  }
  if (GetParam().rowsFromPages) {
    EXPECT_FALSE(listedByReparse.empty());
  } else {
    EXPECT_EQ(reparse.output.find("to revisit     0\n"), std::string::npos) << reparse.output;
  }
  // The walk's place moved over the IDs the kept pages answered.
  EXPECT_NE(reparse.output.find("(the next walk goes on after it)"), std::string::npos)
      << reparse.output;

  market.ClearRequests();
  const Finished next =
      Run({"walk", "--to", std::to_string(Last), "--rate", "0", "--db", db, "--keep-pages"});
  ASSERT_EQ(next.code, 0) << next.errors;
  for (const std::int32_t id : RequestedShopIds(market)) {
    EXPECT_FALSE(listedByReparse.contains(id)) << id << " was listed by reparse, asked again";
  }
  EXPECT_EQ(StoredShops(db), ShopsListedBetween(First, Last));
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, KeptPagesCliTest,
    ::testing::Values(
        RepairCase{"RatingLayout",
                   {Kind::Layout, 0, false, true},
                   "Opening_Date_Left=\"data-start=\\\"\"\nOpening_Date_Right=\"\\\"\"\n"
                   "Reputation_Left=\"data-credit=\\\"\"\nReputation_Right=\"\\\"\"\n",
                   true},
        RepairCase{"Verification", {Kind::Verification}, "", false},
        RepairCase{"Utf8", {Kind::Utf8}, "Encoding=UTF-8\n", false},
        RepairCase{
            "RewordedNotice", {Kind::RewordedNotice}, "No_Shop_Notice=不存在或已关闭\n", true}),
    [](const ::testing::TestParamInfo<RepairCase>& info) { return std::string(info.param.name); });

// Keep_Pages=1 in config.ini keeps the pages as --keep-pages does; export --pages writes each
// kept page as the marketplace sent it, named from the shop ID alone.
TEST_F(KeptPagesCliTest, ExportPagesWritesWhatTheMarketplaceSent) {
  ChangingPages served(market);
  PutFile(dir.File("config.ini"), "[Mivu]\r\nKeep_Pages=1\r\nKeep_Pages_MB=2\r\n");
  const Finished walked =
      Run({"walk", "--from", "7000", "--to", "7040", "--rate", "0", "--db", db});
  ASSERT_EQ(walked.code, 0) << walked.errors;
  EXPECT_NE(walked.errors.find(" kept pages ("), std::string::npos) << walked.errors;
  const std::string out = dir.File("pages");
  std::filesystem::create_directory(out);
  const Finished exported = Run({"export", "--db", db, "--pages", out});
  ASSERT_EQ(exported.code, 0) << exported.errors;
  std::size_t files = 0;
  for (std::int32_t id = 7001; id <= 7040; ++id) {
    const auto home = FileContent(out + "/" + std::to_string(id) + "-home.html");
    ASSERT_TRUE(home.has_value()) << id;
    EXPECT_EQ(*home, pages::DemoPage(pages::ShopHost(id), "/").value_or("?")) << id;
    ++files;
    if (const auto shop = pages::DemoShop(id); shop && pages::MakesRow(*shop)) {
      EXPECT_EQ(FileContent(out + "/" + std::to_string(id) + "-rating.html"),
                pages::DemoPage(pages::RatingHost(), pages::RatingPath(*shop)))
          << id;
    }
  }
  EXPECT_GT(files, 0u);
  const Finished missing = Run({"export", "--db", db, "--pages", dir.File("nowhere")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.errors.find("nowhere"), std::string::npos) << missing.errors;
}

}  // namespace
}  // namespace shopwalk::test
