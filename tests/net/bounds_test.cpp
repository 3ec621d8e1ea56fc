// Every request ends: misbehaving servers, size bounds, redirect limits and aborts.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "net/body_buffer.h"
#include "net/fetch_outcome.h"
#include "tests/net/web_test.h"
#include "tests/support/child_process.h"

namespace shopwalk {
namespace {

class BoundsTest : public WebTest {
 protected:
  static constexpr int ShortMs = 700;

  test::Page Misbehaving(test::Misbehaviour misbehaviour, std::string body = {}) {
    test::Page page = PageWith(std::move(body));
    page.misbehaviour = misbehaviour;
    return page;
  }

  // Fetches `url` on a thread of its own with short connect and receive limits.
  struct Result {
    bool sent = false;
    bool timedOut = false;
    bool aborted = false;
    FetchOutcome outcome;
    std::string bytes;
  };
  Result Fetch(const std::string& url, int receiveMs = ShortMs) {
    Result result;
    WithinBound([&] {
      auto client = HttpClient::Create();
      client->Open("GET", url);
      const SendResult sent = client->Send({}, ShortMs, 0, receiveMs);
      result.sent = sent.sent;
      result.timedOut = sent.timedOut;
      result.aborted = sent.aborted;
      result.outcome = sent.outcome;
      result.bytes = client->ResponseBytes();
    });
    return result;
  }

  static bool IsPattern(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); i += 4099) {
      if (bytes[i] != test::PatternByte(i)) return false;
    }
    return bytes.empty() || bytes.back() == test::PatternByte(bytes.size() - 1);
  }
};

TEST_F(BoundsTest, ServerSilentBeforeAnsweringEndsTheRequestWithoutAPage) {
  test::Page page = Misbehaving(test::Misbehaviour::StallBeforeAnswer, "late");
  page.stallMs = 60'000;
  market_.SetPage("a.shopwalk.test", "/", page);
  const Result result = Fetch("http://a.shopwalk.test/");
  EXPECT_FALSE(result.sent);
  EXPECT_TRUE(result.timedOut);
  EXPECT_TRUE(result.bytes.empty());
}

TEST_F(BoundsTest, GivenReceiveLimitReplacesTheDefault) {
  test::Page page = Misbehaving(test::Misbehaviour::StallBeforeAnswer, "late but fine");
  page.stallMs = 300;
  market_.SetPage("a.shopwalk.test", "/", page);
  const Result result = Fetch("http://a.shopwalk.test/", 10'000);
  EXPECT_TRUE(result.sent);
  EXPECT_EQ(result.bytes, "late but fine");
}

TEST_F(BoundsTest, SilenceAfterABurstEndsAtTheLimitCountedFromTheLastByte) {
  // Three seconds of data, then four of silence, then the rest of the page. A silence limit of
  // one second counted from the last byte ends the transfer inside the silence; a limit judged
  // by the average speed of the last seconds would still be waiting when the rest arrives.
  test::Page page = Misbehaving(test::Misbehaviour::BurstThenSilence, "<end of page>");
  page.burstMs = 3000;
  page.stallMs = 4000;
  market_.SetPage("a.shopwalk.test", "/", page);
  const Result result = Fetch("http://a.shopwalk.test/", 1000);
  EXPECT_TRUE(result.sent);
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.outcome.error, TransportError::SilenceTimeout);
  EXPECT_EQ(result.outcome.status, 200);
  EXPECT_FALSE(result.outcome.Answered());
  EXPECT_GT(result.bytes.size(), 0u);
  EXPECT_EQ(result.bytes.find("<end of page>"), std::string::npos);
  EXPECT_TRUE(IsPattern(result.bytes));
}

TEST_F(BoundsTest, StallMidBodyKeepsWhatArrived) {
  const std::string body(200'000, 'x');
  test::Page page = Misbehaving(test::Misbehaviour::StallMidBody, body);
  page.stallMs = 60'000;
  market_.SetPage("a.shopwalk.test", "/", page);
  const Result result = Fetch("http://a.shopwalk.test/");
  EXPECT_TRUE(result.sent);
  EXPECT_TRUE(result.timedOut);
  EXPECT_EQ(result.bytes, body.substr(0, body.size() / 2));
}

TEST_F(BoundsTest, ConnectionResetMidBodyKeepsWhatArrived) {
  std::string body;
  for (int i = 0; i < 50'000; ++i) body += static_cast<char>('A' + i % 23);
  market_.SetPage("a.shopwalk.test", "/", Misbehaving(test::Misbehaviour::ResetMidBody, body));
  const Result result = Fetch("http://a.shopwalk.test/", 10'000);
  EXPECT_TRUE(result.sent);
  EXPECT_FALSE(result.timedOut);
  EXPECT_LT(result.bytes.size(), body.size());
  EXPECT_EQ(result.bytes, body.substr(0, result.bytes.size()));
}

TEST_F(BoundsTest, EndlessAndOversizedBodiesAreCutAt32MiB) {
  constexpr std::size_t Cut = 32u << 20;
  market_.SetPage("a.shopwalk.test", "/endless", Misbehaving(test::Misbehaviour::EndlessBody));
  test::Page oversized = Misbehaving(test::Misbehaviour::OversizedBody);
  oversized.oversizedBytes = Cut + 100'000;
  market_.SetPage("a.shopwalk.test", "/oversized", oversized);

  for (const char* url : {"http://a.shopwalk.test/endless", "http://a.shopwalk.test/oversized"}) {
    const Result result = Fetch(url, 10'000);
    EXPECT_TRUE(result.sent) << url;
    EXPECT_EQ(result.outcome.error, TransportError::BodyTooLarge) << url;
    EXPECT_EQ(result.bytes.size(), Cut) << url;
    EXPECT_TRUE(IsPattern(result.bytes)) << url;
  }
}

TEST_F(BoundsTest, BodiesOfAllClientsTogetherAreCutAtTheSharedBudget) {
  constexpr std::size_t Left = 2u << 20;
  constexpr std::size_t PageBytes = 8u << 20;
  test::Page page = Misbehaving(test::Misbehaviour::OversizedBody);
  page.oversizedBytes = PageBytes;
  market_.SetPage("a.shopwalk.test", "/big", page);

  // Other transfers hold all of the budget but 2 MiB.
  net::BodyBudget& budget = net::BodyBudget::Process();
  const std::size_t heldElsewhere = budget.Limit() - budget.InUse() - Left;
  ASSERT_TRUE(budget.TryTake(heldElsewhere));
  const Result cut = Fetch("http://a.shopwalk.test/big", 10'000);
  budget.Give(heldElsewhere);
  EXPECT_TRUE(cut.sent);
  EXPECT_EQ(cut.outcome.status, 200);
  EXPECT_EQ(cut.outcome.error, TransportError::BodyTooLarge);
  EXPECT_FALSE(cut.outcome.Answered());
  EXPECT_GT(cut.bytes.size(), 0u);
  EXPECT_LE(cut.bytes.size(), Left);
  EXPECT_TRUE(IsPattern(cut.bytes));

  // With the budget back, the same page arrives whole.
  const Result whole = Fetch("http://a.shopwalk.test/big", 10'000);
  EXPECT_TRUE(whole.outcome.Answered());
  EXPECT_EQ(whole.bytes.size(), PageBytes);
  EXPECT_TRUE(IsPattern(whole.bytes));
}

TEST_F(BoundsTest, LargePageStorageIsGivenBackOnceTheClientMovesOn) {
  test::Page big = Misbehaving(test::Misbehaviour::OversizedBody);
  big.oversizedBytes = 8u << 20;
  market_.SetPage("a.shopwalk.test", "/big", big);
  market_.SetPage("a.shopwalk.test", "/small", PageWith(std::string(100'000, 's')));
  const net::BodyBudget& budget = net::BodyBudget::Process();
  const std::size_t idle = budget.InUse();

  auto client = HttpClient::Create();
  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/big"));
  ASSERT_TRUE(client->Send());
  ASSERT_EQ(client->ResponseBytes().size(), big.oversizedBytes);
  EXPECT_GE(budget.InUse(), idle + big.oversizedBytes);
  // The next request starts from empty storage.
  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/small"));
  EXPECT_EQ(budget.InUse(), idle);
  ASSERT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseBytes().size(), 100'000u);
  // A small page's storage stays for the next one, until the client goes.
  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/small"));
  EXPECT_GT(budget.InUse(), idle);
  EXPECT_LE(budget.InUse(), idle + net::BodyBuffer::KeepBytes);
  client.reset();
  EXPECT_EQ(budget.InUse(), idle);
}

TEST_F(BoundsTest, AbortedBodyGivesBackItsStorageAndLeavesTheEarlierPage) {
  market_.SetPage("a.shopwalk.test", "/first", PageWith("first;"));
  const net::BodyBudget& budget = net::BodyBudget::Process();
  const std::size_t idle = budget.InUse();

  auto client = HttpClient::Create();
  ASSERT_TRUE(client->Open("GET", "http://a.shopwalk.test/first"));
  ASSERT_TRUE(client->Send());
  // Aborted once the endless body holds a few MiB.
  std::thread aborter([&] {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (budget.InUse() < idle + (4u << 20) && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    AbortAllTransfers();
  });
  // The same request again appends to the page; this time its body never ends.
  market_.SetPage("a.shopwalk.test", "/first", Misbehaving(test::Misbehaviour::EndlessBody));
  const SendResult endless = client->Send({}, 0, 0, 10'000);
  aborter.join();
  EXPECT_FALSE(endless);
  EXPECT_TRUE(endless.aborted);
  EXPECT_EQ(client->ResponseBytes(), "first;");
  EXPECT_LE(budget.InUse(), idle + net::BodyBuffer::KeepBytes);
  client.reset();
  EXPECT_EQ(budget.InUse(), idle);
}

TEST_F(BoundsTest, RedirectLoopStopsAfterTenRedirects) {
  market_.SetPage("a.shopwalk.test", "/loop", Misbehaving(test::Misbehaviour::RedirectLoop, "x"));
  const Result result = Fetch("http://a.shopwalk.test/loop");
  EXPECT_FALSE(result.sent);
  EXPECT_TRUE(result.bytes.empty());
  EXPECT_EQ(market_.RequestCount(), 11u);  // the request and ten redirects
}

TEST_F(BoundsTest, RedirectsLeaveHttpOnlyForHttps) {
  for (const char* target : {"file:///etc/passwd", "ftp://a.shopwalk.test/x", "gopher://a/"}) {
    test::Page page = PageWith("hop");
    page.redirectTo = target;
    market_.SetPage("a.shopwalk.test", "/hop", page);
    const Result result = Fetch("http://a.shopwalk.test/hop");
    EXPECT_FALSE(result.sent) << target;
    EXPECT_TRUE(result.bytes.empty()) << target;
  }
}

TEST_F(BoundsTest, ResponseHeadersAreBoundedAcrossRedirects) {
  auto withHeaders = [](int count) {
    test::Page page;
    page.body = "headers";
    for (int i = 0; i < count; ++i) {
      page.headers.emplace_back("X-Filler-" + std::to_string(i), std::string(8000, 'h'));
    }
    return page;
  };
  market_.SetPage("a.shopwalk.test", "/fits", withHeaders(20));
  market_.SetPage("a.shopwalk.test", "/too-many", withHeaders(40));
  test::Page hop = withHeaders(20);
  hop.redirectTo = "/fits";
  market_.SetPage("a.shopwalk.test", "/hop", hop);

  EXPECT_TRUE(Fetch("http://a.shopwalk.test/fits").sent);
  EXPECT_FALSE(Fetch("http://a.shopwalk.test/too-many").sent);
  // 160 KB of headers on each of two responses: too much together.
  EXPECT_FALSE(Fetch("http://a.shopwalk.test/hop").sent);
}

TEST_F(BoundsTest, AbortEndsAStalledTransferFromAnotherThread) {
  test::Page page = Misbehaving(test::Misbehaviour::StallBeforeAnswer, "never");
  page.stallMs = 60'000;
  market_.SetPage("a.shopwalk.test", "/", page);
  Result result;
  std::thread aborter([&] {
    // The default bounds would hold this request for 30 s.
    if (market_.WaitForRequests(1, std::chrono::seconds(20))) AbortAllTransfers();
  });
  WithinBound([&] {
    auto client = HttpClient::Create();
    client->Open("GET", "http://a.shopwalk.test/");
    const SendResult sent = client->Send();
    result.sent = sent.sent;
    result.aborted = sent.aborted;
    result.bytes = client->ResponseBytes();
  });
  aborter.join();
  EXPECT_FALSE(result.sent);
  EXPECT_TRUE(result.aborted);
  EXPECT_TRUE(TransfersAborted());

  // Until the abort is reset, later requests do not even start.
  market_.SetPage("a.shopwalk.test", "/later", PageWith("later"));
  auto client = HttpClient::Create();
  client->Open("GET", "http://a.shopwalk.test/later");
  const SendResult refused = client->Send();
  EXPECT_FALSE(refused);
  EXPECT_TRUE(refused.aborted);
  EXPECT_EQ(market_.RequestCount(), 1u);
  ResetTransferAbort();
  EXPECT_TRUE(client->Send());
  EXPECT_EQ(client->ResponseText(), "later");
}

// What the engine's tests lean on in the test marketplace: an answer held at a gate waits for it,
// the answer log tells a whole answer from a broken one, and a page generator that was replaced
// is no longer being called once SetFallbackGenerator returns, not even by a call under way.
TEST_F(BoundsTest, TheMarketplaceHoldsGatedAnswersLogsThemAndLetsAReplacedGeneratorGo) {
  auto gate = std::make_shared<test::AnswerGate>();
  test::Page held = PageWith("held");
  held.gate = gate;
  market_.SetPage("a.shopwalk.test", "/held", held);
  market_.SetPage("a.shopwalk.test", "/broken",
                  Misbehaving(test::Misbehaviour::ResetMidBody, std::string(1000, 'x')));
  Result heldResult;
  std::thread fetch([&] { heldResult = Fetch("http://a.shopwalk.test/held", 20'000); });
  EXPECT_TRUE(test::WaitUntil([&] { return gate->Held() == 1; }, std::chrono::seconds(20)));
  EXPECT_TRUE(market_.Answers().empty()) << "answered while held";
  gate->Open();
  fetch.join();
  EXPECT_EQ(heldResult.bytes, "held");
  Fetch("http://a.shopwalk.test/broken");
  const auto answers = market_.Answers();
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].path, "/held");
  EXPECT_TRUE(answers[0].whole);
  EXPECT_EQ(answers[1].path, "/broken");
  EXPECT_FALSE(answers[1].whole);
  EXPECT_TRUE(market_.WaitForAnswers(
      "a.shopwalk.test", 1, std::chrono::seconds(0),
      [](const test::RecordedAnswer& answer) { return answer.whole && answer.status == 200; }));

  // A generator call under way when the generator is replaced.
  auto release = std::make_shared<test::AnswerGate>();
  std::atomic<int> calls{0};
  std::atomic<bool> replacing{false}, replaced{false}, endedAfterReplaced{false};
  market_.SetFallbackGenerator(
      [&](const std::string&, const std::string&) -> std::optional<test::Page> {
        ++calls;
        release->Pass([] { return false; });
        endedAfterReplaced = replaced.load();
        return PageWith("generated");
      });
  Result generated;
  std::thread first([&] { generated = Fetch("http://a.shopwalk.test/generated", 20'000); });
  EXPECT_TRUE(test::WaitUntil([&] { return release->Held() == 1; }, std::chrono::seconds(20)));
  std::thread replacer([&] {
    replacing = true;
    market_.SetFallbackGenerator(nullptr);
    replaced = true;
  });
  EXPECT_TRUE(test::WaitUntil([&] { return replacing.load(); }, std::chrono::seconds(20)));
  release->Open();
  replacer.join();
  first.join();
  EXPECT_FALSE(endedAfterReplaced) << "SetFallbackGenerator returned while its call was under way";
  EXPECT_EQ(generated.bytes, "generated");
  // Nothing calls it any more: pages missing from the tables get the fallback page.
  EXPECT_EQ(Fetch("http://a.shopwalk.test/generated").outcome.status, 404);
  EXPECT_EQ(calls.load(), 1);
}

}  // namespace
}  // namespace shopwalk
