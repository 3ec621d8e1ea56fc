// Runs one schedule: the walking process (tests/sim/sim_walker.cpp) as a child on the manual
// clock against the test marketplace behind a connection gate, with the schedule's faults applied
// as the clock passes their times (or as the marketplace gets their requests); the walker is
// stopped, killed and started again as the schedule says, until its walk ends. A walk shared by
// several nodes runs its nodes on wall time against a PostgreSQL server.
//
// Time: the driver moves the manual clock only while the system is quiet (no request in flight at
// the marketplace, no thread of the walker or of the marketplace running, the walker's waiters on
// the clock settled), to the earliest deadline a thread of the walker waits for or the next moment
// a fault begins or ends, whichever comes first. While nothing at all happens for several steps
// it steps further than the next deadline (at most CoarsestStep), so hours of pauses pass in a few
// hundred steps. Network time (the client's limits) and the marketplace's stalls are wall time.
#pragma once

#include <chrono>
#include <string>

#include "tests/sim/evidence.h"
#include "tests/sim/schedule.h"

namespace shopwalk::test {
class PostgresServer;
}

namespace shopwalk::sim {

struct SimulatorSetup {
  // The walking program.
  std::string walker;
  // Prints each step of time and each event on standard error.
  bool trace = false;
  // The web client's limits (wall time): to make a connection, and with nothing received.
  int connectMs = 1000;
  int receiveMs = 250;
  // A shared walk's server (started by whoever runs the schedules; restarted by schedules).
  test::PostgresServer* postgres = nullptr;
};

inline constexpr std::chrono::seconds CoarsestStep{1};

Evidence RunSingleWalk(const Schedule& schedule, const SimulatorSetup& setup);
Evidence RunSharedWalk(const Schedule& schedule, const SimulatorSetup& setup);

}  // namespace shopwalk::sim
