// Kept pages: what keeping every answered page costs a walk, and how long a re-cut of many kept
// pages takes.
//  - 300 shop IDs at the normal pace (100 ms) and 3000 flat out against the demo marketplace (a
//    process of its own, so its CPU is not counted), 20 workers, rows and answers into a SQLite
//    store: CPU of this process per shop ID without and with pages kept;
//  - reparse of 100,000 kept pages (home and rating pages of the synthetic marketplace) with the
//    built-in markers: wall time and pages per second.
// Figures only; nothing is asserted.
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "bench/demo_process.h"
#include "cli/kept_page_work.h"
#include "collect/collector.h"
#include "net/web_access.h"
#include "results/page_keeper.h"
#include "results/sqlite/sqlite_store.h"
#include "tests/support/memory_sink.h"
#include "tests/support/memory_ui.h"
#include "tests/support/shop_pages.h"

namespace {

using namespace shopwalk;
using Steady = std::chrono::steady_clock;

constexpr std::int32_t First = 109428412;
constexpr int PacedShops = 300;
constexpr int FlatOutShops = 3000;
constexpr std::size_t ReparsePages = 100000;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Measured {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  std::uint64_t pagesKept = 0;
  std::uint64_t packedBytes = 0;
};

// One walk of `shops` IDs into a fresh SQLite store; with `keep`, its pages are kept there too.
Measured Walk(std::chrono::milliseconds pace, int shops, bool keep) {
  char folder[] = "/tmp/bench_keep_XXXXXX";
  if (mkdtemp(folder) == nullptr) return {};
  Measured figures;
  {
    auto opened = SqliteStore::OpenForWalking(std::string(folder) + "/shopwalk.db");
    if (!opened) {
      std::fprintf(stderr, "bench_keep: %s\n", opened.error().reason.c_str());
      return {};
    }
    ResultStore& store = **opened;
    KeptPageStore* kept = &store;
    std::unique_ptr<PageKeeper> keeper;
    test::MemoryUi ui;
    Collector collector(ui);
    collector.SetPace(pace);
    collector.SetEnginePolicy(EnginePolicy::CommandLine(0));
    collector.SetResultSink(&store);
    collector.SetLastShopId(First + shops);
    std::mutex mutex;
    std::condition_variable ended;
    bool over = false;
    collector.OnWalkEnded([&] {
      const std::lock_guard lock(mutex);
      over = true;
      ended.notify_all();
    });
    store.BeginRun(RunKind::CommandLine, std::to_string(First));
    ui.SetShopIdText(std::to_string(First));
    ui.SetThreadCountText("20");
    const double cpuStart = CpuSeconds();
    const auto start = Steady::now();
    if (keep) {
      keeper = std::move(PageKeeper::Open(*kept).value());
      collector.SetPageSink(keeper.get());
    }
    collector.OnStartClicked();
    {
      std::unique_lock lock(mutex);
      ended.wait(lock, [&] { return over; });
    }
    collector.ShutDownForExit(std::chrono::seconds(10));
    if (keeper) keeper->Finish();
    store.EndRun(true);
    store.Flush(std::chrono::seconds(30));
    figures.wallSeconds = std::chrono::duration<double>(Steady::now() - start).count();
    figures.cpuSeconds = CpuSeconds() - cpuStart;
    if (keeper) {
      figures.pagesKept = keeper->Kept().pagesKept;
      figures.packedBytes = keeper->Kept().packedBytes;
    }
  }
  std::filesystem::remove_all(folder);
  return figures;
}

void Compare(const char* title, std::chrono::milliseconds pace, int shops) {
  const Measured without = Walk(pace, shops, false);
  const Measured with = Walk(pace, shops, true);
  std::printf("%s, %d shop IDs:\n", title, shops);
  std::printf("  CPU per shop ID without kept pages  %8.3f ms  (wall %.1f s)\n",
              without.cpuSeconds * 1000 / shops, without.wallSeconds);
  std::printf("  CPU per shop ID with kept pages     %8.3f ms  (wall %.1f s)\n",
              with.cpuSeconds * 1000 / shops, with.wallSeconds);
  std::printf("  ratio                               %8.2f x\n",
              with.cpuSeconds / without.cpuSeconds);
  if (with.pagesKept != 0) {
    std::printf("  pages kept %llu, %.0f packed bytes a page\n\n",
                static_cast<unsigned long long>(with.pagesKept),
                static_cast<double>(with.packedBytes) / static_cast<double>(with.pagesKept));
  }
}

void Reparse() {
  char folder[] = "/tmp/bench_keep_XXXXXX";
  if (mkdtemp(folder) == nullptr) return;
  {
    auto opened = SqliteStore::OpenForWalking(std::string(folder) + "/shopwalk.db");
    if (!opened) return;
    ResultStore& store = **opened;
    KeptPageStore* kept = &store;
    const char* where = "the SQLite store";
    auto keeper = PageKeeper::Open(*kept).value();
    std::size_t pages = 0;
    for (std::int32_t id = First; pages < ReparsePages; ++id) {
      const auto home = pages::DemoPage(pages::ShopHost(id), "/");
      keeper->PageAnswered(id, PageKind::Home, *home);
      ++pages;
      if (const auto shop = pages::DemoShop(id); shop && shop->hasRatingLink) {
        keeper->PageAnswered(id, PageKind::Rating,
                             *pages::DemoPage(pages::RatingHost(), pages::RatingPath(*shop)));
        ++pages;
      }
    }
    keeper->Finish();
    store.Flush(std::chrono::seconds(120));
    test::MemorySink sink;
    const double cpuStart = CpuSeconds();
    const auto start = Steady::now();
    const auto figures = ReparseKeptPages(*kept, {}, {}, sink, GetMarkers());
    const double wall = std::chrono::duration<double>(Steady::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    if (!figures) {
      std::fprintf(stderr, "bench_keep: %s\n", figures.error().reason.c_str());
      return;
    }
    std::printf("Reparse of %zu kept pages in %s:\n", pages, where);
    std::printf("  wall time            %8.2f s  (CPU %.2f s, %.0f pages/s)\n", wall, cpu,
                static_cast<double>(pages) / wall);
    std::printf("  rows added %llu, without a row %llu, to revisit %llu\n",
                static_cast<unsigned long long>(figures->added),
                static_cast<unsigned long long>(figures->withoutRow),
                static_cast<unsigned long long>(figures->toRevisit));
  }
  std::filesystem::remove_all(folder);
}

}  // namespace

int main() {
  shopwalk::bench::DemoProcess server;
  if (!server.Start()) {
    std::fprintf(stderr, "bench_keep: cannot start %s\n", DEMO_MARKETPLACE_PATH);
    return 1;
  }
  InitWebAccess();
  SetConnectTo("127.0.0.1:" + std::to_string(server.port));
  std::printf("20 workers, demo marketplace on 127.0.0.1:%d\n\n", server.port);
  Compare("At the normal pace (100 ms)", std::chrono::milliseconds(100), PacedShops);
  Compare("Flat out (pace 0)", std::chrono::milliseconds(0), FlatOutShops);
  Reparse();
  return 0;
}
