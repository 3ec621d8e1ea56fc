// A collector against the local test marketplace, headless.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "collect/collector.h"
#include "collect/fetch_verdict.h"
#include "collect/gbk.h"
#include "collect/text.h"
#include "net/http_client.h"
#include "net/transfer_abort.h"
#include "net/web_access.h"
#include "tests/support/clock_driver.h"
#include "tests/support/manual_clock.h"
#include "tests/support/memory_ui.h"
#include "tests/support/shop_pages.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk::test {

// An engine policy with a name for the test's title, for behaviour that holds under every policy.
struct NamedPolicy {
  std::string name;
  EnginePolicy policy;
};

// The window's policy, and the command line's with a limit of four requests at once, which binds
// in runs with more workers.
inline std::vector<NamedPolicy> EveryPolicy() {
  return {{"WindowPolicy", EnginePolicy{}}, {"CommandLinePolicy", EnginePolicy::CommandLine(4)}};
}

inline std::string PolicyName(const ::testing::TestParamInfo<NamedPolicy>& info) {
  return info.param.name;
}

class EngineTest : public ::testing::Test {
 protected:
  explicit EngineTest(TestMarketplace::Options options = {}) : market(options) {
    InitWebAccess();
    ResetTransferAbort();
    SetConnectTo(market.ConnectAddress());
    // Every shop the test does not set up does not exist.
    market.SetFallbackGenerator(
        [](const std::string& host, const std::string&) -> std::optional<Page> {
          if (host.rfind("shop", 0) != 0) return std::nullopt;
          Page page;
          page.body = pages::NoShopPage(0);
          return page;
        });
  }
  ~EngineTest() override {
    // The driver stops before the collector's destructor waits for its threads on the clock.
    driver.reset();
    SetConnectTo("");
  }

  // Serves UTF-8 pages (sent as GBK) for shop `id` and its rating path.
  void ServeShop(std::int32_t id, const std::string& homeUtf8, const std::string& ratingPath = "",
                 const std::string& ratingUtf8 = "") {
    Page home;
    home.body = Utf8ToGbk(homeUtf8);
    market.SetPage(pages::ShopHost(id), "/", home);
    if (!ratingPath.empty()) {
      Page rating;
      rating.body = Utf8ToGbk(ratingUtf8);
      market.SetPage(pages::RatingHost(), ratingPath, rating);
    }
  }

  std::string Gbk(const std::string& utf8) { return Utf8ToGbk(utf8); }

  // Waits up to `timeout` for `condition`.
  static bool WaitFor(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = Hang) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  // Runs the collector on the manual clock (call before Start). With `driven`, a driver moves the
  // clock from deadline to deadline whenever no shop's task is under way (the marketplace seems to
  // answer at once, and back-off never runs out before an answer on its way has come); without,
  // the test moves it.
  void UseManualClock(bool driven) {
    collector.SetClock(clock);
    if (driven) {
      driver =
          std::make_unique<ClockDriver>(clock, [this] { return collector.TasksUnderWay() == 0; });
    }
  }

  // Ends the run for good (ShutDownForExit with `grace`). On the manual clock time stands still
  // meanwhile, so the shut-down waits for the workers to leave rather than for its deadline; only
  // if they have not left after Hang of real time does the clock jump past it. Then the
  // marketplace no longer calls the test's page generator (a request the workers gave up may
  // still be answered), so what the generator uses may go.
  bool EndRun(std::chrono::milliseconds grace = std::chrono::milliseconds(0)) {
    if (driver) driver->Pause();
    auto ended = std::async(std::launch::async,
                            [this, grace] { return collector.ShutDownForExit(Hang, grace); });
    if (ended.wait_for(Hang) != std::future_status::ready) {
      ADD_FAILURE() << "the run did not end";
      clock.Advance(Hang + grace);
    }
    const bool result = ended.get();
    market.SetFallbackGenerator(nullptr);
    return result;
  }

  // Whether the marketplace's log holds a whole final answer (not one asking to try again) to a
  // request for `path` on `host`.
  bool AnsweredByMarketplace(const std::string& host, const std::string& path) const {
    for (const RecordedAnswer& answer : market.Answers()) {
      if (answer.whole && !IsTransientStatus(answer.status) && answer.host == host &&
          answer.path == path) {
        return true;
      }
    }
    return false;
  }
  // Whether shop `id` had its home page answered, and its rating page at `ratingPath` when it has
  // one: what the engine needs to finish the shop.
  bool ShopAnswered(std::int32_t id, const std::optional<std::string>& ratingPath) const {
    return AnsweredByMarketplace(pages::ShopHost(id), "/") &&
           (!ratingPath || AnsweredByMarketplace(pages::RatingHost(), *ratingPath));
  }

  static constexpr std::chrono::seconds Hang{20};

  TestMarketplace market;
  MemoryUi ui;
  // Declared before the collector, which may run on it, and its driver after, so that it stops
  // first.
  ManualClock clock;
  Collector collector{ui};
  std::unique_ptr<ClockDriver> driver;
};

}  // namespace shopwalk::test
