// The faults of a schedule as they happen: when each began (at its time, or as the marketplace got
// its request) and ends, what the marketplace answers meanwhile, and which stops and kills are due.
// The marketplace's threads ask it how to answer; the driver of time asks it when the next fault
// begins or ends, so the clock never steps over one. Safe from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "tests/sim/marketplace_truth.h"
#include "tests/sim/schedule.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk::sim {

class FaultPlan {
 public:
  // The walk starts at `clock`'s time now.
  FaultPlan(const Schedule& schedule, const Clock& clock);

  const Schedule& Faults() const { return schedule_; }
  Clock::TimePoint WalkStart() const { return start_; }

  // When a fault was in effect: from `start` until `end` (none: until its requests were used).
  struct Window {
    std::optional<Clock::TimePoint> start;
    std::optional<Clock::TimePoint> end;
  };
  Window WindowOf(std::size_t index) const;
  // Whether fault `index` (of Faults().faults) is in effect at `now`.
  bool InEffect(std::size_t index, Clock::TimePoint now) const;
  // Whether connections are refused at `now`.
  bool Refusing(Clock::TimePoint now) const;
  // The first time after `now` at which a fault begins or ends.
  std::optional<Clock::TimePoint> NextChange(Clock::TimePoint now) const;
  // Stops and kills whose moment has come, each given once (indices into Faults().faults).
  std::vector<std::size_t> TakeDueActions(Clock::TimePoint now);

  // The page for a request, faults included (for TestMarketplace::SetFallbackGenerator). `node`:
  // the node whose marketplace answers (-1 for a walk of one node). Counts the request, which may
  // begin faults anchored to it; OnBegin's listener hears of each (before the page is chosen).
  std::optional<test::Page> Answer(const MarketplaceTruth& truth, int node, const std::string& host,
                                   const std::string& path);
  // Told (on the marketplace's thread, under the plan's lock: it must not call the plan) of each
  // fault that begins as the marketplace gets its request.
  void OnBegin(std::function<void(const Fault&)> listener);
  // Requests the marketplace has been asked for so far.
  int RequestsAnswered() const;
  // The page change in effect at `now`, if any (FaultKind::PageChange).
  std::optional<std::size_t> PageChangeAt(Clock::TimePoint now) const;
  // Ends the page change in effect at `now` (the markers were fixed, the marketplace came back):
  // the pages read as before from `now` on. Its index, if there was one.
  std::optional<std::size_t> UndoPageChange(Clock::TimePoint now);

  // The longest a silent answer waits for the client to hang up.
  static constexpr int SilentLimitMs = 10'000;

 private:
  struct State {
    std::optional<Clock::TimePoint> start;
    std::optional<Clock::TimePoint> end;
    // Requests still to fail or be slowed (FlakyShop, and slow stretches counted in requests).
    int budget = 0;
    bool actionTaken = false;
  };
  bool InEffectLocked(std::size_t index, Clock::TimePoint now) const;

  const Schedule schedule_;
  const Clock& clock_;
  const Clock::TimePoint start_;
  mutable std::mutex mutex_;
  std::vector<State> states_;
  int requests_ = 0;
  std::function<void(const Fault&)> onBegin_;
};

// Formats calendar time as an HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT").
std::string HttpDate(Clock::CalendarTime time);

}  // namespace shopwalk::sim
