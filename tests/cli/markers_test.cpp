// markers.ini as shopwalk-cli reads it from its settings folder: `markers show` and `markers try`
// print what is in force and what it cuts (safe for the terminal, whatever the file or the page
// holds), and a walk cuts with the file's markers, or with the built-in ones when the file is bad.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "collect/gbk.h"
#include "tests/cli/cli_fixture.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/shop_pages.h"

namespace shopwalk::test {
namespace {

// shopwalk-cli copied into the scratch folder, so that its settings folder (beside it) is the
// test's own.
class MarkersCliTest : public CliTest {
 protected:
  MarkersCliTest() {
    std::filesystem::copy_file(SHOPWALK_CLI_PATH, program);
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  }
  Finished Run(const std::vector<std::string>& arguments) const {
    return RunToEnd(program, arguments, Environment(), Patience);
  }
  void PutMarkers(std::string_view text) const { PutFile(dir.File("markers.ini"), text); }

  const std::string program = dir.File("shopwalk-cli");
};

bool HasControlBytes(std::string_view text) {
  for (const char c : text) {
    if (c != '\n' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)) return true;
  }
  return false;
}

TEST_F(MarkersCliTest, ShowSaysWhereEachMarkerCameFromAndNeverPrintsControlBytes) {
  const Finished builtIn = Run({"markers", "show"});
  ASSERT_EQ(builtIn.code, 0) << builtIn.errors;
  EXPECT_NE(builtIn.output.find("(not found)"), std::string::npos) << builtIn.output;
  EXPECT_NE(builtIn.output.find("built in     \"掌柜：\""), std::string::npos) << builtIn.output;
  EXPECT_NE(builtIn.output.find("\"\\x0D\\x0A\""), std::string::npos) << builtIn.output;

  PutMarkers("Encoding=UTF-8\nMessenger_Left=\"\\x1B]0;owned\\x07店主\"\n");
  const Finished fromFile = Run({"markers", "show"});
  ASSERT_EQ(fromFile.code, 0) << fromFile.errors;
  EXPECT_NE(fromFile.output.find("Encoding             markers.ini  UTF-8"), std::string::npos)
      << fromFile.output;
  EXPECT_NE(fromFile.output.find("markers.ini  \"\\x1B]0;owned\\x07店主\""), std::string::npos)
      << fromFile.output;
  EXPECT_FALSE(HasControlBytes(fromFile.output));

  // A bad file: its line and why, and the built-in markers shown as the ones in force.
  PutMarkers("Messenger_Left=a\n\x1B[2JShop_Name=b\n");
  const Finished bad = Run({"markers", "show"});
  EXPECT_EQ(bad.code, 1);
  EXPECT_NE(bad.errors.find("markers.ini line 2: unknown marker \\x1B[2JShop_Name"),
            std::string::npos)
      << bad.errors;
  EXPECT_NE(bad.errors.find("the built-in markers stay in force"), std::string::npos);
  EXPECT_FALSE(HasControlBytes(bad.errors));
  EXPECT_NE(bad.output.find("built in     \"掌柜：\""), std::string::npos) << bad.output;
}

TEST_F(MarkersCliTest, TryCutsSavedPagesAsAWalkWould) {
  pages::Shop shop;
  shop.id = 5;
  shop.name = "Tea\x1B[31m House";
  shop.messenger = "wu";
  shop.ratingToken = "t5";
  shop.openingDate = "2011-02-03";
  shop.reputation = "88";
  PutFile(dir.File("home.html"), pages::HomePage(shop));
  PutFile(dir.File("rating.html"), pages::RatingPage(shop));
  PutFile(dir.File("gone.html"), pages::NoShopPage(6));

  const Finished row = Run({"markers", "try", dir.File("home.html"), dir.File("rating.html")});
  ASSERT_EQ(row.code, 0) << row.errors;
  EXPECT_NE(row.output.find("shop name            \"Tea\\x1B[31m House\""), std::string::npos)
      << row.output;
  EXPECT_NE(row.output.find("messenger            \"wu\""), std::string::npos) << row.output;
  EXPECT_NE(row.output.find("opening date         \"2011-02-03\""), std::string::npos);
  EXPECT_NE(row.output.find("reputation           \"88\""), std::string::npos);
  EXPECT_NE(row.output.find("outcome: a row\n"), std::string::npos) << row.output;
  EXPECT_FALSE(HasControlBytes(row.output));

  const Finished gone = Run({"markers", "try", dir.File("gone.html")});
  EXPECT_NE(gone.output.find("outcome: no shop"), std::string::npos) << gone.output;

  // The marker a user got wrong shows as what it fails to cut.
  PutMarkers("Messenger_Left=卖家：\n");
  const Finished wrong = Run({"markers", "try", dir.File("home.html")});
  EXPECT_NE(wrong.output.find("messenger            (nothing)"), std::string::npos) << wrong.output;
  EXPECT_NE(wrong.output.find("outcome: no fields"), std::string::npos) << wrong.output;

  const Finished missing = Run({"markers", "try", dir.File("nothing.html")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.errors.find("cannot read"), std::string::npos);
}

TEST_F(MarkersCliTest, AWalkCutsWithTheFileOrWithTheBuiltInMarkersWhenItIsBad) {
  // The shop names now end before "Velmo网", so each keeps its "-".
  PutMarkers("Shop_Name_Right=Velmo网\n");
  const Finished walk = Run({"walk", "--db", db, "--from", "1", "--to", "40", "--rate", "0"});
  ASSERT_EQ(walk.code, 0) << walk.errors;
  std::vector<ShopRecord> expected = ShopsListedBetween(1, 40);
  ASSERT_FALSE(expected.empty());
  for (ShopRecord& record : expected) record.name += "-";
  EXPECT_EQ(StoredShops(db), expected);

  PutMarkers("Shop_Name_Right=\"Velmo网\n");
  const std::string other = dir.File("t.db");
  const Finished bad = Run({"walk", "--db", other, "--from", "1", "--to", "40", "--rate", "0"});
  ASSERT_EQ(bad.code, 0) << bad.errors;
  EXPECT_NE(bad.errors.find("markers.ini line 1: a quoted value has no closing quote; the "
                            "built-in markers stay in force"),
            std::string::npos)
      << bad.errors;
  EXPECT_EQ(StoredShops(other), ShopsListedBetween(1, 40));
}

}  // namespace
}  // namespace shopwalk::test
