// One collection task against the local marketplace: what it fetches, cuts and writes.
#include <array>

#include "collect/markers.h"
#include "tests/collect/engine_fixture.h"

namespace shopwalk::test {
namespace {

const std::string Home =
    "<html><head><title>首页-Demo Shop-Velmo网</title></head><body>"
    "<a href=\"http://im.velmo.com/u\">掌柜：alice</a>"
    "<a href=\"http://rate.velmo.com/user-rate-abc.htm\">信用</a></body></html>";
const std::string Rating =
    "<input type=\"hidden\" id=\"J_showShopStartDate\" value=\"2014-05-01\" />\r\n"
    "<div>卖家信用：12\r\n</div>\r\n";

using Row = ResultRow;

// One task's fetches, cuts and row are the same under every engine policy.
class ShopTest : public EngineTest, public ::testing::WithParamInterface<NamedPolicy> {
 protected:
  ShopTest() { collector.SetEnginePolicy(GetParam().policy); }
};

INSTANTIATE_TEST_SUITE_P(Policies, ShopTest, ::testing::ValuesIn(EveryPolicy()), PolicyName);

TEST_P(ShopTest, ShopWithEveryFieldGivesItsRowAndStatusTexts) {
  ServeShop(42, Home, "/user-rate-abc.htm", Rating);
  collector.CollectShop(42);

  // The cells the engine gives (the number is the list's own).
  ASSERT_EQ(ui.Rows().size(), 1u);
  Row row = ui.Rows()[0];
  row[IndexColumn].clear();
  EXPECT_EQ(row, (Row{"", "Demo Shop", "12", "alice", "2014-05-01", "http://shop42.velmo.com"}));
  const auto requests = market.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].host, "shop42.velmo.com");
  EXPECT_EQ(requests[0].path, "/");
  EXPECT_EQ(requests[1].host, "rate.velmo.com");
  EXPECT_EQ(requests[1].path, "/user-rate-abc.htm");
  EXPECT_EQ(ui.CollectingHistory(), std::vector<std::string>{"http://shop42.velmo.com"});
}

TEST_P(ShopTest, MissingReputationOrRatingPageStillGivesARow) {
  ServeShop(1, Home, "/user-rate-abc.htm",
            "<html>J_showShopStartDate\" value=\"2001-02-03\"</html>");
  collector.CollectShop(1);
  ASSERT_EQ(ui.Rows().size(), 1u);
  EXPECT_EQ(ui.Rows()[0][2], "0");
  EXPECT_EQ(ui.Rows()[0][4], "2001-02-03");

  // The rating page is an error page: empty date, reputation "0".
  market.RemovePage(pages::RatingHost(), "/user-rate-abc.htm");
  ServeShop(2, Home);
  collector.CollectShop(2);
  ASSERT_EQ(ui.Rows().size(), 2u);
  EXPECT_EQ(ui.Rows()[1], (Row{"2", "Demo Shop", "0", "alice", "", "http://shop2.velmo.com"}));
}

TEST_P(ShopTest, NoShopNoticeAnywhereEndsTheTaskAfterOneFetch) {
  ServeShop(7, Home + "<p>提示：没有找到相应的店铺信息</p>", "/user-rate-abc.htm", Rating);
  collector.CollectShop(7);
  EXPECT_TRUE(ui.Rows().empty());
  EXPECT_EQ(market.RequestCount(), 1u);
  EXPECT_EQ(ui.Collecting(), "http://shop7.velmo.com");
}

TEST_P(ShopTest, MissingMessengerOrRatingLinkSkipsTheShopWithoutSecondFetch) {
  // "</a>" only before "掌柜：".
  ServeShop(8,
            "<title>首页-A-Velmo网</title><a>x</a>掌柜：bob"
            "<a href=\"http://rate.velmo.com/user-rate-abc.htm\">",
            "/user-rate-abc.htm", Rating);
  collector.CollectShop(8);
  // No rating link.
  ServeShop(9, "<title>首页-A-Velmo网</title><a>掌柜：bob</a>");
  collector.CollectShop(9);
  EXPECT_TRUE(ui.Rows().empty());
  EXPECT_EQ(market.RequestCount(), 2u);
}

TEST_P(ShopTest, EmptyShopNameSkipsTheShopAfterBothFetches) {
  ServeShop(10,
            "<title>首页--Velmo网</title><a>掌柜：bob</a>"
            "<a href=\"http://rate.velmo.com/user-rate-abc.htm\">",
            "/user-rate-abc.htm", Rating);
  collector.CollectShop(10);
  EXPECT_TRUE(ui.Rows().empty());
  EXPECT_EQ(market.RequestCount(), 2u);
}

TEST_P(ShopTest, FirstMarkerWinsAndRatingLinkKeepsItsQuery) {
  ServeShop(11,
            "</a>掌柜：<title>首页-First-Velmo网</title><title>首页-Second-Velmo网</title>"
            "<a>掌柜：carol</a><a>掌柜：dave</a>"
            "<a href=\"http://rate.velmo.com/user-rate-x1.htm?spm=3&a=b\">"
            "<a href=\"http://rate.velmo.com/user-rate-x2.htm\">",
            "/user-rate-x1.htm?spm=3&a=b", Rating);
  collector.CollectShop(11);
  ASSERT_EQ(ui.Rows().size(), 1u);
  EXPECT_EQ(ui.Rows()[0][1], "First");
  // The messenger is cut from the first "掌柜：", up to the next "</a>".
  EXPECT_EQ(ui.Rows()[0][3], Gbk("<title>首页-First-Velmo网</title><title>首页-Second-Velmo网"
                                 "</title><a>掌柜：carol"));
  const auto requests = market.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].path, "/user-rate-x1.htm?spm=3&a=b");
}

TEST_P(ShopTest, HomePageGoesWithCookiesAndRatingPageWithout) {
  Page home;
  home.body = Utf8ToGbk(Home);
  home.headers = {{"Set-Cookie", "walk=1; Domain=velmo.com; Path=/"}};
  market.SetPage(pages::ShopHost(20), "/", home);
  ServeShop(21, Home, "/user-rate-abc.htm", Rating);

  collector.CollectShop(20);
  collector.CollectShop(21);
  const auto requests = market.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[1].cookie, "");                                // rating page of shop 20
  EXPECT_NE(requests[2].cookie.find("walk=1"), std::string::npos);  // home page of shop 21
  EXPECT_EQ(requests[3].cookie, "");                                // rating page of shop 21
}

TEST_P(ShopTest, UnreachableMarketplaceGivesNoRow) {
  SetConnectTo("127.0.0.1:1");
  collector.CollectShop(30);
  EXPECT_TRUE(ui.Rows().empty());
  EXPECT_EQ(ui.Collecting(), "http://shop30.velmo.com");
}

TEST_P(ShopTest, TaskAfterStopRunsTheStopSequenceInstead) {
  ServeShop(40, Home, "/user-rate-abc.htm", Rating);
  collector.OnStopClicked();
  collector.CollectShop(40);
  EXPECT_TRUE(ui.Rows().empty());
  EXPECT_EQ(market.RequestCount(), 0u);
  EXPECT_TRUE(ui.CollectingHistory().empty());
  EXPECT_TRUE(ui.Frozen());
  // That shop was never collected: the walk's place stays before it.
  EXPECT_EQ(collector.Progress().LowestUnfinished(), 40);
}

// Every owner writes their own page: a field longer than a row keeps is cut to its leading whole
// characters, and the row is counted.
TEST_P(ShopTest, FieldsLongerThanARowKeepsAreCutOnACharacterBoundaryAndCounted) {
  const auto homeNamed = [](const std::string& nameUtf8) {
    return "<title>首页-" + nameUtf8 +
           "-Velmo网</title><a>掌柜：alice</a>"
           "<a href=\"http://rate.velmo.com/user-rate-abc.htm\">";
  };
  // A name of 1 MiB, and a reputation of 100 KiB on the rating page.
  const std::string longName(1 << 20, 'n');
  ServeShop(50, homeNamed(longName), "/user-rate-abc.htm",
            "卖家信用：" + std::string(100 << 10, '7') + "\r\n");
  collector.CollectShop(50);
  ASSERT_EQ(ui.Rows().size(), 1u);
  // (Compared as booleans: a failure need not print a megabyte.)
  EXPECT_TRUE(ui.Rows()[0][1] == longName.substr(0, MaxFieldBytes)) << ui.Rows()[0][1].size();
  EXPECT_TRUE(ui.Rows()[0][2] == std::string(MaxFieldBytes, '7')) << ui.Rows()[0][2].size();
  EXPECT_EQ(ui.Rows()[0][3], "alice");
  EXPECT_EQ(collector.RowsWithCutFields(), 1u);

  // "a" and 3000 two-byte characters: byte 4096 is the first half of a character, which goes
  // with the rest.
  std::string wide;
  for (int i = 0; i < 3000; ++i) wide += "中";
  ServeShop(51, homeNamed("a" + wide), "/user-rate-abc.htm", Rating);
  collector.CollectShop(51);
  ASSERT_EQ(ui.Rows().size(), 2u);
  const std::string cut = ui.Rows()[1][1];
  EXPECT_EQ(cut.size(), static_cast<std::size_t>(MaxFieldBytes) - 1);
  EXPECT_EQ(GbkToUtf8(cut), "a" + wide.substr(0, 2047 * std::string("中").size()));
  EXPECT_EQ(collector.RowsWithCutFields(), 2u);

  // Exactly as long as a row keeps: kept whole, not counted.
  ServeShop(52, homeNamed(wide.substr(0, 2048 * std::string("中").size())), "/user-rate-abc.htm",
            Rating);
  collector.CollectShop(52);
  ASSERT_EQ(ui.Rows().size(), 3u);
  EXPECT_EQ(ui.Rows()[2][1].size(), static_cast<std::size_t>(MaxFieldBytes));
  EXPECT_EQ(collector.RowsWithCutFields(), 2u);
}

TEST_P(ShopTest, ARatingLinkNoRequestCanBeMadeOfReadsAsAnEmptyRatingPage) {
  // A token too long for a request line: nothing is sent for it, and the shop is not tried again
  // for what its own page says.
  std::string home = Home;
  home.replace(home.find("abc.htm"), 3, std::string(3000, 'x'));
  ServeShop(60, home);
  collector.CollectShop(60);
  ASSERT_EQ(ui.Rows().size(), 1u);
  EXPECT_EQ(ui.Rows()[0], (Row{"1", "Demo Shop", "0", "alice", "", "http://shop60.velmo.com"}));
  EXPECT_EQ(market.RequestCount(), 1u);
  EXPECT_EQ(collector.Waiting().WaitingCount(), 0u);
}

TEST_P(ShopTest, MarkersOfTheFileCutPagesInTheirEncoding) {
  // The marketplace moved to UTF-8 and a new layout; markers.ini says so. The rows stay GBK.
  const auto inForce = ParseMarkersIni(
      "Encoding=UTF-8\n"
      "Shop_Name_Left=<h1 class=\"shop\">\n"
      "Shop_Name_Right=</h1>\n"
      "Messenger_Left=店主：\n"
      "Reputation_Left=信用值:\n"
      "Reputation_Right=<\n");
  ASSERT_TRUE(inForce.has_value()) << inForce.error().reason;
  collector.SetMarkers(inForce->markers);
  Page home;
  home.body =
      "<html><h1 class=\"shop\">新小店</h1>店主：bob</a>"
      "<a href=\"http://rate.velmo.com/user-rate-q7.htm\">信用</a></html>";
  market.SetPage(pages::ShopHost(7), "/", home);
  Page rating;
  rating.body = "J_showShopStartDate\" value=\"2020-01-02\" 信用值:345<br>";
  market.SetPage(pages::RatingHost(), "/user-rate-q7.htm", rating);
  collector.CollectShop(7);

  ASSERT_EQ(ui.Rows().size(), 1u);
  EXPECT_EQ(ui.Rows()[0],
            (Row{"1", Gbk("新小店"), "345", "bob", "2020-01-02", "http://shop7.velmo.com"}));

  // The old pages no longer match: no fields, not a row of wrong cells.
  ServeShop(8, Home, "/user-rate-abc.htm", Rating);
  collector.CollectShop(8);
  EXPECT_EQ(ui.Rows().size(), 1u);
}

TEST(MarkersTest, MarkersAreTheirGbkBytes) {
  const Markers& m = GetMarkers();
  EXPECT_EQ(m.noShopNotice,
            "\xC3\xBB\xD3\xD0\xD5\xD2\xB5\xBD\xCF\xE0\xD3\xA6\xB5\xC4\xB5\xEA\xC6\xCC\xD0\xC5"
            "\xCF\xA2");
  EXPECT_EQ(m.shopNameLeft, "<title>\xCA\xD7\xD2\xB3-");
  EXPECT_EQ(m.shopNameRight, "-Velmo\xCD\xF8");
  EXPECT_EQ(m.messengerLeft, "\xD5\xC6\xB9\xF1\xA3\xBA");
  EXPECT_EQ(m.ratingLinkPrefix, "http://rate.velmo.com/user-rate-");
  EXPECT_EQ(m.openingDateLeft.size(), 28u);
  EXPECT_EQ(m.reputationLeft, "\xC2\xF4\xBC\xD2\xD0\xC5\xD3\xC3\xA3\xBA");
  EXPECT_EQ(m.reputationRight, "\r\n");
}

}  // namespace
}  // namespace shopwalk::test
