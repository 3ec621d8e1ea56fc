// Requests of the web client as the server sees them, and the bodies it hands back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iterator>
#include <thread>
#include <vector>

#include "net/fatal_error.h"
#include "tests/net/raw_http_server.h"
#include "tests/net/web_test.h"

namespace shopwalk {
namespace {

using ::testing::HasSubstr;

constexpr const char* Agent =
    "Mozilla/5.0 (Windows; U; Windows NT 6.1; en-US) AppleWebKit/534.10 (KHTML, like Gecko) "
    "Chrome/7.0.536.2 Safari/534.10";

using HttpClientTest = WebTest;

TEST_F(HttpClientTest, BareHostIsRequestedAsSlashWithTheFixedHeaders) {
  market_.SetPage("shop7.shopwalk.test", "/", PageWith("home"));
  auto client = HttpClient::Create();
  ASSERT_TRUE(client);
  ASSERT_TRUE(client->Open("GET", "http://shop7.shopwalk.test"));
  EXPECT_EQ(client->RequestPath(), "/");
  EXPECT_EQ(client->Host(), "shop7.shopwalk.test");
  EXPECT_EQ(client->Port(), 80);
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseText(), "home");

  const auto requests = market_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const test::RecordedRequest& seen = requests[0];
  EXPECT_EQ(seen.method, "GET");
  EXPECT_EQ(seen.path, "/");
  EXPECT_EQ(seen.HeaderCount("Host"), 1u);
  EXPECT_EQ(seen.host, "shop7.shopwalk.test");
  EXPECT_EQ(seen.HeaderCount("Accept"), 1u);
  EXPECT_EQ(seen.Header("Accept"), "*/*");
  EXPECT_EQ(seen.HeaderCount("User-Agent"), 1u);
  EXPECT_EQ(seen.Header("User-Agent"), Agent);
  // Compressed bodies are never asked for, and a fresh process has no cookies to send.
  EXPECT_EQ(seen.HeaderCount("Accept-Encoding"), 0u);
  EXPECT_EQ(seen.HeaderCount("Cookie"), 0u);
}

TEST_F(HttpClientTest, PathAndQueryGoIntoTheRequestLine) {
  market_.SetPage("rate.shopwalk.test", "/user-rate-abc.htm?x=1&y=2", PageWith("rating"));
  auto client = HttpClient::Create();
  ASSERT_TRUE(client->Open("GET", "http://rate.shopwalk.test/user-rate-abc.htm?x=1&y=2"));
  EXPECT_EQ(client->RequestPath(), "/user-rate-abc.htm?x=1&y=2");
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseText(), "rating");
  EXPECT_EQ(market_.Requests().at(0).path, "/user-rate-abc.htm?x=1&y=2");
}

TEST_F(HttpClientTest, ErrorPagesAreReturnedAsPages) {
  test::Page broken = PageWith("<p>server error</p>");
  broken.status = 500;
  market_.SetPage("a.shopwalk.test", "/broken", broken);
  auto client = HttpClient::Create();

  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/missing"));
  EXPECT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseText(), "<html><body>404 Not Found</body></html>");

  const FetchResult fetched = client->Fetch({.url = "http://a.shopwalk.test/broken"});
  EXPECT_TRUE(fetched);
  EXPECT_EQ(fetched.outcome.status, 500);
  EXPECT_EQ(fetched.page.View(), "<p>server error</p>");
}

TEST_F(HttpClientTest, RedirectsGiveTheFinalPageOnly) {
  test::Page hop = PageWith("moved elsewhere");
  hop.redirectTo = "http://b.shopwalk.test/middle";
  market_.SetPage("a.shopwalk.test", "/start", hop);
  test::Page relative = PageWith("moved again");
  relative.status = 301;
  relative.redirectTo = "/final";
  market_.SetPage("b.shopwalk.test", "/middle", relative);
  market_.SetPage("b.shopwalk.test", "/final", PageWith("final page"));

  auto client = HttpClient::Create();
  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/start"));
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseBytes(), "final page");

  const auto requests = market_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].host, "b.shopwalk.test");
  EXPECT_EQ(requests[2].path, "/final");
  EXPECT_EQ(requests[2].HeaderCount("Host"), 1u);
}

TEST_F(HttpClientTest, BodyBytesComeBackExactlyAndTextEndsAtTheFirstNul) {
  // GBK bytes, a NUL and bytes past it.
  const std::string body("\xB5\xEA\xC6\xCC<b>\x00tail\xFF", 12);
  market_.SetPage("a.shopwalk.test", "/nul", PageWith(body));
  market_.SetPage("a.shopwalk.test", "/empty", PageWith(""));
  auto client = HttpClient::Create();

  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/nul"));
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseBytes(), body);
  EXPECT_EQ(client->ResponseText(), "\xB5\xEA\xC6\xCC<b>");

  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/empty"));
  EXPECT_TRUE(client->ResponseBytes().empty()) << "Open empties the buffer";
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseText(), "");
}

TEST_F(HttpClientTest, AFetchedPageEndsAtTheFirstNulAndLeavesTheClientEmpty) {
  const std::string body("\xB5\xEA<b>\0tail", 9);
  market_.SetPage("a.shopwalk.test", "/nul", PageWith(body));
  const net::BodyBudget& budget = net::BodyBudget::Process();
  const std::size_t idle = budget.InUse();
  auto client = HttpClient::Create();

  FetchResult fetched = client->Fetch({.url = "http://a.shopwalk.test/nul"});
  ASSERT_TRUE(fetched);
  EXPECT_EQ(fetched.outcome.status, 200);
  EXPECT_EQ(fetched.page.View(), "\xB5\xEA<b>");
  EXPECT_TRUE(client->ResponseBytes().empty());
  EXPECT_EQ(client->ResponseText(), "");
  // The page is the buffer's storage handed over: it counts in the budget while it is read, not
  // after.
  EXPECT_GE(fetched.page.Capacity(), body.size());
  EXPECT_EQ(budget.InUse(), idle + fetched.page.Capacity());
  fetched.page = net::ResponseBody();
  EXPECT_EQ(budget.InUse(), idle);
  // A later Send fills the client again.
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseBytes(), body);
}

TEST_F(HttpClientTest, ADeclaredBodyIsStoredInOnePieceOfItsSize) {
  // cpp-httplib declares the length of a body it has whole; a chunked body declares none.
  const std::string page(300'000, 'p');
  market_.SetPage("a.shopwalk.test", "/declared", PageWith(page));
  test::Page chunked = PageWith("tail");
  chunked.misbehaviour = test::Misbehaviour::BurstThenSilence;
  chunked.burstMs = 50;
  market_.SetPage("a.shopwalk.test", "/chunked", chunked);
  test::Page large = PageWith({});
  large.misbehaviour = test::Misbehaviour::OversizedBody;
  large.oversizedBytes = 8u << 20;
  market_.SetPage("a.shopwalk.test", "/large", large);
  auto client = HttpClient::Create();

  const FetchResult declared = client->Fetch({.url = "http://a.shopwalk.test/declared"});
  EXPECT_EQ(declared.page.View(), page);
  EXPECT_EQ(declared.page.Capacity(), page.size());

  const FetchResult burst = client->Fetch({.url = "http://a.shopwalk.test/chunked"});
  EXPECT_TRUE(burst.outcome.Answered());
  EXPECT_TRUE(burst.page.View().ends_with("tail"));

  // Only a body has storage: the same large page asked with HEAD takes none.
  const FetchResult head = client->Fetch({.method = "HEAD", .url = "http://a.shopwalk.test/large"});
  EXPECT_EQ(head.outcome.status, 200);
  EXPECT_EQ(head.page.Capacity(), 0u);
  const FetchResult fetched = client->Fetch({.url = "http://a.shopwalk.test/large"});
  const net::ResponseBody& whole = fetched.page;
  EXPECT_EQ(whole.Size(), large.oversizedBytes);
  EXPECT_EQ(whole.Capacity(), large.oversizedBytes);
}

TEST_F(HttpClientTest, ConnectionsAreKeptForTheSameHostUnlessToldOtherwise) {
  market_.SetPage("rate.shopwalk.test", "/r", PageWith("rating"));
  market_.SetPage("shop1.shopwalk.test", "/", PageWith("home 1"));
  market_.SetPage("shop2.shopwalk.test", "/", PageWith("home 2"));
  auto client = HttpClient::Create();
  EXPECT_TRUE(client->KeepsConnections());
  for (const char* url : {"http://rate.shopwalk.test/r", "http://shop1.shopwalk.test",
                          "http://rate.shopwalk.test/r", "http://rate.shopwalk.test/r"}) {
    ASSERT_TRUE(client->Open("GET", url));
    ASSERT_TRUE(client->Send());
  }
  EXPECT_EQ(market_.ConnectionsUsed("rate.shopwalk.test"), 1u);
  EXPECT_EQ(market_.ConnectionCount(), 2u);
  for (const auto& request : market_.Requests()) EXPECT_EQ(request.HeaderCount("Connection"), 0u);

  // Not kept: each request on a connection of its own, closed once answered.
  market_.ClearRequests();
  EXPECT_FALSE(client->KeepsConnections(false));
  for (const char* url : {"http://shop2.shopwalk.test", "http://shop2.shopwalk.test"}) {
    ASSERT_TRUE(client->Open("GET", url));
    ASSERT_TRUE(client->Send());
    EXPECT_EQ(client->ResponseText(), "home 2");
  }
  EXPECT_EQ(market_.ConnectionsUsed("shop2.shopwalk.test"), 2u);
  EXPECT_EQ(market_.ConnectionCount(), 2u);
  for (const auto& request : market_.Requests()) EXPECT_EQ(request.Header("Connection"), "close");
}

TEST_F(HttpClientTest, SendsAfterOneOpenAppend) {
  market_.SetPage("a.shopwalk.test", "/p", PageWith("first;"));
  auto client = HttpClient::Create();
  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/p"));
  ASSERT_TRUE(client->Send());
  market_.SetPage("a.shopwalk.test", "/p", PageWith("second;"));
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseText(), "first;second;");
}

TEST_F(HttpClientTest, UnsplittableUrlKeepsThePreviousRequest) {
  market_.SetPage("a.shopwalk.test", "/p", PageWith("page;"));
  auto client = HttpClient::Create();
  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/p"));
  ASSERT_TRUE(client->Send());

  const std::string longHost = "http://" + std::string(251, 'h') + ".test/";
  for (const std::string& bad : {longHost, std::string("not a url"), std::string("http://"),
                                 std::string(""), std::string("http://a.shopwalk.test:99999/")}) {
    EXPECT_FALSE(client->Open("POST", bad)) << bad;
  }
  EXPECT_EQ(client->Url(), "http://a.shopwalk.test/p");
  EXPECT_EQ(client->ResponseText(), "page;");

  // The next Send repeats the previous request and appends.
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseText(), "page;page;");
  const auto requests = market_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].path, "/p");
}

TEST_F(HttpClientTest, SendWithoutOpenFails) {
  auto client = HttpClient::Create();
  EXPECT_FALSE(client->Send());
  EXPECT_EQ(market_.RequestCount(), 0u);
  EXPECT_EQ(client->ResponseText(), "");
}

TEST_F(HttpClientTest, PostCarriesTheFormHeaders) {
  auto client = HttpClient::Create();
  ASSERT_TRUE(client->Open("POST", "http://a.shopwalk.test/form"));
  EXPECT_TRUE(client->Send("a=1&b=2"));
  const auto requests = market_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const test::RecordedRequest& seen = requests[0];
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.body, "a=1&b=2");
  EXPECT_EQ(seen.Header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(seen.HeaderCount("Content-Type"), 1u);
  EXPECT_EQ(seen.Header("Content-Length"), "7");
  EXPECT_EQ(seen.HeaderCount("Content-Length"), 1u);
  EXPECT_EQ(seen.Header("Cache-Control"), "no-cache");
  EXPECT_EQ(seen.HeaderCount("Expect"), 0u);
}

TEST_F(HttpClientTest, FailedConnectionKeepsTheBuffer) {
  market_.SetPage("a.shopwalk.test", "/p", PageWith("kept"));
  auto client = HttpClient::Create();
  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/p"));
  ASSERT_TRUE(client->Send());
  SetConnectTo(Nowhere);
  const SendResult failed = client->Send();
  EXPECT_FALSE(failed);
  EXPECT_FALSE(failed.aborted);
  EXPECT_EQ(client->ResponseText(), "kept");
}

TEST_F(HttpClientTest, ClientsOnManyThreadsEachGetTheirOwnPages) {
  constexpr int Threads = 20;
  constexpr int PagesEach = 5;
  for (int t = 0; t < Threads; ++t) {
    market_.SetPage("shop" + std::to_string(t) + ".shopwalk.test", "/",
                    PageWith("body of " + std::to_string(t) + std::string(4000, '.')));
  }
  std::vector<std::thread> threads;
  std::vector<int> matches(Threads, 0);
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([t, &matches] {
      for (int i = 0; i < PagesEach; ++i) {
        auto client = HttpClient::Create();
        client->Open("GET", "http://shop" + std::to_string(t) + ".shopwalk.test");
        client->Send();
        client->CookiesEnabled(false);
        if (client->ResponseText() == "body of " + std::to_string(t) + std::string(4000, '.')) {
          ++matches[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < Threads; ++t) EXPECT_EQ(matches[t], PagesEach) << "thread " << t;
  EXPECT_EQ(market_.RequestCount(), static_cast<std::size_t>(Threads * PagesEach));
}

// Request heads as they cross the wire, read by a bare socket server.
class RequestLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Listening());
    SetConnectTo(server_.ConnectAddress());
    ResetTransferAbort();
    net::CookieJar::Process().Clear();
  }
  void TearDown() override { SetConnectTo(Nowhere); }

  test::RawHttpServer server_;
};

TEST_F(RequestLineTest, RequestGoesOutAsThePageWroteIt) {
  struct Case {
    std::string url;
    std::string target;
  };
  const std::string rate = "http://rate.shopwalk.test";
  const Case cases[] = {
      // No dot segments are removed.
      {rate + "/user-rate-a/../b.htm", "/user-rate-a/../b.htm"},
      {rate + "/./user-rate-a/./b.htm", "/./user-rate-a/./b.htm"},
      // GBK bytes go out raw, in the path and in the query.
      {rate + "/user-rate-\xD5\xC5\xC8\xFD.htm?n=\xB5\xEA",
       "/user-rate-\xD5\xC5\xC8\xFD.htm?n=\xB5\xEA"},
      // Only bytes that cannot stand on a request line are encoded, wherever they are.
      {rate + "/user-rate-a b\tc.htm?q=x y", "/user-rate-a%20b%09c.htm?q=x%20y"},
      {rate + "/r\x01\x1F\x7F.htm\r\nX-Injected: 1", "/r%01%1F%7F.htm%0D%0AX-Injected:%201"},
      // Escapes stay escapes, even malformed ones; the query stays as written.
      {rate + "/%41/user-rate.htm?q=%41%zz&u=/../x?y", "/%41/user-rate.htm?q=%41%zz&u=/../x?y"},
      // The fragment never goes out.
      {rate + "/user-rate.htm?a=1#top part", "/user-rate.htm?a=1"},
      {rate, "/"},
  };
  auto client = HttpClient::Create();
  ASSERT_TRUE(client);
  for (const Case& c : cases) {
    ASSERT_TRUE(client->Open("GET", c.url)) << c.url;
    EXPECT_TRUE(client->Send()) << c.url;
    EXPECT_EQ(client->ResponseText(), test::RawHttpServer::Body) << c.url;
  }

  const std::vector<std::string> heads = server_.Heads();
  ASSERT_EQ(heads.size(), std::size(cases));
  for (std::size_t i = 0; i < heads.size(); ++i) {
    const std::string& head = heads[i];
    EXPECT_EQ(head.substr(0, head.find("\r\n")), "GET " + cases[i].target + " HTTP/1.1")
        << cases[i].url;
    const std::string host = "\r\nHost: rate.shopwalk.test\r\n";
    EXPECT_NE(head.find(host), std::string::npos) << head;
    EXPECT_EQ(head.find("\r\nHost:", head.find(host) + 1), std::string::npos) << head;
    EXPECT_EQ(head.find("X-Injected"), head.find("X-Injected:%201")) << head;
  }
}

TEST_F(HttpClientTest, RedirectFromAPathAsWrittenLands) {
  // The first request carries the path as written; the relative Location is resolved against it
  // and the hop after it follows as usual, cookies and Host header included.
  const std::string written = "/shop/user-rate-\xD5\xC5%20x/../b.htm?t=1";
  test::Page first = PageWith("first hop");
  first.redirectTo = "next.htm?k=1";
  first.headers.emplace_back("Set-Cookie", "sid=7; Path=/");
  market_.SetPage("a.shopwalk.test", written, first);
  test::Page second = PageWith("second hop");
  second.status = 301;
  second.redirectTo = "http://b.shopwalk.test/final";
  market_.SetPage("a.shopwalk.test", "/shop/next.htm", second);
  market_.SetPage("b.shopwalk.test", "/final", PageWith("final page"));

  auto client = HttpClient::Create();
  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/shop/user-rate-\xD5\xC5 x/../b.htm?t=1"));
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseBytes(), "final page");

  const auto requests = market_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].path, written);
  EXPECT_EQ(requests[0].host, "a.shopwalk.test");
  EXPECT_EQ(requests[1].path, "/shop/next.htm?k=1");
  EXPECT_EQ(requests[1].host, "a.shopwalk.test");
  EXPECT_EQ(requests[1].HeaderCount("Host"), 1u);
  EXPECT_EQ(requests[1].cookie, "sid=7");
  EXPECT_EQ(requests[2].host, "b.shopwalk.test");
  EXPECT_EQ(requests[2].HeaderCount("Host"), 1u);
  EXPECT_EQ(requests[2].path, "/final");
}

TEST_F(HttpClientTest, RedirectedPostContinuesAsGetOnlyWhere3xxSaysSo) {
  test::Page found = PageWith("found");
  found.redirectTo = "/done";
  market_.SetPage("a.shopwalk.test", "/form%20a.htm", found);
  test::Page temporary = PageWith("temporary");
  temporary.status = 307;
  temporary.redirectTo = "/kept";
  market_.SetPage("a.shopwalk.test", "/keep", temporary);
  market_.SetPage("a.shopwalk.test", "/done", PageWith("done"));
  market_.SetPage("a.shopwalk.test", "/kept", PageWith("kept"));

  auto client = HttpClient::Create();
  ASSERT_TRUE(client->Open("POST", "http://a.shopwalk.test/form a.htm"));
  ASSERT_TRUE(client->Send("a=1"));
  EXPECT_EQ(client->ResponseText(), "done");
  ASSERT_TRUE(client->Open("POST", "http://a.shopwalk.test/keep"));
  ASSERT_TRUE(client->Send("a=1"));
  EXPECT_EQ(client->ResponseText(), "kept");

  const auto requests = market_.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/form%20a.htm");
  EXPECT_EQ(requests[0].body, "a=1");
  // After a 302 the form is not sent again, nor are its headers.
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].path, "/done");
  EXPECT_EQ(requests[1].body, "");
  EXPECT_EQ(requests[1].HeaderCount("Content-Length"), 0u);
  EXPECT_EQ(requests[1].HeaderCount("Content-Type"), 0u);
  // After a 307 it is.
  EXPECT_EQ(requests[3].method, "POST");
  EXPECT_EQ(requests[3].path, "/kept");
  EXPECT_EQ(requests[3].body, "a=1");
  EXPECT_EQ(requests[3].Header("Content-Type"), "application/x-www-form-urlencoded");
}

// The fatal usage error ends the process; each case runs in a child process of its own.
class WrongThreadDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  static void UseFromAnotherThread(bool send) {
    SetConnectTo(Nowhere);
    auto client = HttpClient::Create();
    if (send) client->Open("GET", "http://a.shopwalk.test/");
    std::thread other([&] {
      if (send) {
        client->Send();
      } else {
        client->Open("GET", "http://a.shopwalk.test/");
      }
    });
    other.join();
  }
};

TEST_F(WrongThreadDeathTest, OpenOnAnotherThreadEndsTheProcess) {
  EXPECT_EXIT(UseFromAnotherThread(false), ::testing::ExitedWithCode(255),
              HasSubstr("shopwalk: WEB客户不能跨线程使用。\n"));
}

TEST_F(WrongThreadDeathTest, SendOnAnotherThreadEndsTheProcess) {
  EXPECT_EXIT(UseFromAnotherThread(true), ::testing::ExitedWithCode(255),
              HasSubstr("shopwalk: WEB客户不能跨线程使用。\n"));
}

void ReportWithMark(const std::string& message) {
  std::fprintf(stderr, "[mark]%s", message.c_str());
}

TEST_F(WrongThreadDeathTest, InstalledReporterGetsTheMessage) {
  EXPECT_EXIT(
      {
        SetFatalErrorReporter(&ReportWithMark);
        UseFromAnotherThread(false);
      },
      ::testing::ExitedWithCode(255), HasSubstr("[mark]WEB客户不能跨线程使用。"));
}

}  // namespace
}  // namespace shopwalk
