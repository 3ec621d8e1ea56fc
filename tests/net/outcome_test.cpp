// What a request reports: the final status, the class of failure and the server's Retry-After,
// for every way a request can end, against servers that misbehave on purpose.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "net/fetch_outcome.h"
#include "tests/net/web_test.h"

namespace shopwalk {
namespace {

constexpr int ShortMs = 700;

// A socket on 127.0.0.1 with a port of its own that takes no connection: without `listening` a
// connection to it is refused; listening with a full queue, a connection is never made.
class LoopbackTrap {
 public:
  explicit LoopbackTrap(bool listening) {
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    if (!listening) return;
    // A queue of one, taken by a connection that is never accepted: later handshakes are dropped.
    filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::listen(socket_, 0) != 0 ||
        ::connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      port_ = 0;
    }
  }
  ~LoopbackTrap() {
    if (filler_ >= 0) ::close(filler_);
    if (socket_ >= 0) ::close(socket_);
  }
  LoopbackTrap(const LoopbackTrap&) = delete;
  LoopbackTrap& operator=(const LoopbackTrap&) = delete;

  bool Ready() const { return port_ != 0; }
  std::string ConnectAddress() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int socket_ = -1;
  int filler_ = -1;
  int port_ = 0;
};

// `when` (seconds since the epoch) in `format`, in GMT.
std::string HttpDate(std::time_t when, const char* format) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[64];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

constexpr const char* ImfFixdate = "%a, %d %b %Y %H:%M:%S GMT";
constexpr const char* Rfc850Date = "%A, %d-%b-%y %H:%M:%S GMT";
constexpr const char* AsctimeDate = "%a %b %e %H:%M:%S %Y";

// One way for a request to end, and what it must report.
struct OutcomeCase {
  std::string name;
  // Served at http://a.shopwalk.test/<name>; unused when `url` is given.
  test::Page page;
  std::string url;
  // Where connections go instead of the marketplace, when set ("" connects directly).
  std::optional<std::string> connectTo;
  int receiveMs = ShortMs;
  // Every transfer is aborted once the server has seen the request.
  bool abortWhenSeen = false;

  int status = 0;
  TransportError error = TransportError::None;
  // The Retry-After expected (none when none is).
  std::optional<RetryAfter> retryAfter;
  bool answered = false;

  OutcomeCase& Answered() {
    answered = true;
    return *this;
  }
  OutcomeCase& RetryAfterSeconds(long seconds) {
    retryAfter = RetryAfter{std::chrono::seconds(seconds), std::nullopt};
    return *this;
  }
  OutcomeCase& RetryAt(std::time_t when) {
    retryAfter = RetryAfter{std::nullopt, FromUnixSeconds(when)};
    return *this;
  }
  OutcomeCase& ReceiveLimit(int ms) {
    receiveMs = ms;
    return *this;
  }
  OutcomeCase& AbortWhenSeen() {
    abortWhenSeen = true;
    return *this;
  }
};

// `page` served, ending with `status` and `error`.
OutcomeCase Serving(std::string name, test::Page page, int status, TransportError error) {
  OutcomeCase c;
  c.name = std::move(name);
  c.page = std::move(page);
  c.status = status;
  c.error = error;
  return c;
}

// A request for `url` with connections going to `connectTo`, ending without a status.
OutcomeCase Connecting(std::string name, std::string url, std::string connectTo,
                       TransportError error) {
  OutcomeCase c;
  c.name = std::move(name);
  c.url = std::move(url);
  c.connectTo = std::move(connectTo);
  c.error = error;
  return c;
}

test::Page StatusPage(int status, std::vector<std::pair<std::string, std::string>> headers = {}) {
  test::Page page;
  page.status = status;
  page.body = "status " + std::to_string(status);
  page.headers = std::move(headers);
  return page;
}

test::Page Misbehaving(test::Misbehaviour misbehaviour, std::string body = "x") {
  test::Page page;
  page.misbehaviour = misbehaviour;
  page.body = std::move(body);
  return page;
}

using FetchOutcomeTest = WebTest;

TEST_F(FetchOutcomeTest, EveryWayARequestEndsIsReported) {
  const std::time_t inAnHour = std::time(nullptr) + 3600;
  const LoopbackTrap refusing(false);
  const LoopbackTrap unanswered(true);
  ASSERT_TRUE(refusing.Ready());
  ASSERT_TRUE(unanswered.Ready());

  test::Page tooManyHeaders = StatusPage(200);
  for (int i = 0; i < 40; ++i) {
    tooManyHeaders.headers.emplace_back("X-Filler-" + std::to_string(i), std::string(8000, 'h'));
  }
  test::Page toFtp = StatusPage(200);
  toFtp.redirectTo = "ftp://a.shopwalk.test/file";
  test::Page silentFirst = Misbehaving(test::Misbehaviour::StallBeforeAnswer);
  silentFirst.stallMs = 60'000;
  test::Page silentMidBody = Misbehaving(test::Misbehaviour::StallMidBody, std::string(64, 'b'));
  silentMidBody.stallMs = 60'000;
  test::Page resetMidBody = Misbehaving(test::Misbehaviour::ResetMidBody, std::string(50'000, 'r'));

  using E = TransportError;
  using test::Misbehaviour;
  const std::string anyPage = "http://a.shopwalk.test/";
  std::vector<OutcomeCase> cases = {
      Serving("page", StatusPage(200), 200, E::None).Answered(),
      Serving("missing", StatusPage(404), 404, E::None).Answered(),
      Serving("busy-seconds", StatusPage(503, {{"Retry-After", "120"}}), 503, E::None)
          .Answered()
          .RetryAfterSeconds(120),
      Serving("busy-huge-number", StatusPage(503, {{"Retry-After", "99999999999999"}}), 503,
              E::None)
          .Answered()
          .RetryAfterSeconds(999'999'999),
      Serving("throttled-imf-date",
              StatusPage(429, {{"Retry-After", HttpDate(inAnHour, ImfFixdate)}}), 429, E::None)
          .Answered()
          .RetryAt(inAnHour),
      Serving("throttled-rfc850-date",
              StatusPage(429, {{"Retry-After", HttpDate(inAnHour, Rfc850Date)}}), 429, E::None)
          .Answered()
          .RetryAt(inAnHour),
      Serving("busy-asctime-date",
              StatusPage(503, {{"Retry-After", HttpDate(inAnHour, AsctimeDate)}}), 503, E::None)
          .Answered()
          .RetryAt(inAnHour),
      Serving("busy-date-passed",
              StatusPage(503, {{"Retry-After", "Sun, 06 Nov 1994 08:49:37 GMT"}}), 503, E::None)
          .Answered()
          .RetryAt(784111777),
      Serving("busy-unreadable", StatusPage(503, {{"Retry-After", "soon"}}), 503, E::None)
          .Answered(),
      Serving("busy-negative", StatusPage(503, {{"Retry-After", "-5"}}), 503, E::None).Answered(),
      Serving("reset-before-answer", Misbehaving(Misbehaviour::ResetBeforeAnswer), 0, E::Reset),
      Serving("reset-mid-body", resetMidBody, 200, E::Reset).ReceiveLimit(10'000),
      Serving("broken-chunking", Misbehaving(Misbehaviour::BrokenChunking, std::string(4000, 'c')),
              200, E::Reset),
      Serving("headers-too-large", tooManyHeaders, 0, E::HeadersTooLarge),
      Serving("redirect-loop", Misbehaving(Misbehaviour::RedirectLoop), 302, E::RedirectLimit),
      Serving("redirect-to-ftp", toFtp, 302, E::RedirectLimit),
      Serving("silent-before-answer", silentFirst, 0, E::SilenceTimeout),
      Serving("silent-mid-body", silentMidBody, 200, E::SilenceTimeout),
      Serving("endless-body", Misbehaving(Misbehaviour::EndlessBody), 200, E::BodyTooLarge)
          .ReceiveLimit(10'000),
      Serving("aborted", silentFirst, 0, E::Aborted).ReceiveLimit(60'000).AbortWhenSeen(),
      Connecting("connect-refused", anyPage, refusing.ConnectAddress(), E::ConnectRefused),
      Connecting("connect-timeout", anyPage, unanswered.ConnectAddress(), E::ConnectTimeout),
      // A label of 64 octets cannot be put into a DNS query (RFC 1035 allows 63), so the resolver
      // gives up on the name before anything is sent: the lookup fails on this machine alone. A
      // name that could be queried would go to the configured name server.
      Connecting("name-lookup", "http://" + std::string(64, 'n') + ".shopwalk.invalid/", "",
                 E::NameLookup),
  };

  for (const OutcomeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string url = c.url.empty() ? "http://a.shopwalk.test/" + c.name : c.url;
    if (c.url.empty()) market_.SetPage("a.shopwalk.test", "/" + c.name, c.page);
    SetConnectTo(c.connectTo.value_or(market_.ConnectAddress()));
    const std::size_t seenBefore = market_.RequestCount();
    std::thread aborter;
    if (c.abortWhenSeen) {
      aborter = std::thread([&] {
        if (market_.WaitForRequests(seenBefore + 1, std::chrono::seconds(20))) AbortAllTransfers();
      });
    }

    bool sent = false;
    FetchOutcome outcome;
    WithinBound([&] {
      auto client = HttpClient::Create();
      ASSERT_TRUE(client->Open("GET", url));
      const SendResult result = client->Send({}, ShortMs, 0, c.receiveMs);
      sent = result.sent;
      outcome = result.outcome;
    });
    if (aborter.joinable()) aborter.join();
    ResetTransferAbort();
    SetConnectTo(market_.ConnectAddress());

    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.error, c.error)
        << TransportErrorName(outcome.error) << " instead of " << TransportErrorName(c.error);
    EXPECT_EQ(outcome.Answered(), c.answered);
    // A page whose headers arrived counts as sent, cut short or not.
    EXPECT_EQ(sent, (c.status >= 200 && c.status < 300) || c.answered);
    EXPECT_EQ(outcome.retryAfter, c.retryAfter);
  }
}

// A date is judged against the calendar of whoever keeps the pause, when it begins.
TEST(RetryAfterTest, APauseLastsItsSecondsOrUntilItsDate) {
  const Clock::CalendarTime now = FromUnixSeconds(1'700'000'000);
  EXPECT_EQ((RetryAfter{std::chrono::seconds(90), std::nullopt}.From(now)),
            std::chrono::seconds(90));
  const RetryAfter date{std::nullopt, now + std::chrono::seconds(3)};
  EXPECT_EQ(date.From(now), std::chrono::seconds(3));
  EXPECT_EQ(date.From(now + std::chrono::milliseconds(2500)), std::chrono::milliseconds(500));
  EXPECT_EQ(date.From(now + std::chrono::hours(1)), std::chrono::milliseconds(0));
  EXPECT_EQ(RetryAfter{}.From(now), std::chrono::milliseconds(0));
}

TEST_F(FetchOutcomeTest, ARequestThatCannotStartReportsAFailure) {
  auto client = HttpClient::Create();
  const SendResult unopened = client->Send();
  EXPECT_FALSE(unopened);
  EXPECT_EQ(unopened.outcome.error, TransportError::Other);
  EXPECT_FALSE(unopened.outcome.Answered());

  // A URL that cannot be split sends nothing, not the request before it.
  market_.SetPage("a.shopwalk.test", "/p", StatusPage(200));
  ASSERT_TRUE(client->Fetch({.url = "http://a.shopwalk.test/p"}));
  const FetchResult unsplittable = client->Fetch({.url = "http://a.shopwalk.test:99999/p"});
  EXPECT_FALSE(unsplittable);
  EXPECT_EQ(unsplittable.outcome.error, TransportError::BadUrl);
  EXPECT_TRUE(unsplittable.page.Empty());
  EXPECT_EQ(market_.RequestCount(), 1u);
}

TEST_F(FetchOutcomeTest, RetryAfterOfARedirectDoesNotStickToThePageItLeadsTo) {
  test::Page hop = StatusPage(302, {{"Retry-After", "30"}});
  hop.redirectTo = "/landed";
  market_.SetPage("a.shopwalk.test", "/hop", hop);
  market_.SetPage("a.shopwalk.test", "/landed", StatusPage(200));
  auto client = HttpClient::Create();
  const FetchResult landed = client->Fetch({.url = "http://a.shopwalk.test/hop"});
  ASSERT_TRUE(landed);
  EXPECT_EQ(landed.outcome.status, 200);
  EXPECT_TRUE(landed.outcome.Answered());
  EXPECT_FALSE(landed.outcome.retryAfter.has_value());
}

}  // namespace
}  // namespace shopwalk
