// The shared cookie store on its own: which cookies apply to a host, and merging what requests
// changed.
#include "net/cookie_jar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace shopwalk::net {
namespace {

// A cookie line as the HTTP library reports it.
std::string Line(const std::string& domain, bool subdomains, const std::string& name,
                 const std::string& value, long long expires = 0, const std::string& path = "/") {
  return domain + "\t" + (subdomains ? "TRUE" : "FALSE") + "\t" + path + "\tFALSE\t" +
         std::to_string(expires) + "\t" + name + "\t" + value;
}

// Where the name starts on a cookie line: after its fifth tab.
std::size_t NameAt(const std::string& line) {
  std::size_t at = 0;
  for (int tab = 0; tab < 5; ++tab) at = line.find('\t', at) + 1;
  return at;
}

std::vector<std::string> NamesOf(const std::vector<std::string>& lines) {
  std::vector<std::string> names;
  for (const std::string& line : lines) {
    const std::size_t at = NameAt(line);
    names.push_back(line.substr(at, line.find('\t', at) - at));
  }
  return names;
}

// The Cookie header line a request carrying `lines` would send, line end included.
std::size_t HeaderBytes(const std::vector<std::string>& lines) {
  std::size_t bytes = std::string_view("Cookie: \r\n").size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // "name<tab>value" is as long as "name=value"; "; " between two.
    bytes += lines[i].size() - NameAt(lines[i]) + (i == 0 ? 0 : 2);
  }
  return bytes;
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
  // The newest first.
  EXPECT_EQ(now, (std::vector<std::string>{Line("a.test", false, "new", "1"),
                                           Line("a.test", false, "keep", "2")}));
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
  for (std::size_t i = 0; i < CookieJar::MaxCookies; ++i) {
    lines.push_back(Line("h" + std::to_string(i) + ".test", false, "c", "v"));
  }
  jar.Merge({}, lines);
  EXPECT_EQ(jar.Size(), CookieJar::MaxCookies);
  // Changing a cookie makes it new again.
  jar.Merge({}, {Line("h0.test", false, "c", "changed")});
  std::vector<std::string> more;
  for (std::size_t i = 0; i < 5; ++i) {
    more.push_back(Line("late" + std::to_string(i) + ".test", false, "c", "v"));
  }
  jar.Merge({}, more);
  EXPECT_EQ(jar.Size(), CookieJar::MaxCookies);
  EXPECT_EQ(jar.CookiesFor("h0.test").size(), 1u);
  for (const char* gone : {"h1.test", "h2.test", "h3.test", "h4.test", "h5.test"}) {
    EXPECT_TRUE(jar.CookiesFor(gone).empty()) << gone;
  }
  EXPECT_EQ(jar.CookiesFor("h6.test").size(), 1u);
  EXPECT_EQ(jar.CookiesFor("late4.test").size(), 1u);
  jar.Clear();
  EXPECT_EQ(jar.Size(), 0u);
  EXPECT_EQ(jar.Bytes(), 0u);
}

TEST(CookieJarTest, CookiesOverFourKiBAreRefused) {
  CookieJar jar;
  const std::size_t most = CookieJar::MaxCookieBytes;
  jar.Merge({}, {Line("a.test", false, "sid", "short"),
                 Line("a.test", false, "fits", std::string(most - 4, 'v')),
                 Line("a.test", false, "over", std::string(most - 3, 'v'))});
  EXPECT_EQ(NamesOf(jar.CookiesFor("a.test")), (std::vector<std::string>{"fits", "sid"}));
  // An oversized new value leaves the old one in place.
  jar.Merge(jar.CookiesFor("a.test"), {Line("a.test", false, "sid", std::string(most, 'x')),
                                       Line("a.test", false, "fits", std::string(most - 4, 'v'))});
  EXPECT_EQ(jar.CookiesFor("a.test").back(), Line("a.test", false, "sid", "short"));
  EXPECT_EQ(jar.Size(), 2u);
}

TEST(CookieJarTest, EachDomainKeepsItsNewestCookies) {
  CookieJar jar;
  jar.Merge({}, {Line("b.test", false, "other", "1")});
  std::vector<std::string> flood;
  for (std::size_t i = 0; i < CookieJar::MaxCookiesPerDomain + 5; ++i) {
    flood.push_back(Line("a.test", false, "c" + std::to_string(i), "v"));
  }
  jar.Merge({}, flood);
  EXPECT_EQ(jar.Size(), CookieJar::MaxCookiesPerDomain + 1);
  const std::size_t bytes = jar.Bytes();
  EXPECT_EQ(jar.CookiesFor("b.test").size(), 1u);

  // c5 is now the oldest of a.test; changed, it is the newest, and c6 goes for the next one.
  jar.Merge({}, {Line("a.test", false, "c5", "w"), Line("a.test", false, "next", "v")});
  std::vector<std::string> names = NamesOf(jar.CookiesFor("a.test"));
  ASSERT_EQ(names.size(), CookieJar::MaxCookiesPerDomain);
  EXPECT_EQ(names[0], "next");
  EXPECT_EQ(names[1], "c5");
  EXPECT_EQ(names.back(), "c7");
  for (const char* gone : {"c0", "c4", "c6"}) {
    EXPECT_EQ(std::find(names.begin(), names.end(), gone), names.end()) << gone;
  }
  EXPECT_EQ(jar.Size(), CookieJar::MaxCookiesPerDomain + 1);
  EXPECT_EQ(jar.Bytes(), bytes - 2 + 4);  // "c6" out, "next" in
}

TEST(CookieJarTest, OneRequestIsGivenWhatFitsOneCookieHeaderMostSpecificFirst) {
  CookieJar jar;
  const std::string kilobyte(1000, 'v');
  // Stored oldest first: the path cookies, the host cookie, then ten for the whole site.
  jar.Merge({}, {Line("a.shop.test", false, "elsewhere", kilobyte, 0, "/other"),
                 Line("a.shop.test", false, "deep", kilobyte, 0, "/deep"),
                 Line("a.shop.test", false, "host", kilobyte)});
  std::vector<std::string> site;
  for (int i = 0; i < 10; ++i) {
    site.push_back(Line(".shop.test", true, "s" + std::to_string(i), kilobyte));
  }
  jar.Merge({}, site);

  const std::vector<std::string> given = jar.CookiesFor("a.shop.test", "/deep/page.htm?x=1");
  // The path's own cookie, then the host's, then the site's newest first; the one for another
  // path would come last, but the header is full long before.
  const std::vector<std::string> order = {"deep", "host", "s9", "s8", "s7", "s6",       "s5",
                                          "s4",   "s3",   "s2", "s1", "s0", "elsewhere"};
  const std::vector<std::string> names = NamesOf(given);
  ASSERT_LT(names.size(), order.size());
  EXPECT_EQ(names, std::vector<std::string>(order.begin(), order.begin() + names.size()));
  EXPECT_LE(HeaderBytes(given), CookieJar::MaxCookieHeaderBytes);
  // The first left out would not have fitted.
  EXPECT_GT(HeaderBytes(given) + 2 + std::string("x=").size() + kilobyte.size() + 1,
            CookieJar::MaxCookieHeaderBytes);
  // A request to the other path gets its cookie first, and the deep one is what is left out.
  const std::vector<std::string> other = NamesOf(jar.CookiesFor("a.shop.test", "/other"));
  ASSERT_GE(other.size(), 2u);
  EXPECT_EQ(other[0], "elsewhere");
  EXPECT_EQ(other[1], "host");
  EXPECT_EQ(std::find(other.begin(), other.end(), "deep"), other.end());
}

TEST(CookieJarTest, OneRequestIsGivenAtMostWhatTheLibrarySends) {
  CookieJar jar;
  std::vector<std::string> lines;
  for (const char* domain : {"a.b.c.test", ".b.c.test", ".c.test", ".test"}) {
    for (std::size_t i = 0; i < CookieJar::MaxCookiesPerDomain; ++i) {
      lines.push_back(Line(domain, true, "n" + std::to_string(i), "v"));
    }
  }
  jar.Merge({}, lines);
  EXPECT_EQ(jar.Size(), 4 * CookieJar::MaxCookiesPerDomain);
  EXPECT_EQ(jar.CookiesFor("a.b.c.test").size(), CookieJar::MaxCookiesPerRequest);
}

}  // namespace
}  // namespace shopwalk::net
