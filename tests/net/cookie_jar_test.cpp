// The shared cookie store on its own: which cookies apply to a host, and merging what requests
// changed.
#include "net/cookie_jar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace shopwalk::net {
namespace {

// A cookie line as the HTTP library reports it.
std::string Line(const std::string& domain, bool subdomains, const std::string& name,
                 const std::string& value, long long expires = 0) {
  return domain + "\t" + (subdomains ? "TRUE" : "FALSE") + "\t/\tFALSE\t" +
         std::to_string(expires) + "\t" + name + "\t" + value;
}

TEST(CookieJarTest, CookiesApplyToTheirHostAndFlaggedParentDomains) {
  CookieJar jar;
  jar.Merge({}, {Line("a.shop.test", false, "host", "1"), Line(".shop.test", true, "site", "2"),
                 Line("shop.test", false, "parentOnly", "3"),
                 Line("#HttpOnly_A.Shop.Test", false, "secret", "4")});
  EXPECT_EQ(jar.Size(), 4u);

  const auto forA = jar.CookiesFor("A.shop.test");
  EXPECT_EQ(forA.size(), 3u);  // host, site, secret
  const auto forB = jar.CookiesFor("b.shop.test");
  ASSERT_EQ(forB.size(), 1u);
  EXPECT_EQ(forB[0], Line(".shop.test", true, "site", "2"));
  EXPECT_EQ(jar.CookiesFor("shop.test").size(), 2u);  // site, parentOnly
  EXPECT_TRUE(jar.CookiesFor("othershop.test").empty());
  EXPECT_TRUE(jar.CookiesFor("test").empty());
}

TEST(CookieJarTest, MergeStoresChangesAndDropsWhatTheRequestDropped) {
  CookieJar jar;
  jar.Merge({}, {Line("a.test", false, "keep", "1"), Line("a.test", false, "drop", "1")});
  const auto loaded = jar.CookiesFor("a.test");
  ASSERT_EQ(loaded.size(), 2u);
  // The request changed "keep", dropped "drop" and added "new".
  jar.Merge(loaded, {Line("a.test", false, "keep", "2"), Line("a.test", false, "new", "1")});
  const auto now = jar.CookiesFor("a.test");
  EXPECT_EQ(now, (std::vector<std::string>{Line("a.test", false, "keep", "2"),
                                           Line("a.test", false, "new", "1")}));
}

TEST(CookieJarTest, UnchangedCookiesDoNotUndoAnotherRequestsChange) {
  CookieJar jar;
  jar.Merge({}, {Line("a.test", false, "sid", "old")});
  const auto loadedBySlow = jar.CookiesFor("a.test");
  // A second request stores a new value while the first is still running.
  jar.Merge(jar.CookiesFor("a.test"), {Line("a.test", false, "sid", "new")});
  // The first ends holding the value it was given.
  jar.Merge(loadedBySlow, loadedBySlow);
  EXPECT_EQ(jar.CookiesFor("a.test"),
            (std::vector<std::string>{Line("a.test", false, "sid", "new")}));
}

TEST(CookieJarTest, ExpiredAndMalformedCookiesAreNotKept) {
  CookieJar jar;
  jar.Merge({}, {Line("a.test", false, "old", "1", 1000), Line("a.test", false, "live", "1", 0),
                 Line("a.test", false, "later", "1", 4102444800LL), "not a cookie line",
                 "\tFALSE\t/\tFALSE\t0\tnodomain\tx", "a.test\tFALSE\t/\tFALSE\tsoon\tbad\tx"});
  EXPECT_EQ(jar.Size(), 2u);
  EXPECT_EQ(jar.CookiesFor("a.test").size(), 2u);
}

TEST(CookieJarTest, OldestCookiesMakeRoomBeyondTheLimit) {
  CookieJar jar;
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < CookieJar::MaxCookies + 5; ++i) {
    lines.push_back(Line("h" + std::to_string(i) + ".test", false, "c", "v"));
  }
  jar.Merge({}, lines);
  EXPECT_EQ(jar.Size(), CookieJar::MaxCookies);
  EXPECT_TRUE(jar.CookiesFor("h0.test").empty());
  EXPECT_TRUE(jar.CookiesFor("h4.test").empty());
  EXPECT_EQ(jar.CookiesFor("h5.test").size(), 1u);
  jar.Clear();
  EXPECT_EQ(jar.Size(), 0u);
}

}  // namespace
}  // namespace shopwalk::net
