// What a paced loop costs and how well it keeps time.
//
// 1. CPU time of one thread calling Delay(100) ten times, beside the wall time it took. The delay
//    sleeps, so the CPU share must stay far below 1%.
// 2. A Pacer with a 100 ms period over 50 passes of uneven length: how late each pass starts
//    against its ideal start (start + n * period). The lateness must stay flat, not grow.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "workers/delay.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::milliseconds;

double ThreadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int DelayCpuShare() {
  const double cpuBefore = ThreadCpuSeconds();
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 10; ++i) shopwalk::Delay(100);
  const double wall = duration<double>(Clock::now() - start).count();
  const double cpu = ThreadCpuSeconds() - cpuBefore;
  const double share = 100.0 * cpu / wall;
  std::printf("Delay(100) x 10: wall %.3f s, thread CPU %.6f s, CPU share %.4f%% (target < 1%%)\n",
              wall, cpu, share);
  return share < 1.0 ? 0 : 1;
}

void PacerDrift() {
  const milliseconds period(100);
  const int passes = 50;
  const Clock::time_point start = Clock::now();
  shopwalk::Pacer pacer(period);
  double worst = 0;
  double first = 0;
  double last = 0;
  for (int n = 1; n <= passes; ++n) {
    // Passes of 0 to 80 ms: a drifting pacer would add them up.
    std::this_thread::sleep_for(milliseconds((n * 37) % 81));
    pacer.Wait();
    const double late = duration<double, std::milli>(Clock::now() - (start + n * period)).count();
    if (n == 1) first = late;
    last = late;
    worst = std::max(worst, late);
  }
  const double total = duration<double>(Clock::now() - start).count();
  std::printf(
      "Pacer(100 ms) x %d uneven passes: total %.3f s (ideal %.3f s); lateness of a pass start: "
      "first %.3f ms, last %.3f ms, worst %.3f ms\n",
      passes, total, passes * 0.1, first, last, worst);
}

}  // namespace

int main() {
  const int status = DelayCpuShare();
  PacerDrift();
  return status;
}
