// The simulator's program: the test suite (GoogleTest) when run without its own options, or
//   --seed S [--faults N,N,...|none] [--trace]   replays one schedule
//   --seeds N [--first S] [--side-by-side K]     runs the schedules of N seeds
// as scripts/simulate runs it.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tests/sim/simulator.h"

namespace {

using shopwalk::sim::ParseNumberList;
using shopwalk::sim::Schedule;
using shopwalk::sim::ScheduleResult;
using shopwalk::sim::Simulator;

constexpr const char* Help =
    "Usage: shopwalk_sim --seed S [--faults N,N,...|none] [--trace]\n"
    "       shopwalk_sim --seeds N [--first S] [--side-by-side K]\n"
    "\n"
    "Runs the real engine, walking about 1,000 shop IDs, against the local test marketplace and a\n"
    "real store under a schedule of faults drawn from each seed, on a clock the simulator moves,\n"
    "and checks the walk's promises. A broken promise prints the seed, the shortest schedule that\n"
    "still breaks it, and the command that replays it.\n"
    "\n"
    "The engine's threads stay real: a replay repeats the schedule, not every interleaving of\n"
    "the threads, so a fault that depends on one may need a few replays to show again.\n";

// An interrupted run (Ctrl-C, SIGTERM, SIGHUP) stops the PostgreSQL server it started and ends at
// once; its walkers end with it (a walker dies with the simulator). Call before any thread starts:
// the signals are blocked in every thread but the one that waits for them.
void EndOnInterrupt() {
  static sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread([] {
    int signal = 0;
    if (sigwait(&stops, &signal) != 0) return;
    std::fprintf(stderr, "shopwalk_sim: interrupted; stopping the PostgreSQL server and ending\n");
    shopwalk::sim::StopServersNow();
    std::_Exit(128 + signal);
  }).detach();
}

bool Has(int argc, char** argv, const char* option) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], option) == 0) return true;
  }
  return false;
}

const char* Value(int argc, char** argv, const char* option) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], option) == 0) return argv[i + 1];
  }
  return nullptr;
}

std::uint64_t Number(const char* text, const char* option) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text != nullptr ? text : "", &end, 10);
  if (text == nullptr || end == text || *end != '\0') {
    std::fprintf(stderr, "shopwalk_sim: %s needs a number\n", option);
    std::exit(2);
  }
  return value;
}

int Replay(int argc, char** argv) {
  const std::uint64_t seed = Number(Value(argc, argv, "--seed"), "--seed");
  Schedule schedule = shopwalk::sim::DrawSchedule(seed);
  if (const char* faults = Value(argc, argv, "--faults")) {
    const std::string list = std::strcmp(faults, "none") == 0 ? "" : faults;
    const auto numbers = ParseNumberList(list);
    if (!numbers) {
      std::fprintf(stderr, "shopwalk_sim: --faults takes fault numbers: 1,4,5 (or none)\n");
      return 2;
    }
    schedule = schedule.Keeping(*numbers);
  }
  std::printf("%s", schedule.Describe().c_str());
  Simulator simulator(SHOPWALK_SIM_WALKER, Has(argc, argv, "--trace"));
  const ScheduleResult result = simulator.RunOnce(schedule);
  std::printf("%s", result.Report().c_str());
  std::printf("%.2f s, %zu steps of time, %zu lives of the walker\n", result.wallSeconds,
              result.steps, result.lives);
  return result.Passed() ? 0 : 1;
}

int Seeds(int argc, char** argv) {
  const std::uint64_t count = Number(Value(argc, argv, "--seeds"), "--seeds");
  const char* firstText = Value(argc, argv, "--first");
  const std::uint64_t first = firstText != nullptr ? Number(firstText, "--first") : 1;
  const char* sideText = Value(argc, argv, "--side-by-side");
  const std::uint64_t side = sideText != nullptr ? Number(sideText, "--side-by-side") : 2;
  Simulator simulator(SHOPWALK_SIM_WALKER);
  const auto start = std::chrono::steady_clock::now();
  std::size_t failed = 0, runs = 0;
  double scheduleSeconds = 0;
  simulator.RunSeeds(first, count, side, [&](const ScheduleResult& result) {
    runs += result.runs;
    scheduleSeconds += result.wallSeconds;
    if (!result.Passed()) {
      ++failed;
      std::printf("%s", result.Report().c_str());
    } else {
      std::string walk;
      if (result.schedule.follow) walk = ", following the top";
      if (result.changes > 0) walk += ", " + std::to_string(result.changes) + " changes recorded";
      std::printf("seed %llu: kept (%.2f s, %zu steps, %zu lives%s)\n",
                  static_cast<unsigned long long>(result.schedule.seed), result.wallSeconds,
                  result.steps, result.lives, walk.c_str());
    }
    std::fflush(stdout);
  });
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "%llu seeds from %llu: %zu broke a promise; %zu schedules run; %.1f s in all, "
      "%.2f s per schedule\n",
      static_cast<unsigned long long>(count), static_cast<unsigned long long>(first), failed, runs,
      wall, count > 0 ? scheduleSeconds / static_cast<double>(count) : 0.0);
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  EndOnInterrupt();
  if (Has(argc, argv, "--help")) {
    std::printf("%s", Help);
    return 0;
  }
  if (Has(argc, argv, "--seed")) return Replay(argc, argv);
  if (Has(argc, argv, "--seeds")) return Seeds(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
