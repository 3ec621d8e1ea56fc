// markers.ini read into the markers in force, and pages cut with them in either encoding.
#include <gtest/gtest.h>

#include <string>

#include "collect/gbk.h"
#include "collect/markers.h"
#include "collect/page_cut.h"
#include "collect/shop_record.h"

namespace shopwalk {
namespace {

// The problem of a file that must not be taken.
MarkersProblem ProblemOf(std::string_view text) {
  const auto parsed = ParseMarkersIni(text);
  EXPECT_FALSE(parsed.has_value()) << text;
  return parsed ? MarkersProblem{-1, "taken"} : parsed.error();
}

TEST(MarkersFileTest, AFileWithoutMarkersLeavesTheBuiltInOnes) {
  for (const std::string_view text : {"", "\xEF\xBB\xBF", "; nothing yet\r\n\r\n[Markers]\n"}) {
    const auto parsed = ParseMarkersIni(text);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().reason;
    EXPECT_TRUE(parsed->fromFile.empty());
    for (const MarkerField& field : MarkerFields()) {
      EXPECT_EQ(parsed->markers.*field.member, GetMarkers().*field.member) << field.key;
    }
    EXPECT_EQ(parsed->markers.encoding, "GBK");
  }
}

TEST(MarkersFileTest, ValuesOverrideTheirMarkersOnlyAndComeInThePagesEncoding) {
  const auto parsed = ParseMarkersIni(
      "\xEF\xBB\xBF# the new layout\r\n"
      "[markers]\r\n"
      "  messenger_left =  卖家：  \r\n"
      "Reputation_Right=\"\\r\\n\\t<\\\\ \\\"\\x41\"\n"
      "Shop_Name_Right=\"  -店 \"");
  ASSERT_TRUE(parsed.has_value()) << parsed.error().reason;
  const Markers& m = parsed->markers;
  EXPECT_EQ(m.messengerLeft, Utf8ToGbk("卖家："));
  EXPECT_EQ(m.reputationRight, "\r\n\t<\\ \"A");
  EXPECT_EQ(m.shopNameRight, Utf8ToGbk("  -店 "));
  EXPECT_EQ(m.shopNameLeft, GetMarkers().shopNameLeft);
  EXPECT_EQ(parsed->fromFile, (std::set<std::string, std::less<>>{
                                  "Messenger_Left", "Reputation_Right", "Shop_Name_Right"}));

  // With another encoding every marker, the built-in ones too, is written in it.
  const auto utf8 = ParseMarkersIni("Encoding=utf8\nMessenger_Left=卖家：\n");
  ASSERT_TRUE(utf8.has_value()) << utf8.error().reason;
  EXPECT_EQ(utf8->markers.encoding, "UTF-8");
  EXPECT_EQ(utf8->markers.messengerLeft, "卖家：");
  EXPECT_EQ(utf8->markers.noShopNotice, "没有找到相应的店铺信息");
  EXPECT_EQ(ParseMarkersIni("Encoding=GB18030\n")->markers.reputationLeft,
            GetMarkers().reputationLeft);
}

TEST(MarkersFileTest, ABadFileNamesTheLineAndIsNotTakenAtAll) {
  const struct {
    std::string text;
    int line;
    std::string says;
  } cases[] = {
      {"Messenger_Left=a\nMesenger_Right=b\n", 2, "unknown marker"},
      {"\n\nMessenger_Left=a\r\nmessenger_left=b\n", 4, "twice"},
      {"Encoding=GBK\nEncoding=UTF-8\n", 2, "twice"},
      {"Messenger_Left\n", 1, "Key=Value"},
      {"Messenger_Left=   \n", 1, "empty"},
      {"Messenger_Left=\"\"\n", 1, "empty"},
      {"Messenger_Left=\"a\n", 1, "closing quote"},
      {"Messenger_Left=\"a\"b\"\n", 1, "quote inside"},
      {"Messenger_Left=\"a\\q\"\n", 1, "unknown escape"},
      {"Messenger_Left=\"a\\x4\"\n", 1, "two hex digits"},
      {"Messenger_Left=\"a\\\"\n", 1, "lone backslash"},
      {"Messenger_Left=\"a\\x00b\"\n", 1, "NUL"},
      {"Messenger_Left=\xC3\x28\n", 1, "not UTF-8"},
      {"Messenger_Left=" + std::string(MaxMarkerBytes + 1, 'a') + "\n", 1, "longer than"},
      {"[Settings]\nMessenger_Left=a\n", 1, "unknown section"},
      {"Encoding=EBCDIC\n", 1, "unknown encoding"},
      // A character GBK cannot hold, on the line that set it, also when the encoding comes later.
      {"Shop_Name_Left=\xF0\x9F\x98\x80\nEncoding=GBK\n", 1, "cannot be written in GBK"},
      {std::string(MaxMarkersFileBytes + 1, ';'), 0, "longer than"},
  };
  for (const auto& c : cases) {
    const MarkersProblem problem = ProblemOf(c.text);
    EXPECT_EQ(problem.line, c.line) << c.text.substr(0, 80);
    EXPECT_NE(problem.reason.find(c.says), std::string::npos)
        << c.text.substr(0, 80) << ": " << problem.reason;
  }
  // The emoji is fine in UTF-8 pages.
  EXPECT_TRUE(ParseMarkersIni("Shop_Name_Left=\xF0\x9F\x98\x80\nEncoding=UTF-8\n").has_value());
  // A reason shows what it quotes bounded and without control bytes.
  const MarkersProblem problem = ProblemOf("\x1B]0;x\x07" + std::string(500, 'k') + "=v\n");
  EXPECT_EQ(problem.reason.find('\x1B'), std::string::npos);
  EXPECT_LT(problem.reason.size(), 120u);
  const MarkersProblem escape = ProblemOf("Reputation_Right=\"\\\x1B\"\n");
  EXPECT_NE(escape.reason.find("unknown escape \\\\x1B"), std::string::npos) << escape.reason;
  EXPECT_EQ(escape.reason.find('\x1B'), std::string::npos);
}

TEST(PageCutTest, Utf8PagesAreCutAtWholeCharacters) {
  const Markers m =
      ParseMarkersIni("Encoding=UTF-8\nShop_Name_Left=<b>\nShop_Name_Right=</b>\n")->markers;
  // An odd run of high bytes before "</b>": read as GBK, "<" would be a character's second byte.
  const std::string page =
      "<b>新小店</b>掌柜：东</a>"
      "<a href=\"http://rate.velmo.com/user-rate-x1\">";
  const HomeCut home = CutHomePage(m, page);
  EXPECT_FALSE(home.noShop);
  EXPECT_EQ(home.shopName, Utf8ToGbk("新小店"));
  EXPECT_EQ(home.messenger, Utf8ToGbk("东"));
  EXPECT_EQ(home.RatingAddress(m), "http://rate.velmo.com/user-rate-x1");
  EXPECT_TRUE(home.HasFields());
  EXPECT_TRUE(CutHomePage(m, "<p>没有找到相应的店铺信息</p>").noShop);
  // The page ends at its first NUL, as a GBK one does.
  EXPECT_TRUE(CutHomePage(m, std::string("<b>a\0</b>", 9)).shopName.empty());
  // A character GBK cannot hold becomes '?' in the row.
  EXPECT_EQ(CutHomePage(m, "<b>\xF0\x9F\x98\x80x</b>").shopName, "?x");
}

TEST(PageCutTest, LongFieldsAreCutAndSaidSo) {
  const Markers& m = GetMarkers();
  const std::string longName(MaxFieldBytes + 10, 'n');
  const HomeCut home =
      CutHomePage(m, Utf8ToGbk("<title>首页-" + longName + "-Velmo网</title>掌柜：a</a>"));
  EXPECT_TRUE(home.cut);
  EXPECT_EQ(home.shopName.size(), static_cast<std::size_t>(MaxFieldBytes));
  EXPECT_FALSE(home.HasFields());  // no rating link
  const RatingCut rating = CutRatingPage(m, Utf8ToGbk("卖家信用：77\r\n"));
  EXPECT_FALSE(rating.cut);
  EXPECT_EQ(rating.reputation, "77");
  EXPECT_TRUE(rating.openingDate.empty());
}

}  // namespace
}  // namespace shopwalk
