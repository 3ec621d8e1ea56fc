// Cookies through real requests: the switch, the process-wide store and several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "tests/net/web_test.h"

namespace shopwalk {
namespace {

class CookieTest : public WebTest {
 protected:
  // A page on `host` at "/set" that sets `cookie`; every other path is the 404 fallback.
  void SetCookiePage(const std::string& host, const std::string& cookie,
                     const std::string& path = "/set") {
    test::Page page = PageWith("cookie page");
    page.headers.emplace_back("Set-Cookie", cookie);
    market_.SetPage(host, path, page);
  }

  // Fetches `url` with a new client whose switch is `cookies`; returns the Cookie header sent.
  std::string FetchAndSeeCookie(const std::string& url, bool cookies = true) {
    const std::size_t before = market_.RequestCount();
    auto client = HttpClient::Create();
    client->CookiesEnabled(cookies);
    client->Open("GET", url);
    EXPECT_TRUE(client->Send());
    const auto requests = market_.Requests();
    EXPECT_EQ(requests.size(), before + 1);
    return requests.empty() ? std::string() : requests.back().cookie;
  }
};

TEST_F(CookieTest, CookieFromOneResponseGoesWithTheNextRequest) {
  SetCookiePage("a.shopwalk.test", "sid=abc; Path=/");
  EXPECT_EQ(FetchAndSeeCookie("http://a.shopwalk.test/set"), "");
  EXPECT_EQ(FetchAndSeeCookie("http://a.shopwalk.test/other"), "sid=abc");
  // Another host does not get it.
  EXPECT_EQ(FetchAndSeeCookie("http://b.shopwalk.test/"), "");
}

TEST_F(CookieTest, DomainCookiesReachSubdomains) {
  SetCookiePage("shop1.shopwalk.test", "site=1; Domain=shopwalk.test; Path=/");
  FetchAndSeeCookie("http://shop1.shopwalk.test/set");
  EXPECT_EQ(FetchAndSeeCookie("http://rate.shopwalk.test/user-rate-x"), "site=1");
  EXPECT_EQ(FetchAndSeeCookie("http://shopwalk.test/"), "site=1");
  EXPECT_EQ(FetchAndSeeCookie("http://other.test/"), "");
}

TEST_F(CookieTest, SwitchedOffNeitherSendsNorStores) {
  SetCookiePage("a.shopwalk.test", "kept=1; Path=/");
  FetchAndSeeCookie("http://a.shopwalk.test/set");
  SetCookiePage("a.shopwalk.test", "ignored=1; Path=/", "/set-off");

  EXPECT_EQ(FetchAndSeeCookie("http://a.shopwalk.test/set-off", false), "");
  EXPECT_EQ(FetchAndSeeCookie("http://a.shopwalk.test/after"), "kept=1");
}

TEST_F(CookieTest, OneClientSwitchedOffAfterItsFirstRequestSendsNoCookies) {
  // The engine's pattern: the first request with cookies, then the switch goes off.
  SetCookiePage("a.shopwalk.test", "sid=abc; Path=/");
  auto client = HttpClient::Create();
  client->Open("GET", "http://a.shopwalk.test/set");
  ASSERT_TRUE(client->Send());
  EXPECT_FALSE(client->CookiesEnabled(false));
  EXPECT_FALSE(client->CookiesEnabled());
  client->Open("GET", "http://a.shopwalk.test/rating");
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(market_.Requests().back().cookie, "");
  // Switched on again, the stored cookie goes out.
  EXPECT_TRUE(client->CookiesEnabled(true));
  client->Open("GET", "http://a.shopwalk.test/again");
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(market_.Requests().back().cookie, "sid=abc");
}

TEST_F(CookieTest, ChangedAndDeletedCookiesAreStored) {
  SetCookiePage("a.shopwalk.test", "sid=one; Path=/");
  FetchAndSeeCookie("http://a.shopwalk.test/set");
  SetCookiePage("a.shopwalk.test", "sid=two; Path=/", "/change");
  EXPECT_EQ(FetchAndSeeCookie("http://a.shopwalk.test/change"), "sid=one");
  EXPECT_EQ(FetchAndSeeCookie("http://a.shopwalk.test/"), "sid=two");

  SetCookiePage("a.shopwalk.test", "sid=gone; Path=/; Max-Age=0", "/delete");
  FetchAndSeeCookie("http://a.shopwalk.test/delete");
  EXPECT_EQ(FetchAndSeeCookie("http://a.shopwalk.test/"), "");
  EXPECT_EQ(net::CookieJar::Process().Size(), 0u);
}

// The names in a Cookie header, in the order sent.
std::vector<std::string> CookieNames(const std::string& header) {
  std::vector<std::string> names;
  for (std::size_t at = 0; at < header.size();) {
    const std::size_t end = std::min(header.find("; ", at), header.size());
    const std::string pair = header.substr(at, end - at);
    names.push_back(pair.substr(0, pair.find('=')));
    at = end + 2;
  }
  return names;
}

// A page setting `count` cookies "<prefix><i>" with values of `valueBytes` for the whole site.
test::Page SettingSiteCookies(const std::string& prefix, int count, std::size_t valueBytes) {
  test::Page page;
  page.body = "cookies";
  for (int i = 0; i < count; ++i) {
    page.headers.emplace_back("Set-Cookie", prefix + std::to_string(i) + "=" +
                                                std::string(valueBytes, 'v') +
                                                "; Domain=shopwalk.test; Path=/");
  }
  return page;
}

TEST_F(CookieTest, ManyLargeCookiesLeaveARequestWithinTheHeaderBound) {
  market_.SetPage("a.shopwalk.test", "/set", SettingSiteCookies("c", 20, 1000));
  FetchAndSeeCookie("http://a.shopwalk.test/set");
  EXPECT_EQ(net::CookieJar::Process().Size(), 20u);

  const std::string header = FetchAndSeeCookie("http://b.shopwalk.test/");
  EXPECT_LE(std::string_view("Cookie: \r\n").size() + header.size(),
            net::CookieJar::MaxCookieHeaderBytes);
  // The newest that fit beside the rest of the request head: seven of about a kilobyte.
  std::vector<std::string> names = CookieNames(header);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"c13", "c14", "c15", "c16", "c17", "c18", "c19"}));
}

TEST_F(CookieTest, OneResponseSetsAtMostFiftyCookiesAndNoneOverFourKiB) {
  test::Page page = SettingSiteCookies("site", 30, 10);
  for (int i = 0; i < 30; ++i) {
    page.headers.emplace_back("Set-Cookie", "host" + std::to_string(i) + "=1; Path=/");
  }
  market_.SetPage("a.shopwalk.test", "/many", page);
  FetchAndSeeCookie("http://a.shopwalk.test/many");
  // Two domains of 30 each, but the library takes 50 Set-Cookie lines from one response.
  EXPECT_EQ(net::CookieJar::Process().Size(), 50u);

  net::CookieJar::Process().Clear();
  test::Page large;
  large.body = "large";
  large.headers.emplace_back("Set-Cookie", "over=" + std::string(4092, 'v') + "; Path=/");
  large.headers.emplace_back("Set-Cookie", "fits=" + std::string(4092, 'v') + "; Path=/");
  market_.SetPage("a.shopwalk.test", "/large", large);
  FetchAndSeeCookie("http://a.shopwalk.test/large");
  const std::string header = FetchAndSeeCookie("http://a.shopwalk.test/");
  EXPECT_EQ(CookieNames(header), std::vector<std::string>{"fits"});
}

TEST_F(CookieTest, ASiteFloodingCookiesKeepsTheStoreAndEachRequestSmall) {
  // Every page sets 50 new cookies of 3.9 KB for the whole site.
  for (int page = 0; page < 4; ++page) {
    const std::string path = "/flood" + std::to_string(page);
    market_.SetPage("shop" + std::to_string(page) + ".shopwalk.test", path,
                    SettingSiteCookies("p" + std::to_string(page) + "_", 50, 3900));
    const std::string sent =
        FetchAndSeeCookie("http://shop" + std::to_string(page) + ".shopwalk.test" + path);
    EXPECT_LE(sent.size(), 2 * (3900 + 8)) << page;
    EXPECT_EQ(net::CookieJar::Process().Size(), 50u) << page;
    EXPECT_LE(net::CookieJar::Process().Bytes(), 50u * 4000) << page;
  }
  // What is kept is the last page's.
  std::vector<std::string> names = CookieNames(FetchAndSeeCookie("http://shop9.shopwalk.test/"));
  ASSERT_EQ(names.size(), 2u);
  for (const std::string& name : names) EXPECT_TRUE(name.starts_with("p3_")) << name;
}

TEST_F(CookieTest, CookiesAreSharedAcrossClientsOnDifferentThreads) {
  SetCookiePage("a.shopwalk.test", "first=1; Path=/", "/first");
  SetCookiePage("a.shopwalk.test", "second=2; Path=/", "/second");
  // Two clients on two threads store at the same moment; neither loses the other's cookie.
  std::barrier start(2);
  auto fetch = [&](const char* url) {
    auto client = HttpClient::Create();
    client->Open("GET", url);
    start.arrive_and_wait();
    EXPECT_TRUE(client->Send());
  };
  std::thread one(fetch, "http://a.shopwalk.test/first");
  std::thread two(fetch, "http://a.shopwalk.test/second");
  one.join();
  two.join();

  std::string seen;
  std::thread third([&] { seen = FetchAndSeeCookie("http://a.shopwalk.test/"); });
  third.join();
  EXPECT_TRUE(seen == "first=1; second=2" || seen == "second=2; first=1") << seen;
}

}  // namespace
}  // namespace shopwalk
