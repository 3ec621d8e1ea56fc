// Splitting URLs within the size limits, the request path rule, and the addresses connections may
// be sent to instead.
#include "net/url_parts.h"

#include <gtest/gtest.h>

#include "net/web_access.h"

#include <cstdio>

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

TEST(SplitUrlTest, SpacesAndControlBytesOnlyBreakTheHost) {
  auto parts = SplitUrl("http://rate.shopwalk.test/user rate\t\x7F.htm?q=a b#f g");
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->host, "rate.shopwalk.test");
  EXPECT_EQ(parts->path, "/user%20rate%09%7F.htm?q=a%20b#f%20g");
  for (const char* url : {"http://rate\t.test/", "http://a.test:8 0/", "ht tp://a.test/"}) {
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

TEST(RequestTargetTest, EncodesOnlyWhatCannotStandOnARequestLine) {
  for (int byte = 0; byte < 256; ++byte) {
    const char c = static_cast<char>(byte);
    const std::string target = RequestTargetOf(std::string("/a") + c + "b");
    if (byte <= 0x20 || byte == 0x7F) {
      char encoded[8];
      std::snprintf(encoded, sizeof encoded, "/a%%%02Xb", static_cast<unsigned>(byte));
      EXPECT_EQ(target, encoded) << byte;
    } else if (c == '#') {
      EXPECT_EQ(target, "/a") << "the fragment is dropped";
    } else {
      EXPECT_EQ(target, std::string("/a") + c + "b") << byte;
    }
  }
  EXPECT_EQ(RequestTargetOf("/x/../%41?q=/./%zz#f#g"), "/x/../%41?q=/./%zz");
}

TEST(RequestTargetTest, UrlAndRedirectsAroundTheTarget) {
  EXPECT_EQ(UrlWithTarget("http://u@a.test:81/p?q#f", "/n/../\xD5?y=1"),
            "http://u@a.test:81/n/../\xD5?y=1");
  EXPECT_EQ(UrlWithTarget("http://a.test?q", "/"), "http://a.test/");
  EXPECT_FALSE(UrlWithTarget("not a url", "/"));

  // Relative to the path as written, dot segments then removed as any redirect has them.
  const std::string base = "http://a.test/shop/user%20rate/../b.htm?t=1";
  EXPECT_EQ(ResolveLocation(base, "next b.htm"), "http://a.test/shop/next%20b.htm");
  EXPECT_EQ(ResolveLocation(base, "/x/../y"), "http://a.test/y");
  EXPECT_EQ(ResolveLocation(base, "//b.test/z"), "http://b.test/z");
  EXPECT_FALSE(ResolveLocation(base, ""));
  EXPECT_FALSE(ResolveLocation(base, "/bad\tpath"));
}

TEST(ConnectToAddressTest, OnlyHostAndPortAreTaken) {
  for (const char* good : {"127.0.0.1:8080", "localhost:1", "db-1.internal.test:65535", "[::1]:80",
                           "[2001:db8::7]:443", "[::ffff:127.0.0.1]:8080", "my_host:80"}) {
    EXPECT_TRUE(IsConnectToAddress(good)) << good;
  }
  for (const char* bad : {"",
                          "localhost",
                          "127.0.0.1",
                          "127.0.0.1:",
                          ":8080",
                          "127.0.0.1:0",
                          "127.0.0.1:65536",
                          "127.0.0.1:99999999999",
                          "127.0.0.1:80x",
                          "127.0.0.1:+80",
                          "127.0.0.1: 80",
                          "host name:80",
                          "::1:80",
                          "[::1:80",
                          "[zz]:80",
                          "[]:80",
                          "http://127.0.0.1:80",
                          "999.1.1.1:80",
                          "1.2.3:80",
                          "a..b:80",
                          ".a:80",
                          "-a:80",
                          "a.:80",
                          "127.0.0.1:80\x1b[2J",
                          "h\tost:80"}) {
    EXPECT_FALSE(IsConnectToAddress(bad)) << bad;
  }
}

}  // namespace
}  // namespace shopwalk::net
