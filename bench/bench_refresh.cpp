// Refresh against the pace: shopwalk-cli refresh (run in this process, as the program runs it)
// over the shops a walk listed from the demo marketplace (a process of its own), 10 workers, at
// several paces (--rate) and flat out. Prints, for each, the shops refreshed, the wall time, and
// shops a second beside the pace asked for. Figures only; nothing is asserted.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/demo_process.h"
#include "cli/commands.h"

namespace {

using namespace shopwalk;
using Steady = std::chrono::steady_clock;

constexpr std::int32_t First = 109428412;
constexpr std::int64_t WalkedIds = 8000;

}  // namespace

int main() {
  bench::DemoProcess demo;
  if (!demo.Start()) {
    std::fprintf(stderr, "the demo marketplace did not start\n");
    return 1;
  }
  const std::string address = "127.0.0.1:" + std::to_string(demo.port);
  ::setenv("SHOPWALK_CONNECT_TO", address.c_str(), 1);
  char folder[] = "/tmp/bench_refresh_XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 1;
  Folders folders;
  folders.settings = folders.settingsRead = folder;
  folders.store = std::string(folder) + "/fresh.db";

  WalkCommand walk;
  walk.from = First;
  walk.count = WalkedIds;
  walk.rate = 0;
  walk.threads = 20;
  walk.quiet = true;
  if (RunWalk(walk, folders) != 0) {
    std::fprintf(stderr, "the walk failed\n");
    return 1;
  }
  struct Pace {
    double rate;
    std::size_t shops;
  };
  std::printf("%-12s %8s %9s %12s\n", "pace", "shops", "seconds", "shops/s");
  for (const Pace pace : {Pace{10, 100}, Pace{50, 500}, Pace{200, 1500}, Pace{0, 1500}}) {
    RefreshCommand refresh;
    refresh.olderThan = std::chrono::milliseconds(1);
    refresh.rate = pace.rate;
    refresh.count = pace.shops;
    refresh.quiet = true;
    const Steady::time_point start = Steady::now();
    if (RunRefresh(refresh, folders) != 0) std::fprintf(stderr, "a refresh failed\n");
    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    std::printf(
        "%-12s %8zu %9.2f %12.1f\n",
        pace.rate > 0 ? (std::to_string(static_cast<int>(pace.rate)) + "/s").c_str() : "flat out",
        pace.shops, seconds, static_cast<double>(pace.shops) / seconds);
  }
  std::filesystem::remove_all(folder);
  return 0;
}
