// A collection run of 600 shop IDs against the demo marketplace (started as a separate process,
// so its CPU is not counted), with 20 workers, through the headless engine:
//  - at the normal pace: wall time (ideal 60 s), CPU seconds of this process, rows per second
//    and how far the dispatcher's passes drift from their schedule;
//  - flat out (pace 0): shop IDs walked per second, rows (shops found) per second and CPU
//    milliseconds per shop ID.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <filesystem>

#include "bench/demo_process.h"
#include "collect/collector.h"
#include "collect/text.h"
#include "net/web_access.h"
#include "results/sqlite/sqlite_store.h"
#include "tests/support/memory_ui.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace shopwalk;

constexpr std::int32_t First = 109428412;
constexpr int Shops = 600;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The headless window, noting when the dispatcher writes the shop-ID field and holding the
// dispatcher at its write of the first shop past the run until the bench lets it go.
class RecordingUi : public test::MemoryUi {
 public:
  explicit RecordingUi(std::int32_t holdAt) : holdAt_(holdAt) {}

  void SetShopIdText(std::string_view text) override {
    {
      std::unique_lock lock(mutex_);
      writes_.push_back(Clock::now());
      if (TextToInt(text) == holdAt_) {
        reachedHold_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
      }
    }
    MemoryUi::SetShopIdText(text);
  }

  void WaitForHold() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return reachedHold_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<Clock::time_point> Writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }

 private:
  std::int32_t holdAt_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool reachedHold_ = false;
  bool released_ = false;
  std::vector<Clock::time_point> writes_;
};

struct Measured {
  double wallSeconds = 0;
  double cpuSeconds = 0;
  int rows = 0;
  double worstDriftMs = 0;
  double finalDriftMs = 0;
};

// With `store`, the collector reports to it, as the programs do.
Measured RunShops(std::chrono::milliseconds pace, ResultStore* store = nullptr) {
  RecordingUi ui(First + Shops + 1);
  Collector collector(ui);
  collector.SetPace(pace);
  if (store != nullptr) {
    store->BeginRun(RunKind::Window, std::to_string(First));
    collector.SetResultSink(store);
  }
  ui.SetShopIdText(std::to_string(First));
  ui.SetThreadCountText("20");
  const auto writesBefore = ui.Writes().size();

  const double cpuStart = CpuSeconds();
  const auto start = Clock::now();
  collector.OnStartClicked();
  // The dispatcher is at its 601st pass; wait for the 600 shops to be done.
  ui.WaitForHold();
  while (collector.Progress().LowestUnfinished().has_value()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Everything reported is written before the CPU is read: the store's work counts.
  if (store != nullptr) store->Flush(std::chrono::seconds(30));
  const auto end = Clock::now();
  Measured figures;
  figures.cpuSeconds = CpuSeconds() - cpuStart;
  figures.rows = static_cast<int>(ui.Rows().size());

  collector.OnStopClicked();
  ui.Release();

  // Passes are due every `pace` from the first.
  const auto writes = ui.Writes();
  const auto passes = std::vector<Clock::time_point>(writes.begin() + writesBefore, writes.end());
  if (pace.count() > 0 && !passes.empty()) {
    for (std::size_t k = 0; k < passes.size(); ++k) {
      // Signed: a pass written a little ahead of its schedule drifts below zero.
      const auto due = passes.front() + static_cast<std::int64_t>(k) * pace;
      const double drift = std::chrono::duration<double, std::milli>(passes[k] - due).count();
      figures.worstDriftMs = std::max(figures.worstDriftMs, drift);
      figures.finalDriftMs = drift;
    }
    // The run lasts until the pass after the last shop is due.
    figures.wallSeconds = std::chrono::duration<double>(passes.back() - start).count();
  } else {
    figures.wallSeconds = std::chrono::duration<double>(end - start).count();
  }
  return figures;
}

}  // namespace

int main() {
  shopwalk::bench::DemoProcess server;
  if (!server.Start()) {
    std::fprintf(stderr, "bench_engine: cannot start %s\n", DEMO_MARKETPLACE_PATH);
    return 1;
  }
  InitWebAccess();
  SetConnectTo("127.0.0.1:" + std::to_string(server.port));

  std::printf("600 shop IDs, 20 workers, demo marketplace on 127.0.0.1:%d\n\n", server.port);

  const Measured paced = RunShops(std::chrono::milliseconds(100));
  std::printf("At the normal pace (100 ms):\n");
  std::printf("  wall time            %8.3f s  (ideal 60.000 s, %+.2f%%)\n", paced.wallSeconds,
              (paced.wallSeconds / 60.0 - 1) * 100);
  std::printf("  CPU of this process  %8.3f s  (%.2f%% of one core)\n", paced.cpuSeconds,
              paced.cpuSeconds / paced.wallSeconds * 100);
  std::printf("  rows                 %8d    (%.2f rows/s)\n", paced.rows,
              paced.rows / paced.wallSeconds);
  std::printf("  dispatcher drift     %8.2f ms at the last pass, %.2f ms at worst\n\n",
              paced.finalDriftMs, paced.worstDriftMs);

  const Measured flat = RunShops(std::chrono::milliseconds(0));
  // Flat out again, with every row and answer written to a results store.
  char folder[] = "/tmp/bench_engine_XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string storePath = std::string(folder) + "/shopwalk.db";
  Measured stored;
  {
    auto opened = SqliteStore::OpenForWalking(storePath);
    if (!opened) {
      std::fprintf(stderr, "bench_engine: %s\n", opened.error().reason.c_str());
      return 1;
    }
    stored = RunShops(std::chrono::milliseconds(0), opened->get());
  }
  std::filesystem::remove_all(folder);
  std::printf("Flat out (pace 0):\n");
  std::printf("  wall time            %8.3f s\n", flat.wallSeconds);
  std::printf("  shop IDs per second  %8.1f\n", Shops / flat.wallSeconds);
  std::printf("  rows per second      %8.1f  (%d rows: the shops found)\n",
              flat.rows / flat.wallSeconds, flat.rows);
  std::printf("  CPU per shop ID      %8.3f ms\n", flat.cpuSeconds * 1000 / Shops);
  std::printf("Flat out with the results store (SQLite):\n");
  std::printf("  shop IDs per second  %8.1f\n", Shops / stored.wallSeconds);
  std::printf("  CPU per shop ID      %8.3f ms  (%+.1f%% against without)\n",
              stored.cpuSeconds * 1000 / Shops, (stored.cpuSeconds / flat.cpuSeconds - 1) * 100);
  return 0;
}
