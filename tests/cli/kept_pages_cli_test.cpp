// A walk that keeps its pages across a change of the marketplace's pages, repaired without
// walking the range again: it holds (exit 4), the markers are fixed in markers.ini (or, for a
// verification page, the marketplace stops serving it), `reparse` lists the shops from the kept
// pages, and the next walk asks only the shops still in doubt before walking on; the list then
// holds every shop of the range as the marketplace's truth says. `export --pages` writes the kept
// pages as the marketplace sent them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/cli/cli_fixture.h"
#include "tests/support/changing_pages.h"
#include "tests/support/page_repairs.h"
#include "tests/support/scratch_directory.h"

namespace shopwalk::test {
namespace {

constexpr std::int32_t First = 5'000;
constexpr std::int32_t At = 5'300;
constexpr std::int32_t Last = 6'000;

struct RepairCase {
  PageRepair repair;
  // Whether the walk kept what the rows need (the rating pages too): then reparse lists changed
  // shops itself; otherwise it marks them, and the next walk asks them first.
  bool rowsFromPages = false;
};

// Every repair, and a change of the rating pages alone. Only where the changed home pages still
// gave the rating link (a new rating layout) or the notice (a reworded notice) did the walk fetch,
// and keep, the rating pages of the changed shops.
std::vector<RepairCase> RepairCases() {
  std::vector<RepairCase> cases;
  for (PageRepair& repair : PageRepairs(At)) {
    const bool rowsFromPages = repair.name == "RewordedNotice";
    cases.push_back({std::move(repair), rowsFromPages});
  }
  PageRepair ratingLayout = PageRepairs(At)[1];
  ratingLayout.change.home = false;
  ratingLayout.name = "RatingLayout";
  ratingLayout.markersIni = ratingLayout.markersIni.substr(ratingLayout.markersIni.find("Opening"));
  cases.push_back({ratingLayout, true});
  return cases;
}

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
  const PageRepair& repair = GetParam().repair;
  changing.Change(repair.change);
  const Finished held = Run({"walk", "--from", std::to_string(First), "--to", std::to_string(Last),
                             "--rate", "0", "--db", db, "--keep-pages"});
  ASSERT_EQ(held.code, 4) << held.errors;
  EXPECT_NE(held.errors.find("kept pages"), std::string::npos) << held.errors;

  if (repair.markersIni.empty()) {
    changing.Revert();
  } else {
    // The marketplace changed all its pages at once (the walk was at the change's ID when it
    // did): a shop below it asked again now answers with a changed page too.
    changing.Change(EveryPage(repair.change));
    PutFile(dir.File("markers.ini"), repair.markersIni);
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
  // The walk's place moved over the IDs the kept pages answered, unless the first ID after it was
  // never asked (the walk held before its task began): then the next walk asks from there.
  const std::size_t moved = reparse.output.find("place          ");
  const std::int32_t newPlace =
      moved == std::string::npos ? First - 1 : std::stoi(reparse.output.substr(moved + 15));

  market.ClearRequests();
  const Finished next =
      Run({"walk", "--to", std::to_string(Last), "--rate", "0", "--db", db, "--keep-pages"});
  ASSERT_EQ(next.code, 0) << next.errors;
  for (const std::int32_t id : RequestedShopIds(market)) {
    EXPECT_FALSE(id <= newPlace && listedByReparse.contains(id))
        << id << " was listed by reparse, asked again";
  }
  const std::vector<ShopRecord> stored = StoredShops(db);
  const std::vector<ShopRecord> truth = ShopsListedBetween(First, Last);
  for (const ShopRecord& row : stored) {
    if (std::find(truth.begin(), truth.end(), row) == truth.end()) {
      ADD_FAILURE() << "stored but not true: " << row.shopId << " " << row.reputation << " "
                    << row.openingDate;
    }
  }
  for (const ShopRecord& row : truth) {
    if (std::find(stored.begin(), stored.end(), row) == stored.end()) {
      ADD_FAILURE() << "true but not stored: " << row.shopId << " " << row.reputation << " "
                    << row.openingDate;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, KeptPagesCliTest, ::testing::ValuesIn(RepairCases()),
                         [](const ::testing::TestParamInfo<RepairCase>& info) {
                           return info.param.repair.name;
                         });

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
