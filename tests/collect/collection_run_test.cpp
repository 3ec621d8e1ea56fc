// Whole runs: Start, the dispatcher's walk over the shop-ID field, Stop, closing.
#include <algorithm>
#include <atomic>
#include <set>

#include "tests/collect/engine_fixture.h"

namespace shopwalk::test {
namespace {

class RunTest : public EngineTest {
 protected:
  explicit RunTest(TestMarketplace::Options options = {}) : EngineTest(options) {
    collector.SetPace(std::chrono::milliseconds(10));
  }

  // Shop IDs whose home page was requested, in request order.
  std::vector<std::int32_t> RequestedShops() {
    std::vector<std::int32_t> ids;
    for (const auto& request : market.Requests()) {
      if (request.host.rfind("shop", 0) == 0) {
        ids.push_back(static_cast<std::int32_t>(std::stoll(request.host.substr(4))));
      }
    }
    return ids;
  }

  // How many rating pages were requested.
  std::size_t RatingRequestCount() {
    std::size_t count = 0;
    for (const auto& request : market.Requests()) count += request.host == pages::RatingHost();
    return count;
  }

  // Shop `id` with every field; its reputation is its ID.
  static pages::Shop ExistingShop(std::int32_t id) {
    pages::Shop shop;
    shop.id = id;
    shop.name = "S" + std::to_string(id);
    shop.messenger = "m" + std::to_string(id);
    shop.ratingToken = "u" + std::to_string(id) + ".htm";
    shop.openingDate = "2020-01-01";
    shop.reputation = std::to_string(id);
    return shop;
  }

  // Every shop exists and answers after `stallMs`, and once `homeGate` (if any) is open.
  void ServeSlowShops(int stallMs, std::shared_ptr<AnswerGate> homeGate = nullptr) {
    market.SetFallbackGenerator(
        [stallMs, homeGate](const std::string& host,
                            const std::string& path) -> std::optional<Page> {
          Page page;
          page.misbehaviour = Misbehaviour::StallBeforeAnswer;
          page.stallMs = stallMs;
          page.gate = homeGate;
          if (host.rfind("shop", 0) == 0) {
            page.body = pages::HomePage(ExistingShop(std::stoi(host.substr(4))));
            return page;
          }
          if (path.rfind("/user-rate-", 0) == 0) {
            page.misbehaviour = Misbehaviour::None;
            page.gate = nullptr;
            page.body = Utf8ToGbk("卖家信用：5\r\n");
            return page;
          }
          return std::nullopt;
        });
  }

  // Every shop exists and answers at once; its rating page answers after 100 to 200 ms.
  void ServeSlowRatings() {
    market.SetFallbackGenerator(
        [](const std::string& host, const std::string& path) -> std::optional<Page> {
          Page page;
          if (host.rfind("shop", 0) == 0) {
            page.body = pages::HomePage(ExistingShop(std::stoi(host.substr(4))));
            return page;
          }
          const std::string prefix = "/user-rate-u";
          if (path.rfind(prefix, 0) == 0) {
            const std::int32_t id = std::stoi(path.substr(prefix.size()));
            page.misbehaviour = Misbehaviour::StallBeforeAnswer;
            page.stallMs = 100 + id % 101;
            page.body = pages::RatingPage(ExistingShop(id));
            return page;
          }
          return std::nullopt;
        });
  }
};

TEST_F(RunTest, WalkStartsAfterTheFieldAndAdvancesItOnePerPass) {
  ui.SetShopIdText("109428412");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return market.RequestCount() >= 5; }));
  ASSERT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));

  const auto ids = RequestedShops();
  ASSERT_GE(ids.size(), 5u);
  // Requests race each other: compare the sets. The walk starts above the start value, and
  // the field shows the last ID handed out.
  const std::set<std::int32_t> unique(ids.begin(), ids.end());
  EXPECT_EQ(unique.size(), ids.size());
  EXPECT_EQ(*unique.begin(), 109428413);
  EXPECT_GE(TextToInt(ui.ShopIdText()), *unique.rbegin());
  EXPECT_EQ(collector.Run().WorkerPool.StartedThreads(), 10);
}

TEST_F(RunTest, FieldWithoutNumberStartsAtOneAndThreadCountIsTrimmed) {
  ui.SetShopIdText("abc");
  ui.SetThreadCountText("  5 ");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return market.RequestCount() >= 3; }));
  ASSERT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));
  const auto ids = RequestedShops();
  EXPECT_EQ(*std::min_element(ids.begin(), ids.end()), 1);
  EXPECT_EQ(collector.Run().WorkerPool.StartedThreads(), 5);
}

TEST_F(RunTest, EmptyThreadCountMeansTwentyWorkersAndSecondStartIsIgnored) {
  ui.SetShopIdText("1000");
  ui.SetThreadCountText("");
  collector.OnStartClicked();
  const ThreadHandle dispatcher = collector.Run().DispatcherThread.load();
  const LockHandle lock = collector.Run().ResultLock.load();
  collector.OnStartClicked();
  EXPECT_EQ(collector.Run().DispatcherThread.load(), dispatcher);
  EXPECT_EQ(collector.Run().ResultLock.load(), lock);
  ASSERT_TRUE(WaitFor([&] { return market.RequestCount() >= 20; }));
  ASSERT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));

  EXPECT_EQ(collector.Run().WorkerPool.StartedThreads(), 20);
  // One dispatcher: no shop submitted twice.
  const auto ids = RequestedShops();
  const std::set<std::int32_t> unique(ids.begin(), ids.end());
  EXPECT_EQ(unique.size(), ids.size());
  EXPECT_EQ(*unique.begin(), 1001);
}

TEST_F(RunTest, StopWithQueuedTasksEndsTheRunOnceAndKeepsTheWalksPlace) {
  ServeSlowShops(300);
  UseManualClock(true);
  ui.SetShopIdText("500");
  ui.SetThreadCountText("2");
  collector.OnStartClicked();
  const ThreadHandle dispatcher = collector.Run().DispatcherThread.load();
  // Two workers busy for 300 ms each while the dispatcher queues one shop every 10 ms.
  ASSERT_TRUE(WaitFor([&] { return TextToInt(ui.ShopIdText()) >= 512; }));
  collector.OnStopClicked();

  ASSERT_TRUE(WaitFor([&] { return ui.Frozen(); }));
  ASSERT_TRUE(collector.Run().WorkerPool.WaitEnded(Hang));
  // The dispatcher was ended and its handle closed.
  EXPECT_EQ(collector.Run().DispatcherThread.load(), 0u);
  EXPECT_FALSE(CloseThreadHandle(dispatcher));

  // The dispatcher left: with time standing still a running one would wait on the clock for
  // its next pass, for ever; and as time moves on, the field stays where it is.
  driver->Pause();
  ASSERT_TRUE(WaitFor([&] { return clock.Waiters() == 0; })) << "the dispatcher still waits";
  const std::string stoppedAt = ui.ShopIdText();
  for (int pass = 0; pass < 20; ++pass) {
    clock.Advance(std::chrono::milliseconds(10));
    EXPECT_EQ(ui.ShopIdText(), stoppedAt);
  }

  // The tasks that were fetching when Stop came still added their rows; every queued one ran
  // the stop sequence instead. Judged by what the marketplace answered: the walk resumes at the
  // first shop it did not answer, and every shop before it is listed.
  const std::int32_t place = TextToInt(collector.ProgressText());
  const auto answered = [&](std::int32_t id) {
    return ShopAnswered(id, pages::RatingPath(ExistingShop(id)));
  };
  EXPECT_GE(place, 501) << "no shop was finished";
  for (std::int32_t id = 501; id <= place; ++id) EXPECT_TRUE(answered(id)) << id;
  EXPECT_FALSE(answered(place + 1)) << "the place stops before an answered shop";
  EXPECT_EQ(ui.Rows().size(), static_cast<std::size_t>(place - 500));
  EXPECT_LT(place, TextToInt(stoppedAt));
}

TEST_F(RunTest, WorkersTakeTurnsFetchingRatingsAndAppendingRows) {
  ServeSlowRatings();
  ui.SetShopIdText("3000");
  ui.SetThreadCountText("20");
  collector.OnStartClicked();
  // Twenty workers get shops ten milliseconds apart, and each rating page takes longer than
  // that to answer: only the result lock keeps their rating fetches from overlapping.
  constexpr std::size_t Ratings = 12;
  ASSERT_TRUE(WaitFor([&] { return RatingRequestCount() >= Ratings; }, std::chrono::seconds(60)));
  // Read before the run ends: ending it deletes the lock and lets the waiting workers go.
  const std::size_t mostRatingsAtOnce = market.MostInFlight(pages::RatingHost());
  const std::size_t mostRequestsAtOnce = market.MostInFlight("");
  ASSERT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));

  EXPECT_EQ(collector.Run().WorkerPool.StartedThreads(), 20);
  EXPECT_GE(mostRequestsAtOnce, 2u) << "the workers never fetched side by side";
  EXPECT_EQ(mostRatingsAtOnce, 1u) << "rating fetches of different workers overlapped";
  // Each rating fetch before the last one seen ended in its shop's row, whole.
  const auto rows = ui.Rows();
  ASSERT_GE(rows.size(), Ratings - 1);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string id =
        std::to_string(TextToInt(rows[i][5].substr(std::string("http://shop").size())));
    EXPECT_EQ(rows[i][2], id);
    EXPECT_EQ(rows[i][3], "m" + id);
  }
}

// The command line's policy lets rating fetches of different workers overlap, where the window's
// makes them take turns; the rows stay whole.
TEST_F(RunTest, UnderTheCommandLinePolicyRatingFetchesOverlapAndRowsStayWhole) {
  collector.SetEnginePolicy(EnginePolicy::CommandLine(0));
  ServeSlowRatings();
  ui.SetShopIdText("3000");
  ui.SetThreadCountText("20");
  collector.OnStartClicked();
  constexpr std::size_t Ratings = 12;
  ASSERT_TRUE(WaitFor([&] { return RatingRequestCount() >= Ratings; }, std::chrono::seconds(60)));
  const std::size_t mostRatingsAtOnce = market.MostInFlight(pages::RatingHost());
  ASSERT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20), std::chrono::seconds(10)));

  EXPECT_GE(mostRatingsAtOnce, 2u) << "rating fetches still took turns";
  const auto rows = ui.Rows();
  ASSERT_GE(rows.size(), Ratings - 1);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string id =
        std::to_string(TextToInt(rows[i][5].substr(std::string("http://shop").size())));
    EXPECT_EQ(rows[i][1], "S" + id);
    EXPECT_EQ(rows[i][2], id);
    EXPECT_EQ(rows[i][3], "m" + id);
  }
}

// A marketplace that keeps idle connections open far longer than a case runs: a connection found
// closed was closed by the client.
class KeptConnectionTest : public RunTest {
 protected:
  KeptConnectionTest() : RunTest(TestMarketplace::Options{std::chrono::seconds(60)}) {}
};

// Under the command line's policy a worker keeps its connection to the rating host from shop to
// shop, and closes the connection to each shop's own host once its page has arrived. Under the
// window's, every task connects anew.
TEST_F(KeptConnectionTest, UnderTheCommandLinePolicyWorkersKeepTheirRatingConnection) {
  constexpr std::size_t Workers = 4;
  ServeSlowShops(0);
  collector.SetEnginePolicy(EnginePolicy::CommandLine(0));
  ui.SetShopIdText("4000");
  ui.SetThreadCountText(std::to_string(Workers));
  collector.SetLastShopId(4040);
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return collector.WalkEnded(); }));
  ASSERT_EQ(ui.Rows().size(), 40u);

  std::set<int> homeConnections, ratingConnections;
  std::size_t homeRequests = 0;
  for (const auto& request : market.Requests()) {
    if (request.host == pages::RatingHost()) {
      ratingConnections.insert(request.clientPort);
    } else {
      homeConnections.insert(request.clientPort);
      ++homeRequests;
    }
  }
  EXPECT_EQ(RatingRequestCount(), 40u);
  EXPECT_LE(ratingConnections.size(), Workers) << "rating connections were not kept";
  // Each shop's host on a connection of its own, used for nothing else.
  EXPECT_EQ(homeConnections.size(), homeRequests);
  for (const int port : ratingConnections) EXPECT_EQ(homeConnections.count(port), 0u);
  // Only the rating connections stay open: the client closes the others (the server would not
  // for a minute).
  EXPECT_TRUE(WaitFor([&] { return market.OpenConnections() <= Workers; }))
      << market.OpenConnections() << " connections open";
  ASSERT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));
}

TEST_F(RunTest, UnderTheWindowPolicyEveryTaskConnectsAnew) {
  ServeSlowShops(0);
  ui.SetShopIdText("4100");
  ui.SetThreadCountText("4");
  collector.SetLastShopId(4120);
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return collector.WalkEnded(); }));
  ASSERT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));
  EXPECT_EQ(RatingRequestCount(), 20u);
  EXPECT_EQ(market.ConnectionsUsed(pages::RatingHost()), 20u);
  EXPECT_EQ(market.ConnectionCount(), 40u);
}

// However many workers there are, no more requests than the limit reach the marketplace at once.
TEST_F(RunTest, TheLimitOfRequestsAtOnceHoldsWhateverTheWorkers) {
  constexpr std::size_t Limit = 3;
  ServeSlowShops(100);
  collector.SetEnginePolicy(EnginePolicy::CommandLine(static_cast<int>(Limit)));
  ui.SetShopIdText("5000");
  ui.SetThreadCountText("10");
  collector.SetLastShopId(5030);
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return collector.WalkEnded(); }, std::chrono::seconds(60)));
  ASSERT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));
  EXPECT_LE(market.MostInFlight(""), Limit);
  EXPECT_GE(market.MostInFlight(""), 2u) << "the workers never fetched side by side";
  EXPECT_EQ(ui.Rows().size(), 30u);
}

// A task waiting for its turn does not hold up the program's end.
TEST_F(RunTest, ClosingWhileTasksWaitForTheirTurnEndsThem) {
  ServeSlowShops(60000);
  collector.SetEnginePolicy(EnginePolicy::CommandLine(1));
  ui.SetShopIdText("5100");
  ui.SetThreadCountText("4");
  collector.OnStartClicked();
  // One request hangs at the server; the other workers wait for their turn.
  ASSERT_TRUE(
      WaitFor([&] { return market.RequestCount() >= 1 && TextToInt(ui.ShopIdText()) >= 5104; }));
  EXPECT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));
  EXPECT_EQ(market.RequestCount(), 1u);
  EXPECT_TRUE(ui.Rows().empty());
  EXPECT_EQ(collector.ProgressText(), "5100");
}

// Flat out (pace 0) the dispatcher hands out a shop as soon as the pool's queue has room for it:
// the walk stays a queue's length ahead of the workers instead of queueing every shop at once,
// and ends by itself once every shop is answered.
TEST_F(RunTest, FlatOutTheWalkStaysJustAheadOfItsWorkers) {
  // The home pages are held until the test lets them go: the four workers sit on four of them.
  auto gate = std::make_shared<AnswerGate>();
  ServeSlowShops(0, gate);
  UseManualClock(false);
  collector.SetPace(std::chrono::milliseconds(0));
  ui.SetShopIdText("6000");
  ui.SetThreadCountText("4");
  collector.SetLastShopId(6040);
  collector.OnStartClicked();
  // Four shops at the marketplace. The dispatcher fills the queue behind them once half of it
  // has been taken, or when its wait for that runs out: as the clock moves on, it has a shop
  // queued for every worker, and however often its wait runs out, it hands out nothing more
  // while no worker is free.
  ASSERT_TRUE(WaitFor([&] { return gate->Held() == 4; }));
  for (int pass = 0; pass < 20; ++pass) {
    ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang));
    EXPECT_LE(TextToInt(ui.ShopIdText()), 6008);
    clock.Advance(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang));
  EXPECT_EQ(ui.ShopIdText(), "6008");

  gate->Open();
  driver = std::make_unique<ClockDriver>(clock);
  ASSERT_TRUE(WaitFor([&] { return collector.WalkEnded(); }));
  EXPECT_EQ(ui.Rows().size(), 40u);
  ASSERT_TRUE(EndRun());
}

TEST_F(RunTest, WithoutPoolTheFieldAdvancesAndStopChangesNothingVisible) {
  ui.SetShopIdText("77");
  ui.SetThreadCountText("-3");
  collector.OnStartClicked();
  EXPECT_EQ(collector.Run().WorkerPool.CurrentState(), ThreadPool::State::None);
  collector.OnStopClicked();
  ASSERT_TRUE(WaitFor([&] { return TextToInt(ui.ShopIdText()) >= 85; }));
  EXPECT_FALSE(ui.Frozen());
  EXPECT_EQ(market.RequestCount(), 0u);
  // Nothing was collected: the walk's place is still where it started.
  EXPECT_EQ(collector.ProgressText(), "77");
}

TEST_F(RunTest, WalkStopsAtTheLargestShopId) {
  ui.SetShopIdText("2147483645");
  collector.OnStartClicked();
  const ThreadHandle dispatcher = collector.Run().DispatcherThread.load();
  ASSERT_TRUE(WaitThreadEnded(dispatcher, std::chrono::seconds(20)));
  ASSERT_TRUE(WaitFor([&] { return market.RequestCount() >= 2; }));
  ASSERT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));
  EXPECT_EQ(ui.ShopIdText(), "2147483647");
  const auto ids = RequestedShops();
  EXPECT_EQ(std::set<std::int32_t>(ids.begin(), ids.end()),
            (std::set<std::int32_t>{2147483646, 2147483647}));
}

TEST_F(RunTest, AWalkWithALastShopIdEndsByItselfOnceEveryShopIsAnswered) {
  ServeSlowShops(50);
  ui.SetShopIdText("100");
  ui.SetThreadCountText("4");
  collector.SetLastShopId(110);
  // The host hears of the end once, when every row is in and WalkEnded already says so.
  std::atomic<int> endings{0};
  std::atomic<std::size_t> rowsAtEnd{0};
  collector.OnWalkEnded([&] {
    rowsAtEnd = ui.Rows().size();
    if (collector.WalkEnded()) ++endings;
  });
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return endings.load() > 0; }));
  EXPECT_EQ(ui.ShopIdText(), "110");
  EXPECT_EQ(endings.load(), 1);
  EXPECT_EQ(rowsAtEnd.load(), 10u);
  const auto ids = RequestedShops();
  EXPECT_EQ(std::set<std::int32_t>(ids.begin(), ids.end()),
            (std::set<std::int32_t>{101, 102, 103, 104, 105, 106, 107, 108, 109, 110}));
  EXPECT_EQ(ui.Rows().size(), 10u);
  EXPECT_FALSE(collector.Progress().LowestUnfinished().has_value());
}

TEST_F(RunTest, ShopsAlreadyListedAreWalkedPastWithoutCollectingThem) {
  ServeSlowShops(0);
  ui.SetShopIdText("200");
  collector.SetLastShopId(210);
  collector.SetAlreadyListed({203, 207, 250});
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return collector.WalkEnded(); }));
  const auto ids = RequestedShops();
  EXPECT_EQ(std::set<std::int32_t>(ids.begin(), ids.end()),
            (std::set<std::int32_t>{201, 202, 204, 205, 206, 208, 209, 210}));
  EXPECT_EQ(ui.Rows().size(), 8u);
  // The run's figures count the listed shops as walked, not as found.
  const RunFigures figures = collector.Figures();
  EXPECT_TRUE(figures.started);
  EXPECT_EQ(figures.first, 201);
  EXPECT_EQ(figures.cursor, 210);
  EXPECT_EQ(figures.Walked(), 10);
  EXPECT_EQ(figures.rows, 8u);
  EXPECT_TRUE(figures.walkEnded);
  EXPECT_FALSE(figures.stopped);
  EXPECT_FALSE(figures.paused);
  EXPECT_EQ(figures.place, "210");
}

TEST_F(RunTest, StoppingWithGraceLetsTheShopsInFlightFinish) {
  ServeSlowShops(400);
  ui.SetShopIdText("300");
  ui.SetThreadCountText("3");
  collector.OnStartClicked();
  // Three shops are being fetched and more wait in the queue.
  ASSERT_TRUE(WaitFor([&] { return TextToInt(ui.ShopIdText()) >= 310; }));
  // The three shops being fetched finish within the grace; the queued ones are left unfinished.
  ASSERT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20), std::chrono::seconds(10)));
  EXPECT_GE(ui.Rows().size(), 3u);
  const auto lowest = collector.Progress().LowestUnfinished();
  ASSERT_TRUE(lowest.has_value());
  EXPECT_EQ(*lowest, 301 + static_cast<std::int32_t>(ui.Rows().size()));
}

TEST_F(RunTest, ClosingDuringARunAbortsTransfersAndKeepsUnfinishedShops) {
  ServeSlowShops(60000);
  ui.SetShopIdText("900");
  ui.SetThreadCountText("3");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return market.RequestCount() >= 3; }));
  // Three transfers hang on the server; closing must not wait for them.
  EXPECT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));
  EXPECT_TRUE(ui.Rows().empty());
  EXPECT_EQ(collector.ProgressText(), "900");
}

TEST_F(RunTest, SpinArrowsStepTheThreadCount) {
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"10", 1, "11"}, {"2", -1, "1"}, {"1", -1, "1"},
      {"", -1, "-1"},  {"", 1, "1"},   {"2147483647", 1, "2147483647"},
      {"7", 0, "6"},   {"x9", 1, "1"}};
  for (const auto& [before, direction, after] : cases) {
    ui.SetThreadCountText(before);
    collector.OnThreadCountSpin(direction);
    EXPECT_EQ(ui.ThreadCountText(), after) << before << " " << direction;
  }
}

TEST(ProgressTrackerTest, LowestUnfinishedShopDecidesWhereTheWalkResumes) {
  ProgressTracker tracker;
  EXPECT_EQ(tracker.ProgressText("120"), "120");
  tracker.Submitted(101);
  tracker.Submitted(102);
  tracker.Submitted(102);  // typed back into the field during a run
  tracker.Submitted(103);
  tracker.Finished(101);
  tracker.Finished(102);
  EXPECT_EQ(tracker.ProgressText("103"), "101");  // 102 once more, still in flight
  tracker.Finished(102);
  EXPECT_EQ(tracker.ProgressText("103"), "102");
  tracker.Abandoned(103);
  tracker.Submitted(104);
  tracker.Finished(104);
  EXPECT_EQ(tracker.ProgressText("104"), "102");
  // A cursor moved below the unfinished shops is the earlier place.
  EXPECT_EQ(tracker.ProgressText("50"), "50");
  EXPECT_EQ(tracker.ProgressText(""), "102");
}

}  // namespace
}  // namespace shopwalk::test
