// A walk whose shop IDs come from a work source (a walk shared by several machines), and a walk
// held while its results store cannot keep up.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>

#include "tests/collect/engine_fixture.h"
#include "tests/support/memory_sink.h"

namespace shopwalk::test {
namespace {

// Hands out the given answers in order, then the end.
class ListedWork : public WorkSource {
 public:
  explicit ListedWork(std::deque<Next> answers) : answers_(std::move(answers)) {}
  Next NextShop() override {
    std::lock_guard lock(mutex_);
    if (answers_.empty()) return Next{Next::Kind::End, 0, false};
    Next next = answers_.front();
    answers_.pop_front();
    return next;
  }

 private:
  std::mutex mutex_;
  std::deque<Next> answers_;
};

class SharedWorkTest : public EngineTest {
 protected:
  SharedWorkTest() {
    collector.SetPace(std::chrono::milliseconds(5));
    // Every shop exists.
    market.SetFallbackGenerator(
        [](const std::string& host, const std::string& path) -> std::optional<Page> {
          Page page;
          if (host.rfind("shop", 0) == 0) {
            pages::Shop shop;
            shop.id = std::stoi(host.substr(4));
            shop.name = "S" + std::to_string(shop.id);
            shop.messenger = "m";
            shop.ratingToken = "u" + std::to_string(shop.id) + ".htm";
            page.body = pages::HomePage(shop);
            return page;
          }
          if (path.rfind("/user-rate-", 0) == 0) {
            page.body = Utf8ToGbk("卖家信用：1\r\n");
            return page;
          }
          return std::nullopt;
        });
  }

  std::set<std::int32_t> RequestedShops() {
    std::set<std::int32_t> ids;
    for (const auto& request : market.Requests()) {
      if (request.host.rfind("shop", 0) == 0) ids.insert(std::stoi(request.host.substr(4)));
    }
    return ids;
  }
};

using Next = WorkSource::Next;

TEST_F(SharedWorkTest, TheWalkTakesItsShopIdsFromTheSourceUntilItsEnd) {
  ListedWork work({{Next::Kind::Shop, 500, false},
                   {Next::Kind::Wait, 0, false},
                   {Next::Kind::Shop, 7, false},
                   {Next::Kind::Shop, 42, true},
                   {Next::Kind::Wait, 0, false},
                   {Next::Kind::Shop, 900, false}});
  MemorySink sink;
  collector.SetResultSink(&sink);
  collector.SetWorkSource(&work);
  ui.SetShopIdText("1");
  collector.OnStartClicked();
  // A failed shop tried again does not hold up the walk's end, so its row may come after it.
  ASSERT_TRUE(WaitFor([&] { return collector.WalkEnded() && ui.Rows().size() == 4u; }));
  // Its worker may still be leaving; the sink and the source must outlive every worker.
  ASSERT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));
  EXPECT_EQ(RequestedShops(), (std::set<std::int32_t>{7, 42, 500, 900}));
  EXPECT_EQ(ui.Rows().size(), 4u);
  // The field shows the ID last handed out.
  EXPECT_EQ(ui.ShopIdText(), "900");
  // The failed shop tried again never held the place back: nothing is unfinished.
  EXPECT_FALSE(collector.Progress().LowestUnfinished().has_value());
}

TEST_F(SharedWorkTest, AStoreThatCannotKeepUpHoldsTheWalk) {
  MemorySink sink;
  sink.SetCongested(true);
  collector.SetResultSink(&sink);
  UseManualClock(false);
  ui.SetShopIdText("1000");
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return !ui.Pauses().empty(); }));
  EXPECT_EQ(ui.Pauses().back().reason, PauseReason::StoreBehind);
  // However many of its passes go by, the dispatcher hands out nothing while the store is behind.
  for (int pass = 0; pass < 20; ++pass) {
    ASSERT_TRUE(clock.WaitForIdleWaiters(1, Hang));
    EXPECT_EQ(ui.ShopIdText(), "1000");
    EXPECT_EQ(market.RequestCount(), 0u);
    clock.Advance(std::chrono::milliseconds(500));
  }
  // Shown once while it lasts.
  EXPECT_EQ(ui.Pauses().size(), 1u);
  sink.SetCongested(false);
  driver = std::make_unique<ClockDriver>(clock, [this] { return collector.TasksUnderWay() == 0; });
  ASSERT_TRUE(
      WaitFor([&] { return TextToInt(ui.ShopIdText()) > 1005 && market.RequestCount() > 0; }));
  ASSERT_TRUE(EndRun());
  EXPECT_GT(market.RequestCount(), 0u);
}

// Hands out shops 1 and 2, then holds the dispatcher inside its next call until released.
class HeldWork : public WorkSource {
 public:
  Next NextShop() override {
    std::unique_lock lock(mutex_);
    if (calls_ < 2) return Next{Next::Kind::Shop, ++calls_, false};
    holding_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
    holding_ = false;
    return Next{Next::Kind::Wait, 0, false};
  }
  bool WaitHolding(std::chrono::seconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return holding_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int calls_ = 0;
  bool holding_ = false;
  bool released_ = false;
};

TEST_F(SharedWorkTest, AStoppedRunsDispatcherIsWaitedForEvenAfterItsHandleIsClosed) {
  // One worker: shop 1 is held at the marketplace, shop 2 waits in the queue and, once Stop is
  // clicked, runs the stop sequence, which closes the dispatcher's handle. The dispatcher itself
  // is still inside its work source's call.
  const auto homeGate = std::make_shared<AnswerGate>();
  market.SetFallbackGenerator(
      [homeGate](const std::string& host, const std::string&) -> std::optional<Page> {
        if (host.rfind("shop", 0) != 0) return std::nullopt;
        Page page;
        page.status = 404;
        page.gate = homeGate;
        return page;
      });
  HeldWork work;
  collector.SetWorkSource(&work);
  ui.SetShopIdText("1");
  ui.SetThreadCountText("1");
  collector.OnStartClicked();
  ASSERT_TRUE(work.WaitHolding(Hang));
  ASSERT_TRUE(WaitFor([&] { return homeGate->Held() == 1; }));
  collector.OnStopClicked();
  homeGate->Open();
  ASSERT_TRUE(WaitFor([&] { return ui.Frozen(); }));
  EXPECT_EQ(collector.Run().DispatcherThread.load(), 0u);

  // The collector (and the source) must not go while the dispatcher may still use them.
  EXPECT_FALSE(collector.ShutDownForExit(std::chrono::milliseconds(50)))
      << "the end was reported while the dispatcher was still running";
  work.Release();
  EXPECT_TRUE(collector.ShutDownForExit(std::chrono::seconds(20)));
}

}  // namespace
}  // namespace shopwalk::test
