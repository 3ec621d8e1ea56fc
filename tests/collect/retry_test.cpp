// A marketplace that does not answer: shops wait and are tried again, fail for good after their
// last try, and the walk pauses during an outage or when the server asks for a pause; no shop is
// counted as walked without an answer. All of it under every engine policy, on the manual clock:
// back-off, pauses and the server's pauses take no real time, and when a request came is judged
// on the engine's own time.
#include <algorithm>
#include <atomic>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "tests/collect/engine_fixture.h"
#include "tests/support/memory_sink.h"

namespace shopwalk::test {
namespace {

using std::chrono::milliseconds;

// Every third shop ID exists; its rating page carries its ID as the reputation.
bool Exists(std::int32_t id) {
  return id % 3 == 0;
}

pages::Shop ShopOf(std::int32_t id) {
  pages::Shop shop;
  shop.id = id;
  shop.name = "S" + std::to_string(id);
  shop.messenger = "m" + std::to_string(id);
  shop.ratingToken = "u" + std::to_string(id) + ".htm";
  shop.openingDate = "2020-01-01";
  shop.reputation = std::to_string(id);
  return shop;
}

class RetryTest : public EngineTest {
 protected:
  explicit RetryTest(const EnginePolicy& engine) {
    collector.SetEnginePolicy(engine);
    collector.SetPace(milliseconds(10));
    RetryPolicy policy;
    policy.firstBackoff = milliseconds(20);
    policy.longestBackoff = milliseconds(200);
    policy.outageFailures = 5;
    policy.outageWindow = milliseconds(2000);
    collector.SetRetryPolicy(policy);
    UseManualClock(true);
  }

  // Serves the marketplace of Exists() and ShopOf(), through `answer`, which may replace any page
  // (an outage, an error): it is given the host, the path and the page that would be served.
  void Serve(std::function<std::optional<Page>(const std::string&, const std::string&, Page)>
                 answer = nullptr) {
    market.SetFallbackGenerator(
        [this, answer](const std::string& host, const std::string& path) -> std::optional<Page> {
          Page page;
          if (const auto shopId = pages::ShopIdOfHost(host)) {
            const std::int32_t id = *shopId;
            page.body = Exists(id) ? pages::HomePage(ShopOf(id)) : pages::NoShopPage(id);
          } else if (path.rfind("/user-rate-u", 0) == 0) {
            page.body = pages::RatingPage(ShopOf(std::stoi(path.substr(12))));
          } else {
            return std::nullopt;
          }
          {
            std::lock_guard lock(logMutex);
            arrivals.push_back({host, path, clock.Now()});
          }
          return answer ? answer(host, path, page) : page;
        });
  }

  struct Arrival {
    std::string host;
    std::string path;
    // On the engine's clock.
    Clock::TimePoint at;
  };
  std::vector<Arrival> Arrivals() {
    std::lock_guard lock(logMutex);
    return arrivals;
  }

  // Whether the walk is paused (an outage, or a pause the server asked for) on the engine's clock.
  bool WalkPaused() const {
    return collector.Health().StateAt(clock.Now()) != MarketplaceHealth::State::Open;
  }

  // Whether the marketplace's log shows shop `id` answered: its home page, and its rating page
  // when it exists.
  bool Answered(std::int32_t id) const {
    return ShopAnswered(id,
                        Exists(id) ? std::optional(pages::RatingPath(ShopOf(id))) : std::nullopt);
  }

  // Shop IDs of the rows, in list order.
  std::vector<std::int32_t> RowIds() {
    std::vector<std::int32_t> ids;
    for (const auto& row : ui.Rows()) {
      ids.push_back(TextToInt(row[ShopAddressColumn].substr(std::string("http://shop").size())));
    }
    return ids;
  }

  // Waits until the walk has handed out `id` and every shop up to it has its answer.
  bool WalkedThrough(std::int32_t id, std::chrono::seconds timeout = std::chrono::seconds(60)) {
    return WaitFor(
        [&] {
          const auto lowest = collector.Progress().LowestUnfinished();
          return TextToInt(ui.ShopIdText()) > id && (!lowest || *lowest > id);
        },
        timeout);
  }

  void ExpectEveryShopListedOnce(std::int32_t first, std::int32_t last) {
    const auto ids = RowIds();
    const std::set<std::int32_t> listed(ids.begin(), ids.end());
    EXPECT_EQ(listed.size(), ids.size()) << "a shop was listed twice";
    for (std::int32_t id = first; id <= last; ++id) {
      EXPECT_EQ(listed.count(id), Exists(id) ? 1u : 0u) << "shop " << id;
    }
    for (const auto& row : ui.Rows()) {
      // The rating page was read: the reputation is the shop's own, never the "0" of a failure.
      EXPECT_EQ(row[ReputationColumn],
                row[ShopAddressColumn].substr(11, row[ShopAddressColumn].find('.') - 11));
    }
  }

  std::mutex logMutex;
  std::vector<Arrival> arrivals;
};

class RetryRunTest : public RetryTest, public ::testing::WithParamInterface<NamedPolicy> {
 protected:
  RetryRunTest() : RetryTest(GetParam().policy) {}
};

INSTANTIATE_TEST_SUITE_P(Policies, RetryRunTest, ::testing::ValuesIn(EveryPolicy()), PolicyName);

Page ErrorPage(int status) {
  Page page;
  page.status = status;
  page.body = "error " + std::to_string(status);
  return page;
}

Page ServiceUnavailable() {
  return ErrorPage(503);
}

TEST_P(RetryRunTest, AShortOutageLosesNoShopAndSendsOnlyProbes) {
  RetryPolicy policy;
  policy.firstBackoff = milliseconds(20);
  policy.longestBackoff = milliseconds(400);
  collector.SetRetryPolicy(policy);
  std::atomic<bool> down{false};
  std::atomic<int> askedWhilePaused{0};
  Serve([&](const std::string&, const std::string&, Page page) -> std::optional<Page> {
    if (!down) return page;
    if (WalkPaused()) ++askedWhilePaused;
    // Half an answer, then the connection breaks: nothing came through.
    page.misbehaviour = Misbehaviour::ResetMidBody;
    return page;
  });
  ui.SetShopIdText("1000");
  ui.SetThreadCountText("20");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return TextToInt(ui.ShopIdText()) >= 1030; }));

  down = true;
  ASSERT_TRUE(WaitFor([&] { return !ui.Pauses().empty(); })) << "the walk never paused";
  const int probesAtPause = collector.Health().ProbesSent();
  const std::int32_t pausedAt = TextToInt(ui.ShopIdText());
  EXPECT_EQ(ui.Pauses().front().reason, PauseReason::Outage);
  // Held through several probes: the field moves only for a probe (a new shop asks after each
  // round of the waiting shops), and the place saved now lies before every shop that has no
  // answer yet.
  ASSERT_TRUE(WaitFor([&] { return collector.Health().ProbesSent() >= probesAtPause + 5; }));
  EXPECT_LE(TextToInt(ui.ShopIdText()) - pausedAt, collector.Health().ProbesSent() - probesAtPause);
  // Judged by the marketplace's answers: every shop up to the place was answered, the next one
  // was not.
  const std::int32_t place = TextToInt(collector.ProgressText());
  for (std::int32_t id = 1001; id <= place; ++id) EXPECT_TRUE(Answered(id)) << "shop " << id;
  EXPECT_FALSE(Answered(place + 1)) << "the place stops before an answered shop";
  EXPECT_GT(collector.Waiting().WaitingCount(), 0u);
  const int probes = collector.Health().ProbesSent();
  down = false;

  ASSERT_TRUE(WalkedThrough(pausedAt + 30))
      << "field " << ui.ShopIdText() << ", unfinished "
      << collector.Progress().LowestUnfinished().value_or(-1) << ", waiting "
      << collector.Waiting().WaitingCount() << ", state "
      << static_cast<int>(collector.Health().StateAt(clock.Now())) << ", probes "
      << collector.Health().ProbesSent();
  ASSERT_TRUE(EndRun());
  ExpectEveryShopListedOnce(1001, pausedAt + 30);
  EXPECT_EQ(collector.Waiting().FailedCount(), 0u);
  EXPECT_EQ(ui.RetryCounts(), (std::pair<std::size_t, std::size_t>{0, 0}));
  // What reached the marketplace while the walk was paused: what was on its way as the pause
  // began (at most one request per worker), then only the probes.
  EXPECT_LE(askedWhilePaused.load(), 20 + probes + 1);
}

// While the walk is paused, the progress pane shows the pause, and that a probe is out while
// one is, never a shop being collected.
TEST_P(RetryRunTest, WhilePausedTheProgressPaneShowsThePauseAndItsProbesNeverAShop) {
  std::atomic<bool> down{false};
  Serve([&](const std::string&, const std::string&, Page page) -> std::optional<Page> {
    return down ? ServiceUnavailable() : page;
  });
  ui.SetShopIdText("1500");
  ui.SetThreadCountText("4");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return TextToInt(ui.ShopIdText()) >= 1510; }));
  down = true;
  ASSERT_TRUE(WaitFor([&] { return collector.Health().ProbesSent() >= 3; }));
  // Whatever was under way as the pause began has ended: the pane shows the pause.
  const auto during = ui.ProgressHistory();
  ASSERT_FALSE(during.empty());
  EXPECT_EQ(during.back().kind, MemoryUi::ProgressEvent::Kind::Paused);
  down = false;
  const std::int32_t resumedAt = TextToInt(ui.ShopIdText());
  ASSERT_TRUE(WalkedThrough(resumedAt + 10));
  ASSERT_TRUE(EndRun());

  const auto history = ui.ProgressHistory();
  const auto isPause = [](const MemoryUi::ProgressEvent& event) {
    return event.kind == MemoryUi::ProgressEvent::Kind::Paused;
  };
  const auto first = std::find_if(history.begin(), history.end(), isPause);
  const auto last = std::find_if(history.rbegin(), history.rend(), isPause).base();
  ASSERT_NE(first, history.end());
  bool probeShown = false;
  for (auto it = first; it != last; ++it) {
    EXPECT_NE(it->kind, MemoryUi::ProgressEvent::Kind::Collecting)
        << it->shopUrl << " shown during the pause";
    if (isPause(*it) && it->pause.probeOut) {
      probeShown = true;
      EXPECT_EQ(it->pause.reason, PauseReason::Outage);
      EXPECT_EQ(it->pause.nextTry, std::chrono::seconds(0));
    }
  }
  EXPECT_TRUE(probeShown);
  // The walk ran again, and showed its shops again.
  EXPECT_TRUE(std::any_of(last, history.end(), [](const MemoryUi::ProgressEvent& event) {
    return event.kind == MemoryUi::ProgressEvent::Kind::Collecting;
  }));
}

// A probe asks whether the marketplace is back: its failure is the marketplace's and uses none
// of its shop's tries, however many probes the outage takes.
TEST_P(RetryRunTest, AnOutageSpanningMoreProbesThanTriesFailsNoShop) {
  RetryPolicy policy;
  policy.maxAttempts = 3;
  policy.firstBackoff = milliseconds(10);
  policy.longestBackoff = milliseconds(20);
  // The pause comes before any shop can use its tries on the way down.
  policy.outageFailures = 2;
  collector.SetRetryPolicy(policy);
  std::atomic<bool> down{false};
  Serve([&](const std::string&, const std::string&, Page page) -> std::optional<Page> {
    return down ? ServiceUnavailable() : page;
  });
  ui.SetShopIdText("2000");
  ui.SetThreadCountText("4");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return TextToInt(ui.ShopIdText()) >= 2010; }));
  down = true;
  // Four times as many probes as a shop has tries, in one outage: the waiting shops have taken
  // their turns as the probe, round after round, with a new shop between the rounds.
  ASSERT_TRUE(WaitFor([&] { return collector.Health().ProbesSent() >= 12; }));
  EXPECT_EQ(collector.Health().StateAt(clock.Now()), MarketplaceHealth::State::Outage);
  down = false;
  const std::int32_t resumedAt = TextToInt(ui.ShopIdText());
  EXPECT_TRUE(WalkedThrough(resumedAt + 20));
  ASSERT_TRUE(EndRun());

  EXPECT_EQ(collector.Waiting().FailedCount(), 0u);
  for (const auto& shop : collector.Waiting().FailedShops()) {
    ADD_FAILURE() << "failed for good: " << shop.id << " after " << shop.attempts << ", "
                  << shop.reason;
  }
  ExpectEveryShopListedOnce(2001, resumedAt + 20);
  EXPECT_EQ(ui.RetryCounts(), (std::pair<std::size_t, std::size_t>{0, 0}));
}

// The rating host is part of the marketplace: while it does not answer, the walk pauses though
// every home page answers, and no shop uses up its tries on it.
TEST_P(RetryRunTest, AnOutageOfTheRatingHostAlonePausesTheWalkAndLosesNoShop) {
  std::atomic<bool> ratingDown{false};
  std::atomic<int> ratingAskedWhilePaused{0};
  Serve([&](const std::string& host, const std::string&, Page page) -> std::optional<Page> {
    if (ratingDown && host == pages::RatingHost()) {
      if (WalkPaused()) ++ratingAskedWhilePaused;
      page.misbehaviour = Misbehaviour::ResetBeforeAnswer;
    }
    return page;
  });
  ui.SetShopIdText("3000");
  ui.SetThreadCountText("20");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return TextToInt(ui.ShopIdText()) >= 3010; }));
  ratingDown = true;
  // Down until the walk has paused and a probe has failed at the rating host.
  ASSERT_TRUE(
      WaitFor([&] { return !ui.Pauses().empty() || collector.Waiting().FailedCount() > 0; }));
  ASSERT_FALSE(ui.Pauses().empty())
      << "the walk never paused; failed for good: " << collector.Waiting().FailedCount();
  EXPECT_EQ(ui.Pauses().front().reason, PauseReason::Outage);
  ASSERT_TRUE(WaitFor([&] { return collector.Health().ProbesSent() >= 2; }));
  const int probes = collector.Health().ProbesSent();
  const std::int32_t pausedAt = TextToInt(ui.ShopIdText());
  ratingDown = false;

  ASSERT_TRUE(WalkedThrough(pausedAt + 30));
  ASSERT_TRUE(EndRun());
  EXPECT_EQ(collector.Waiting().FailedCount(), 0u);
  ExpectEveryShopListedOnce(3001, pausedAt + 30);
  // While the walk was paused the rating host saw what was on its way as the pause began (a
  // request per worker) and then only the probes.
  EXPECT_LE(ratingAskedWhilePaused.load(), 20 + probes + 1);
}

// A shop that fails on its own must not keep the walk paused by being the probe each time: after
// each round of the waiting shops, a new shop is asked.
TEST_P(RetryRunTest, AShopThatAlwaysFailsDoesNotHoldThePauseAfterTheMarketplaceReturns) {
  RetryPolicy policy;
  policy.maxAttempts = 1000;
  policy.firstBackoff = milliseconds(10);
  policy.longestBackoff = milliseconds(20);
  collector.SetRetryPolicy(policy);
  std::atomic<bool> down{false};
  Serve([&](const std::string& host, const std::string&, Page page) -> std::optional<Page> {
    if (down || host == pages::ShopHost(2103)) return ServiceUnavailable();
    return page;
  });
  ui.SetShopIdText("2100");
  ui.SetThreadCountText("2");
  collector.OnStartClicked();
  // 2103 waits first, long before the outage.
  ASSERT_TRUE(WaitFor([&] { return market.RequestsTo(pages::ShopHost(2103)).size() >= 2; }));
  ASSERT_TRUE(WaitFor([&] { return TextToInt(ui.ShopIdText()) >= 2110; }));
  down = true;
  ASSERT_TRUE(WaitFor([&] { return collector.Health().ProbesSent() >= 3; }));
  down = false;
  const std::int32_t resumedAt = TextToInt(ui.ShopIdText());
  ASSERT_TRUE(WaitFor([&] { return TextToInt(ui.ShopIdText()) > resumedAt + 20; }))
      << "still paused; probes " << collector.Health().ProbesSent();
  ASSERT_TRUE(EndRun());
}

// At the walk's end nothing new can be asked: a last shop that never answers uses its tries as
// the probe, fails for good, and the walk ends.
TEST_P(RetryRunTest, AWalkWhoseLastShopNeverAnswersStillEnds) {
  RetryPolicy policy;
  policy.maxAttempts = 8;
  policy.firstBackoff = milliseconds(10);
  policy.longestBackoff = milliseconds(20);
  policy.outageFailures = 3;
  collector.SetRetryPolicy(policy);
  Serve([&](const std::string& host, const std::string&, Page page) -> std::optional<Page> {
    if (host == pages::ShopHost(2205)) return ServiceUnavailable();
    return page;
  });
  collector.SetLastShopId(2205);
  ui.SetShopIdText("2200");
  ui.SetThreadCountText("2");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return collector.WalkEnded(); }))
      << "probes " << collector.Health().ProbesSent() << ", waiting "
      << collector.Waiting().WaitingCount();
  ASSERT_TRUE(EndRun());
  // Its own failures paused the walk; it was asked until its tries were used up.
  EXPECT_FALSE(ui.Pauses().empty());
  const auto failed = collector.Waiting().FailedShops();
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].id, 2205);
  EXPECT_EQ(failed[0].attempts, 8);
  EXPECT_GE(market.RequestsTo(pages::ShopHost(2205)).size(), 8u);
}

// A pause that begins with no shop waiting sends its probe with the next new shop. A pass that
// cannot hand one out (the store is behind, the next ID is listed already) must leave the probe
// to a later pass; the walk then ends its pause once the marketplace answers again.
class LostProbeTest : public RetryTest, public ::testing::WithParamInterface<NamedPolicy> {
 protected:
  LostProbeTest() : RetryTest(GetParam().policy) {
    // One try each: the shops that fail as the marketplace goes down fail for good, so none is
    // left waiting to be the probe.
    RetryPolicy policy = collector.Policy();
    policy.maxAttempts = 1;
    collector.SetRetryPolicy(policy);
    Serve([this](const std::string&, const std::string&, Page page) -> std::optional<Page> {
      return down ? ServiceUnavailable() : page;
    });
    collector.SetResultSink(&sink);
    ui.SetShopIdText("1000");
    ui.SetThreadCountText("5");
  }
  // The engine's work ends before the sink and the flags it reads go.
  ~LostProbeTest() override {
    EndRun();
    collector.SetResultSink(nullptr);
  }

  bool Paused() {
    return collector.Health().StateAt(clock.Now()) == MarketplaceHealth::State::Outage;
  }

  // Waits for a request to shop `id`'s home page.
  bool Requested(std::int32_t id) {
    return WaitFor([&] { return !market.RequestsTo(pages::ShopHost(id)).empty(); });
  }

  // With the marketplace back, the walk goes on past `id` with every shop answered.
  void ExpectTheWalkGoesOnPast(std::int32_t id) {
    down = false;
    ASSERT_TRUE(WalkedThrough(id))
        << "field " << ui.ShopIdText() << ", probe out " << collector.Health().ProbeOut();
    ASSERT_TRUE(EndRun());
  }

  std::atomic<bool> down{true};
  std::atomic<bool> storeBehind{false};
  std::atomic<bool> pauseBegan{false};
  MemorySink sink;
};

INSTANTIATE_TEST_SUITE_P(Policies, LostProbeTest, ::testing::ValuesIn(EveryPolicy()), PolicyName);

TEST_P(LostProbeTest, APauseThatBeginsWhileTheStoreIsBehindProbesOnceTheStoreCatchesUp) {
  // The store falls behind once 1005 is handed out: the five shops out fail, and the walk
  // pauses while the store holds it.
  storeBehind = true;
  sink.SetCongestedWhen([&] { return storeBehind && TextToInt(ui.ShopIdText()) >= 1005; });
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return Paused(); }));
  // A few passes of the dispatcher in the pause, the store still behind.
  const std::size_t asked = sink.CongestedAsked();
  ASSERT_TRUE(WaitFor([&] { return sink.CongestedAsked() >= asked + 5; }));
  EXPECT_EQ(ui.ShopIdText(), "1005");
  EXPECT_EQ(market.RequestsTo(pages::ShopHost(1006)).size(), 0u);

  // The marketplace is back while the store still holds the walk; then the store catches up.
  down = false;
  storeBehind = false;
  ExpectTheWalkGoesOnPast(1030);
  ExpectEveryShopListedOnce(1006, 1030);
  // The first request after the five failures was the probe, with the first new shop.
  const auto requests = market.Requests();
  ASSERT_GT(requests.size(), 5u);
  EXPECT_EQ(requests[5].host, pages::ShopHost(1006));
}

TEST_P(LostProbeTest, APauseWhoseFirstNewShopIsListedAlreadyProbesWithTheNextOne) {
  // The walk comes back with 1006 listed (an interrupted run answered it). The store holds the
  // walk at 1005 until the pause begins, so the pause's first new shop is 1006.
  collector.SetAlreadyListed({1006});
  sink.SetCongestedWhen([&] {
    if (Paused()) pauseBegan = true;
    return !pauseBegan && TextToInt(ui.ShopIdText()) >= 1005;
  });
  collector.OnStartClicked();
  ASSERT_TRUE(Requested(1007)) << "no probe went out after the listed shop";
  EXPECT_TRUE(Paused());
  EXPECT_EQ(market.RequestsTo(pages::ShopHost(1006)).size(), 0u);
  ExpectTheWalkGoesOnPast(1030);
  ExpectEveryShopListedOnce(1007, 1030);
}

// The marketplace asks for a pause on one shop's page, in seconds or as a date.
struct RetryAfterCase {
  std::string name;
  // The header's value, given the engine's calendar time when it is sent.
  std::function<std::string(Clock::CalendarTime)> value;
  // The least and the most the pause may be, on the engine's clock.
  std::chrono::seconds atLeast;
  std::chrono::seconds atMost;
};

// An HTTP date `from` after the next whole second of `now` (a date counts whole seconds: the
// pause is then at least `from`, and less than a second more).
std::string HttpDateAfter(Clock::CalendarTime now, std::chrono::seconds from) {
  const auto when = static_cast<std::time_t>(
      std::chrono::ceil<std::chrono::seconds>(now.time_since_epoch()).count() + from.count());
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return text;
}

class RetryAfterTest
    : public RetryTest,
      public ::testing::WithParamInterface<std::tuple<RetryAfterCase, NamedPolicy>> {
 protected:
  RetryAfterTest() : RetryTest(std::get<NamedPolicy>(GetParam()).policy) {}
  const RetryAfterCase& Case() const { return std::get<RetryAfterCase>(GetParam()); }
};

TEST_P(RetryAfterTest, NoRequestReachesTheMarketplaceBeforeThePauseIsOver) {
  std::atomic<bool> answered{false};
  Serve([&](const std::string& host, const std::string&, Page page) -> std::optional<Page> {
    if (host == pages::ShopHost(3003) && !answered.exchange(true)) {
      page.status = 429;
      page.body = "slow down";
      page.headers = {{"Retry-After", Case().value(clock.CalendarNow())}};
    }
    return page;
  });
  ui.SetShopIdText("3000");
  // One worker: the request that met the pause is the only one in flight.
  ui.SetThreadCountText("1");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] {
    const auto rows = ui.Rows();
    return std::count_if(rows.begin(), rows.end(),
                         [](const ResultRow& row) { return row[1] == "S3003"; }) == 1;
  }));
  ASSERT_TRUE(EndRun());

  ASSERT_FALSE(ui.Pauses().empty());
  EXPECT_EQ(ui.Pauses().front().reason, PauseReason::RateLimited);
  // Every request after the one that was asked to wait came once the pause was over; the shop
  // that met it was tried again, and not long after.
  const auto arrivals = Arrivals();
  const auto paused = std::find_if(arrivals.begin(), arrivals.end(), [](const Arrival& arrival) {
    return arrival.host == pages::ShopHost(3003);
  });
  ASSERT_NE(paused, arrivals.end());
  std::optional<Clock::TimePoint> triedAgain;
  for (auto later = std::next(paused); later != arrivals.end(); ++later) {
    EXPECT_GE(later->at - paused->at, Case().atLeast) << later->host << later->path;
    if (later->host == pages::ShopHost(3003) && !triedAgain) triedAgain = later->at;
  }
  ASSERT_TRUE(triedAgain.has_value()) << "the paused shop was not tried again";
  EXPECT_LE(*triedAgain - paused->at, Case().atMost);
  EXPECT_EQ(collector.Waiting().FailedCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RetryAfterTest,
    ::testing::Combine(
        ::testing::Values(RetryAfterCase{"Seconds",
                                         [](Clock::CalendarTime) { return std::string("2"); },
                                         std::chrono::seconds(2), std::chrono::seconds(3)},
                          RetryAfterCase{"Date",
                                         [](Clock::CalendarTime now) {
                                           return HttpDateAfter(now, std::chrono::seconds(2));
                                         },
                                         std::chrono::seconds(2), std::chrono::seconds(4)}),
        ::testing::ValuesIn(EveryPolicy())),
    [](const ::testing::TestParamInfo<std::tuple<RetryAfterCase, NamedPolicy>>& info) {
      return std::get<RetryAfterCase>(info.param).name + std::get<NamedPolicy>(info.param).name;
    });

TEST_P(RetryRunTest, AShopThatAlwaysFailsIsRecordedAsFailedWhileTheWalkGoesOn) {
  Serve([&](const std::string& host, const std::string&, Page page) -> std::optional<Page> {
    if (host == pages::ShopHost(4002)) return ErrorPage(500);
    return page;
  });
  ui.SetShopIdText("4000");
  ui.SetThreadCountText("3");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return collector.Waiting().FailedCount() == 1; }));
  // Until a shop well after it is listed (the field says only what was handed out).
  ASSERT_TRUE(WaitFor([&] {
    const auto ids = RowIds();
    return std::count(ids.begin(), ids.end(), 4038) == 1;
  }));
  ASSERT_TRUE(EndRun());

  const auto failed = collector.Waiting().FailedShops();
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].id, 4002);
  EXPECT_EQ(failed[0].attempts, 6);
  EXPECT_EQ(failed[0].reason, "HTTP 500");
  const auto arrivals = Arrivals();
  EXPECT_EQ(std::count_if(arrivals.begin(), arrivals.end(),
                          [](const Arrival& a) { return a.host == pages::ShopHost(4002); }),
            6);
  // The shops after it were walked meanwhile; the place stays before the failed one.
  const auto ids = RowIds();
  EXPECT_TRUE(std::count(ids.begin(), ids.end(), 4038) == 1);
  EXPECT_EQ(collector.ProgressText(), "4001");
  EXPECT_EQ(ui.RetryCounts(), (std::pair<std::size_t, std::size_t>{0, 1}));
  const RunFigures figures = collector.Figures();
  EXPECT_EQ(figures.waiting, 0u);
  EXPECT_EQ(figures.failed, 1u);
  EXPECT_EQ(figures.rows, ui.Rows().size());
  EXPECT_EQ(figures.place, "4001");
}

TEST_P(RetryRunTest, ARatingPageThatFailsForAWhileIsReadOnTheRetry) {
  std::atomic<int> ratingTries{0};
  Serve([&](const std::string&, const std::string& path, Page page) -> std::optional<Page> {
    if (path == "/user-rate-u5004.htm" && ++ratingTries <= 2) {
      return ErrorPage(502);
    }
    return page;
  });
  ui.SetShopIdText("5000");
  ui.SetThreadCountText("2");
  collector.OnStartClicked();
  ASSERT_TRUE(WalkedThrough(5010));
  ASSERT_TRUE(EndRun());
  EXPECT_EQ(ratingTries.load(), 3);
  ExpectEveryShopListedOnce(5001, 5010);
}

TEST_P(RetryRunTest, WaitingShopsHoldNoWorker) {
  // Every other existing shop answers 500 for ever, so answered pages come between the failures
  // and the walk never pauses.
  RetryPolicy policy;
  policy.maxAttempts = 1000;
  policy.firstBackoff = milliseconds(2000);
  policy.longestBackoff = milliseconds(4000);
  collector.SetRetryPolicy(policy);
  Serve([&](const std::string& host, const std::string&, Page page) -> std::optional<Page> {
    if (const auto id = pages::ShopIdOfHost(host); id && *id % 6 == 0) {
      return ErrorPage(500);
    }
    return page;
  });
  ui.SetShopIdText("6000");
  ui.SetThreadCountText("2");
  collector.OnStartClicked();
  // Far more shops wait than there are workers, and new shops are still served.
  ASSERT_TRUE(WaitFor([&] { return collector.Waiting().WaitingCount() >= 12; }));
  const std::int32_t then = TextToInt(ui.ShopIdText());
  ASSERT_TRUE(WaitFor([&] {
    const auto ids = RowIds();
    return std::any_of(ids.begin(), ids.end(), [then](std::int32_t id) { return id > then; });
  }));
  EXPECT_TRUE(ui.Pauses().empty());
  ASSERT_TRUE(EndRun());
}

TEST_P(RetryRunTest, StopDuringAPauseEndsTheRunLikeAnyStop) {
  Serve([&](const std::string&, const std::string&, Page) -> std::optional<Page> {
    return ServiceUnavailable();
  });
  ui.SetShopIdText("7000");
  ui.SetThreadCountText("3");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return !ui.Pauses().empty(); }));
  // The figures show the pause the window shows.
  const RunFigures paused = collector.Figures();
  ASSERT_TRUE(paused.paused);
  EXPECT_EQ(*paused.paused, PauseReason::Outage);
  EXPECT_FALSE(paused.stopped);
  collector.OnStopClicked();
  ASSERT_TRUE(WaitFor([&] { return ui.Frozen(); }));
  EXPECT_TRUE(collector.Figures().stopped);
  // The stop sequence ended the dispatcher and closed its handle.
  EXPECT_EQ(collector.Run().DispatcherThread.load(), 0u);
  EXPECT_TRUE(collector.Run().WorkerPool.WaitEnded(std::chrono::seconds(20)));
  // Nothing was answered: the place is where the run started.
  EXPECT_EQ(collector.ProgressText(), "7000");
}

// With a result sink, every answer is reported before the place that covers it, failed shops
// are kept on record so the place moves past them, and the next Start tries them first.
TEST_P(RetryRunTest, AnswersAreReportedBeforeThePlaceThatCoversThem) {
  MemorySink sink;
  collector.SetResultSink(&sink);
  Serve([&](const std::string& host, const std::string&, Page page) -> std::optional<Page> {
    if (host == pages::ShopHost(8004)) return ErrorPage(500);
    return page;
  });
  ui.SetShopIdText("8000");
  ui.SetThreadCountText("5");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return TextToInt(sink.LastPlace()) >= 8040; }));
  ASSERT_TRUE(EndRun());

  std::set<std::int32_t> reported;
  std::int32_t lastPlace = 8000;
  for (const auto& event : sink.Events()) {
    if (event.kind != MemorySink::Event::Kind::Place) {
      EXPECT_TRUE(reported.insert(event.shopId).second) << "shop " << event.shopId << " twice";
      continue;
    }
    const std::int32_t place = TextToInt(event.place);
    EXPECT_GE(place, lastPlace) << "the place went back";
    for (std::int32_t id = 8001; id <= place; ++id) {
      EXPECT_TRUE(reported.contains(id)) << "place " << place << " before shop " << id;
    }
    lastPlace = place;
  }
  // The shop that always failed is on record and the place went past it.
  ASSERT_EQ(sink.FailedShops().size(), 1u);
  EXPECT_EQ(sink.FailedShops()[0].shopId, 8004);
  EXPECT_EQ(sink.FailedShops()[0].reason, "HTTP 500");
  EXPECT_GT(lastPlace, 8004);
  for (const auto& event : sink.Events()) {
    if (event.kind == MemorySink::Event::Kind::Row) {
      EXPECT_TRUE(Exists(event.shopId));
    } else if (event.kind == MemorySink::Event::Kind::Answer) {
      EXPECT_EQ(event.outcome, ShopOutcome::NoShop);
      EXPECT_FALSE(Exists(event.shopId));
    }
  }
  EXPECT_EQ(ui.RetryCounts(), (std::pair<std::size_t, std::size_t>{0, 1}));
}

TEST_P(RetryRunTest, ANewStartTriesTheFailedShopsOnRecordFirst) {
  MemorySink sink;
  sink.SetFailedShops({{9012, 6, "HTTP 503"}, {9003, 6, "connect refused"}});
  collector.SetResultSink(&sink);
  // The counts show the shops on record before anything runs.
  EXPECT_EQ(ui.RetryCounts(), (std::pair<std::size_t, std::size_t>{0, 2}));
  Serve();
  ui.SetShopIdText("9100");
  ui.SetThreadCountText("1");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return TextToInt(sink.LastPlace()) >= 9105; }));
  ASSERT_TRUE(EndRun());

  // The two on record first, oldest first, then the walk from where it stood.
  const auto arrivals = Arrivals();
  ASSERT_GE(arrivals.size(), 4u);
  EXPECT_EQ(arrivals[0].host, pages::ShopHost(9012));
  EXPECT_EQ(arrivals[1].host, pages::RatingHost());  // its rating page: it exists
  EXPECT_EQ(arrivals[2].host, pages::ShopHost(9003));
  EXPECT_EQ(arrivals[4].host, pages::ShopHost(9101));
  EXPECT_TRUE(sink.FailedShops().empty());
  EXPECT_EQ(ui.RetryCounts(), (std::pair<std::size_t, std::size_t>{0, 0}));
  // Answering them did not move the place back.
  for (const auto& event : sink.Events()) {
    if (event.kind == MemorySink::Event::Kind::Place) {
      EXPECT_GE(TextToInt(event.place), 9100);
    }
  }
}

}  // namespace
}  // namespace shopwalk::test
