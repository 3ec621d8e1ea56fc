// How soon a walk that follows the top lists a new shop: the headless engine follows the living
// test marketplace with the command line's defaults (a window of 200 IDs asked again every 60 s,
// 10 shop IDs a second, 10 workers) into a SQLite store; 50 shops open above the newest one, each
// at a random moment of the follow's cycle and a random gap (0 to 19) above it. Prints the time
// from each opening to its row being durable in the store: median, mean and worst (target: within
// one follow interval plus the window at the pace, 60 s + 200 x 0.1 s = 80 s).
//
// The engine and the store run on a manual clock moved from deadline to deadline whenever no
// shop's task is under way, so the defaults are kept as they are and the figures come in a few
// minutes of real time instead of an hour: the marketplace's own answer time (milliseconds on this
// machine) is left out of them.
//
//   bench_follow
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "collect/collector.h"
#include "collect/text.h"
#include "net/web_access.h"
#include "results/store.h"
#include "tests/support/clock_driver.h"
#include "tests/support/living_shops.h"
#include "tests/support/manual_clock.h"
#include "tests/support/memory_ui.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/test_marketplace.h"

namespace {

using namespace shopwalk;
using std::chrono::duration;

constexpr std::int32_t Top = 109'500'000;
constexpr int Openings = 50;
constexpr std::chrono::seconds Every{60};
constexpr std::int32_t Window = 200;

double Seconds(Clock::Duration d) {
  return duration<double>(d).count();
}

// Waits (real time) until `done`; false after two minutes.
template <typename Done>
bool Await(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace

int main() {
  InitWebAccess();
  test::ManualClock clock;
  test::TestMarketplace market;
  SetConnectTo(market.ConnectAddress());
  test::LivingShops living(market, Top);
  test::ScratchDirectory dir;
  auto opened = OpenStore(dir.File("follow.db"), StoreMode::Walking, {}, clock);
  if (!opened) {
    std::fprintf(stderr, "cannot open the store: %s\n", opened.error().reason.c_str());
    return 1;
  }
  const std::shared_ptr<ResultStore> store = opened->Store();
  const std::int32_t start = living.Newest() - 50;
  store->BeginRun(RunKind::CommandLine, std::to_string(start));

  // The opening waiting for its row: the rows durable before it and when it opened; the delays
  // measured. Only the opened shop adds a row, so the first commit past those rows holds it.
  std::mutex mutex;
  std::uint64_t durable = 0;
  std::optional<std::pair<std::uint64_t, Clock::TimePoint>> pending;
  std::vector<Clock::Duration> delays;
  store->OnDurable([&](std::uint64_t rows) {
    std::lock_guard lock(mutex);
    durable = rows;
    if (!pending || rows <= pending->first) return;
    delays.push_back(clock.Now() - pending->second);
    pending.reset();
  });

  test::MemoryUi ui;
  Collector collector(ui);
  collector.SetClock(clock);
  collector.SetPace(std::chrono::milliseconds(100));
  collector.SetEnginePolicy(EnginePolicy::CommandLine(0));
  collector.SetResultSink(store.get());
  collector.SetFollow(FollowSettings{Window, Every});
  ui.SetShopIdText(std::to_string(start));
  ui.SetThreadCountText("10");
  test::ClockDriver driver(clock, [&] { return collector.TasksUnderWay() == 0; });
  const auto realStart = std::chrono::steady_clock::now();
  collector.OnStartClicked();
  if (!Await([&] {
        const RunFigures figures = collector.Figures();
        return figures.follow && figures.follow->topFound;
      })) {
    std::fprintf(stderr, "the top was not found\n");
    return 1;
  }

  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> phase(0, 80'000);
  std::uniform_int_distribution<std::int32_t> gap(0, 19);
  for (int i = 0; i < Openings; ++i) {
    // A random moment of the cycle (a sweep and the wait after it take about 80 s).
    const Clock::TimePoint at = clock.Now() + std::chrono::milliseconds(phase(random));
    if (!Await([&] { return clock.Now() >= at; })) return 1;
    driver.Pause();
    if (!Await([&] {
          std::lock_guard lock(mutex);
          return durable == collector.Figures().rows;
        })) {
      std::fprintf(stderr, "the store did not write the rows\n");
      return 1;
    }
    const std::optional<pages::Shop> shop = living.Open(gap(random));
    {
      std::lock_guard lock(mutex);
      pending.emplace(durable, clock.Now());
    }
    driver.Resume();
    if (!Await([&] {
          std::lock_guard lock(mutex);
          return !pending.has_value();
        })) {
      const RunFigures figures = collector.Figures();
      std::size_t asked = 0;
      for (const test::RecordedRequest& request : market.Requests()) {
        if (request.host == pages::ShopHost(shop->id)) ++asked;
      }
      std::fprintf(stderr,
                   "shop %d was not listed (place %s, durable %s, newest %d, rows %zu, paused %d, "
                   "cursor %d, handed out %lld, under way %d, asked %zu, clock %.1f s)\n",
                   shop->id, figures.place.c_str(), store->DurablePlace().value_or("-").c_str(),
                   figures.follow->newest, figures.rows,
                   figures.paused ? static_cast<int>(*figures.paused) : -1, figures.cursor,
                   static_cast<long long>(figures.handedOut), collector.TasksUnderWay(), asked,
                   Seconds(clock.Now() - test::ManualClock::Start));
      return 1;
    }
  }
  driver.Pause();
  collector.ShutDownForExit(std::chrono::seconds(20));
  store->EndRun(true);
  store->Flush(std::chrono::seconds(20));
  const double realSeconds = duration<double>(std::chrono::steady_clock::now() - realStart).count();

  std::vector<Clock::Duration> sorted = delays;
  std::sort(sorted.begin(), sorted.end());
  double sum = 0;
  for (const Clock::Duration d : sorted) sum += Seconds(d);
  std::printf("follow: window %d IDs, every %lld s, 10 IDs/s, 10 workers; %zu openings\n", Window,
              static_cast<long long>(Every.count()), sorted.size());
  std::printf(
      "  opening to durable row: median %.1f s  mean %.1f s  worst %.1f s  (target "
      "<= %.0f s)\n",
      Seconds(sorted[sorted.size() / 2]), sum / static_cast<double>(sorted.size()),
      Seconds(sorted.back()), Seconds(Every) + Window * 0.1);
  std::printf("  (engine clock; %.0f s of real time for %.0f s of it)\n", realSeconds,
              Seconds(clock.Now() - test::ManualClock::Start));
  SetConnectTo("");
  return 0;
}
