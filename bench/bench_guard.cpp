// The page-match guard across each kind of page change: 8 workers walk the synthetic marketplace
// flat out through the headless engine; 2,000 IDs into the walk its pages change (a new home
// layout, a new rating layout, both, a verification page answered with 200, a switch to UTF-8,
// a reworded "no such shop" notice). Prints, for each kind, the IDs walked from the change to the
// hold (the highest shop ID asked minus the first changed one; target: at most the window, 200),
// the share that tripped the guard, and the answers marked to revisit.
//
//   bench_guard
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "collect/collector.h"
#include "net/web_access.h"
#include "tests/support/changing_pages.h"
#include "tests/support/memory_sink.h"
#include "tests/support/memory_ui.h"
#include "tests/support/shop_pages.h"
#include "tests/support/test_marketplace.h"

namespace {

using namespace shopwalk;
using pages::PageChange;
using Kind = PageChange::Kind;

constexpr std::int32_t First = 109'428'412;
constexpr std::int32_t ChangeAt = First + 2'000;

const char* MismatchName(PageMismatch mismatch) {
  switch (mismatch) {
    case PageMismatch::HomeFields:
      return "home pages without fields";
    case PageMismatch::RatingFields:
      return "rating pages without date and reputation";
    case PageMismatch::NoticeOnShops:
      return "notice on known shops";
    case PageMismatch::None:
      break;
  }
  return "did not hold";
}

void WalkAcross(const char* name, PageChange change) {
  test::TestMarketplace market;
  SetConnectTo(market.ConnectAddress());
  test::ChangingPages changing(market);
  change.fromId = ChangeAt;
  changing.Change(change);
  test::MemoryUi ui;
  test::MemorySink sink;
  std::atomic<bool> held{false};
  std::int32_t highest = 0;
  {
    Collector collector(ui);
    collector.SetPace(std::chrono::milliseconds(0));
    collector.SetEnginePolicy(EnginePolicy::CommandLine(0));
    collector.SetResultSink(&sink);
    collector.SetLastShopId(ChangeAt + 5'000);
    collector.OnPagesMismatch([&held](PageMismatch) { held = true; });
    ui.SetShopIdText(std::to_string(First));
    ui.SetThreadCountText("8");
    collector.OnStartClicked();
    while (!held && !collector.WalkEnded())
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (const test::RecordedRequest& request : market.Requests()) {
      if (const auto id = pages::ShopIdOfHost(request.host)) highest = std::max(highest, *id);
    }
    std::printf(
        "%-16s IDs walked after the change before the hold: %5d  (%s, %zu marked to "
        "revisit)\n",
        name, held ? highest - ChangeAt + 1 : -1, MismatchName(collector.PagesMismatch()),
        sink.ShopsToRevisit().size());
    collector.ShutDownForExit(std::chrono::seconds(20));
  }
  SetConnectTo("");
}

}  // namespace

int main() {
  InitWebAccess();
  std::printf("window %d answered home pages; change at ID %d\n", PageMatchLimits{}.window,
              ChangeAt);
  WalkAcross("home layout", {Kind::Layout, 0, true, false});
  WalkAcross("rating layout", {Kind::Layout, 0, false, true});
  WalkAcross("both layouts", {Kind::Layout, 0, true, true});
  WalkAcross("verification", {Kind::Verification});
  WalkAcross("UTF-8", {Kind::Utf8});
  WalkAcross("reworded notice", {Kind::RewordedNotice});
  return 0;
}
