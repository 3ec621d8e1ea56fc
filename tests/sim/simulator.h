// Runs schedules and judges them: each seed's schedule runs (tests/sim/walk_driver.h), its
// promises are judged (tests/sim/promises.h), and a schedule that breaks one is shrunk, by
// dropping its faults one at a time and running it again, to the shortest schedule that still
// breaks a promise. Two schedules run side by side; walks shared through PostgreSQL take turns
// on one server, started on first use and kept for the whole run.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/sim/schedule.h"
#include "tests/sim/walk_driver.h"

namespace shopwalk::sim {

struct ScheduleResult {
  Schedule schedule;
  std::vector<std::string> broken;
  // When a promise broke: the shortest schedule found that still breaks one, and what broke.
  Schedule shortest;
  std::vector<std::string> shortestBroken;
  double wallSeconds = 0;
  std::size_t steps = 0;
  std::size_t lives = 0;
  // Changes of listed shops' fields the store recorded in its history.
  std::size_t changes = 0;
  // Schedules run for it in all (shrinking included).
  std::size_t runs = 0;
  bool Passed() const { return broken.empty(); }
  // What to run to see it again.
  std::string ReplayCommand() const;
  // The seed, what broke, the shortest schedule and the replay command.
  std::string Report() const;
};

// Stops the PostgreSQL server of every simulator at once, for a run that is interrupted: the
// server runs on by itself (it is started as a daemon) and would outlive this process. Safe from
// any thread; the simulators must not be used afterwards.
void StopServersNow();

class Simulator {
 public:
  // `walker`: the walking program.
  explicit Simulator(std::string walker, bool trace = false);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Runs `schedule` once and judges it (no shrinking).
  ScheduleResult RunOnce(const Schedule& schedule);
  // Runs it, and shrinks it when a promise broke.
  ScheduleResult Run(const Schedule& schedule);
  // Runs the schedules of `count` seeds from `first`, `sideBySide` at a time; `done` hears of
  // each result as it comes (from the running threads, one at a time).
  std::vector<ScheduleResult> RunSeeds(std::uint64_t first, std::size_t count,
                                       std::size_t sideBySide,
                                       const std::function<void(const ScheduleResult&)>& done);

 private:
  struct Shared;
  SimulatorSetup setup_;
  std::unique_ptr<Shared> shared_;
};

}  // namespace shopwalk::sim
