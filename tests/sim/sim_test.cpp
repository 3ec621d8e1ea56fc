#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "tests/sim/simulator.h"

namespace shopwalk::sim {
namespace {

std::uint64_t FromEnvironment(const char* name, std::uint64_t fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  return std::strtoull(value, nullptr, 10);
}

TEST(Simulator, SchedulesKeepThePromises) {
  const std::uint64_t count = FromEnvironment("SHOPWALK_SIM_SEEDS", 200);
  const std::uint64_t first = FromEnvironment("SHOPWALK_SIM_FIRST_SEED", 1);
  Simulator simulator(SHOPWALK_SIM_WALKER);
  const auto start = std::chrono::steady_clock::now();
  double scheduleSeconds = 0;
  std::size_t runs = 0;
  const std::vector<ScheduleResult> results =
      simulator.RunSeeds(first, count, 2, [&](const ScheduleResult& result) {
        scheduleSeconds += result.wallSeconds;
        runs += result.runs;
        if (!result.Passed()) std::printf("%s", result.Report().c_str());
      });
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%llu schedules (%zu runs with shrinking) in %.1f s, %.2f s per schedule\n",
              static_cast<unsigned long long>(count), runs, wall,
              count > 0 ? scheduleSeconds / static_cast<double>(count) : 0.0);
  for (const ScheduleResult& result : results) {
    EXPECT_TRUE(result.Passed()) << result.Report();
  }
}

}  // namespace
}  // namespace shopwalk::sim
