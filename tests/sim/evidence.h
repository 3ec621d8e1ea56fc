// What a simulated walk leaves for the promises to be judged by: the marketplace's log of every
// request (with its time and its answer), the faults as they happened, each life of the walking
// process (how it ended, and what its store held durably then), the store at the end, and the
// walking process's peak memory and descriptors.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/clock.h"
#include "tests/sim/fault_plan.h"
#include "tests/sim/schedule.h"
#include "tests/sim/store_snapshot.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk::sim {

// One life of a walking process (a node of a shared walk has lives of its own).
struct Life {
  int node = -1;
  Clock::TimePoint started;
  Clock::TimePoint ended;
  // The requests of its marketplace's log made while it lived: [firstRequest, endRequest).
  std::size_t firstRequest = 0;
  std::size_t endRequest = 0;
  // Its exit code, or minus the signal that ended it.
  int exitCode = 0;
  bool killed = false;
  bool stopped = false;
  // The walking process.
  int pid = 0;
  // When it handed out the walk's last ID (a walk of one node).
  std::optional<Clock::TimePoint> lastHandedOut;
  // The store as its life ended (a walk of one node).
  StoreSnapshot store;
  std::string errors;
};

// What the database of a shared walk saw, written down by triggers of the simulator's own.
struct SharedWalkLog {
  // Each write of a row: the shop, the node whose marketplace served the page (from the mark in
  // its name), the node holding the shop's block as it was written, whether the block was done,
  // and whether the write took the shop off the failed list under its retry lease.
  struct RowWrite {
    std::int32_t shopId = 0;
    std::optional<int> servedTo;
    std::optional<int> blockHolder;
    bool blockDone = false;
    bool retryLease = false;
  };
  // Each claim of a block (or of a failed shop for a retry): the IDs, the node, and when.
  struct Claim {
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::optional<int> node;
    Clock::TimePoint at;
  };
  std::vector<RowWrite> rowWrites;
  std::vector<Claim> claims;
  std::string problem;
};

struct Evidence {
  Schedule schedule;
  // Each node's marketplace log (one for a walk of one node).
  std::vector<std::vector<test::RecordedRequest>> requests;
  // Connections whose last answer may never have arrived (the gate reset them as it closed, or
  // their client gave up), and how long each request waited for its answer as its client saw it
  // (by connection, in order).
  std::set<int> resetPorts;
  std::map<int, std::vector<std::chrono::microseconds>> waits;
  // Each fault's time in effect (by index into schedule.faults).
  std::vector<FaultPlan::Window> windows;
  std::vector<Life> lives;
  StoreSnapshot final;
  // A shared walk: what its database saw.
  SharedWalkLog sharedLog;
  Clock::TimePoint start;
  Clock::CalendarTime calendarStart;
  // The driver's step of time beyond a deadline while nothing happens, at most: the slack of the
  // promises about time.
  Clock::Duration coarsestStep{0};
  // The web client's silence limit (wall time): an answer that took half of it to send may not
  // have reached the walker in time.
  std::chrono::milliseconds receiveLimit{0};
  long long peakResidentBytes = 0;
  int peakDescriptors = 0;
  // What the descriptors were when there were most of them.
  std::string peakDescriptorKinds;
  // Whether the walk reached its end; otherwise why not (a hang, a walker that would not run).
  bool finished = false;
  std::string trouble;
  // Steps of time the driver made, and the wall time the walk took.
  std::size_t steps = 0;
  double wallSeconds = 0;
};

}  // namespace shopwalk::sim
