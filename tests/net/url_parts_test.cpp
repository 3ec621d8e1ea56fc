// Splitting URLs within the size limits, and the request path rule.
#include "net/url_parts.h"

#include <gtest/gtest.h>

namespace shopwalk::net {
namespace {

TEST(SplitUrlTest, SplitsSchemeHostPathAndPort) {
  auto parts = SplitUrl("http://rate.shopwalk.test/user-rate-abc.htm?a=1#top");
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->scheme, "http");
  EXPECT_EQ(parts->host, "rate.shopwalk.test");
  EXPECT_EQ(parts->path, "/user-rate-abc.htm?a=1#top");
  EXPECT_EQ(parts->port, 80);

  parts = SplitUrl("https://a.test:8443");
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->port, 8443);
  EXPECT_EQ(parts->path, "/");
  // A scheme the client cannot speak still splits; sending it fails later.
  parts = SplitUrl("ftp://a.test/file");
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->port, 21);
}

TEST(SplitUrlTest, PartsMustFitTheirLimits) {
  const std::string host255 = std::string(250, 'h') + ".test";
  EXPECT_TRUE(SplitUrl("http://" + host255 + "/"));
  EXPECT_FALSE(SplitUrl("http://h" + host255 + "/"));

  const std::string scheme31(31, 's');
  EXPECT_TRUE(SplitUrl(scheme31 + "://a.test/"));
  EXPECT_FALSE(SplitUrl("s" + scheme31 + "://a.test/"));

  const std::string path2047 = "/" + std::string(2039, 'p') + "?q=1234";
  ASSERT_EQ(path2047.size(), 2047u);
  EXPECT_TRUE(SplitUrl("http://a.test" + path2047));
  EXPECT_FALSE(SplitUrl("http://a.test" + path2047 + "5"));
}

TEST(SplitUrlTest, MalformedUrlsDoNotSplit) {
  for (const std::string& url :
       {std::string(), std::string("a.test/path"), std::string("http://"),
        std::string("http://a.test:70000/"), std::string("http://a b.test/"),
        std::string("http://a.test/\0x", 16)}) {
    EXPECT_FALSE(SplitUrl(url)) << url;
  }
}

TEST(RequestPathTest, StartsAtTheSlashAfterTheHost) {
  EXPECT_EQ(RequestPathOf("http://shop1.shopwalk.test"), "/");
  EXPECT_EQ(RequestPathOf("http://shop1.shopwalk.test/"), "/");
  EXPECT_EQ(RequestPathOf("http://rate.shopwalk.test/user-rate-x.htm?a=/b#f"),
            "/user-rate-x.htm?a=/b#f");
  EXPECT_EQ(RequestPathOf("http:"), "/");
  EXPECT_EQ(RequestPathOf("http:/"), "/");
  EXPECT_EQ(RequestPathOf(""), "/");
}

}  // namespace
}  // namespace shopwalk::net
