// An outage in a paced run: 20 workers walk the synthetic marketplace at the normal pace (ten
// shop IDs a second) through the headless engine; after a warm-up every request is answered 503
// for the length of the outage, then the marketplace answers again. Prints:
//  - requests that reached the marketplace during the outage (target: only the probes, under 30);
//  - shop IDs handed out after the outage began, and how long the field kept moving (target:
//    it stops within 2 s);
//  - the time from the marketplace's return to the field moving again (target: under one
//    back-off step), and the back-off step the probe was at;
//  - shops lost: shops of the walked range with neither a row nor a failure on record
//    (target: 0), and shops failed for good.
//
//   bench_outage [OUTAGE_SECONDS]   default 60
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collect/collector.h"
#include "collect/text.h"
#include "net/web_access.h"
#include "tests/support/memory_ui.h"
#include "tests/support/shop_pages.h"
#include "tests/support/test_marketplace.h"

namespace {

using namespace shopwalk;
using WallClock = std::chrono::steady_clock;

constexpr std::int32_t First = 109428412;

// The headless window, noting when the shop-ID field moves.
class WatchingUi : public test::MemoryUi {
 public:
  void SetShopIdText(std::string_view text) override {
    {
      std::lock_guard lock(mutex_);
      moves_.push_back({WallClock::now(), TextToInt(text)});
    }
    MemoryUi::SetShopIdText(text);
  }
  struct Move {
    WallClock::time_point at;
    std::int32_t id;
  };
  std::vector<Move> Moves() {
    std::lock_guard lock(mutex_);
    return moves_;
  }

 private:
  std::mutex mutex_;
  std::vector<Move> moves_;
};

double Seconds(WallClock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int outageSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
  InitWebAccess();
  test::TestMarketplace market;
  std::atomic<bool> down{false};
  std::atomic<int> requestsWhileDown{0};
  market.SetFallbackGenerator(
      [&](const std::string& host, const std::string& path) -> std::optional<test::Page> {
        test::Page page;
        if (down) {
          ++requestsWhileDown;
          page.status = 503;
          page.body = "down";
          return page;
        }
        auto body = pages::DemoPage(host, path);
        if (!body) return std::nullopt;
        page.body = std::move(*body);
        return page;
      });
  SetConnectTo(market.ConnectAddress());

  WatchingUi ui;
  Collector collector(ui);
  ui.SetShopIdText(std::to_string(First));
  ui.SetThreadCountText("20");
  std::printf("20 workers at the normal pace; an outage of %d s after 10 s of walking\n",
              outageSeconds);
  collector.OnStartClicked();
  std::this_thread::sleep_for(std::chrono::seconds(10));

  const WallClock::time_point outageStart = WallClock::now();
  down = true;
  std::this_thread::sleep_for(std::chrono::seconds(outageSeconds));
  const int probes = collector.Health().ProbesSent();
  const WallClock::time_point back = WallClock::now();
  down = false;
  // Until the field has moved for 20 s after the return.
  std::this_thread::sleep_for(std::chrono::seconds(20));
  const std::int32_t lastHandedOut = TextToInt(ui.ShopIdText());
  // Let the shops handed out last get their answers, then stop.
  for (int i = 0; i < 300 && collector.Progress().LowestUnfinished().value_or(lastHandedOut + 1) <=
                                 lastHandedOut;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  collector.ShutDownForExit(std::chrono::seconds(20));

  // The field during the outage.
  std::int32_t atOutage = First, lastDuringOutage = First;
  WallClock::time_point lastMoveDuringOutage = outageStart, firstMoveAfterReturn{};
  for (const auto& move : ui.Moves()) {
    if (move.at < outageStart) {
      atOutage = move.id;
    } else if (move.at < back) {
      lastDuringOutage = move.id;
      lastMoveDuringOutage = move.at;
    } else if (firstMoveAfterReturn == WallClock::time_point{}) {
      firstMoveAfterReturn = move.at;
    }
  }
  // Shops lost: in the walked range, with neither a row nor a failure on record.
  std::set<std::int32_t> listed, failed;
  for (const auto& row : ui.Rows()) {
    listed.insert(TextToInt(row[ShopAddressColumn].substr(std::string("http://shop").size())));
  }
  for (const auto& shop : collector.Waiting().FailedShops()) failed.insert(shop.id);
  int lost = 0;
  for (std::int32_t id = First + 1; id <= lastHandedOut; ++id) {
    if (pages::DemoShop(id) && pages::DemoShop(id)->hasName && pages::DemoShop(id)->hasMessenger &&
        pages::DemoShop(id)->hasRatingLink && !listed.contains(id) && !failed.contains(id)) {
      ++lost;
    }
  }

  std::printf("  requests during the outage   %6d  (probes sent: %d)\n", requestsWhileDown.load(),
              probes);
  std::printf("  IDs handed out in the outage %6d  (field stopped %.2f s after it began)\n",
              lastDuringOutage - atOutage, Seconds(lastMoveDuringOutage - outageStart));
  if (firstMoveAfterReturn != WallClock::time_point{}) {
    // The probe after `probes` failed ones waits up to this long (full jitter).
    const double step = std::min(60.0, std::ldexp(1.0, std::max(probes - 1, 0)));
    std::printf(
        "  back to the normal pace      %6.2f s after the marketplace returned (the probe's "
        "back-off step then: up to %.0f s)\n",
        Seconds(firstMoveAfterReturn - back), step);
  } else {
    std::printf("  back to the normal pace      never\n");
  }
  std::printf("  shops walked                 %6d  (rows %zu, failed for good %zu)\n",
              lastHandedOut - First, ui.Rows().size(), failed.size());
  std::printf("  shops lost                   %6d\n", lost);
  return 0;
}
