// Cookies through real requests: the switch, the process-wide store and several threads.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>

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
