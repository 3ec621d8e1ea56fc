// Following the top of the marketplace: a walk source that never ends. Shop IDs are given out in
// rising order, so new shops open above the newest shop known. The follow window is the `window`
// IDs above it. The walk first hands out IDs up to the window's top; once every ID of the window
// has answered "no shop" the top is found, and from then on every `every` the window is asked
// again, one ID a dispatcher pass (the walk's pace). A shop found in the window becomes the newest
// shop: the window slides up, and the IDs it uncovers are handed out in the same sweep.
//
// An ID of the window that answered "no shop" may still open, so that answer is not final: it is
// held back until the ID falls below the window (Answer says which answers have become final), and
// the walk's place never passes the newest shop (Settled). A walk that goes on from its place
// therefore asks again every ID that may have opened since. A sweep starts only when every ID of
// the sweep before was answered or given up, so no ID is asked twice at once.
//
// NextShop is called from the dispatcher thread; everything else from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "base/clock.h"
#include "collect/work_source.h"

namespace shopwalk {

struct FollowSettings {
  // IDs in a row above the newest shop that must answer "no shop" for the top to be found, and
  // that each sweep asks again (at least 1).
  std::int32_t window = 200;
  // From the end of one sweep to the start of the next.
  std::chrono::milliseconds every{60000};
};

class FollowWindow : public WorkSource {
 public:
  // Starts following anew above `place` (every ID up to it has its final answer); `listed`: shops
  // above it the list holds already, passed by (they count as shops) instead of asked. `clock`
  // times the sweeps and must outlive the following. A window below 1 counts as 1, a negative
  // interval as 0. Before the dispatcher starts.
  void Begin(Clock& clock, std::int32_t place, const FollowSettings& settings,
             std::set<std::int32_t> listed);

  Next NextShop() override;

  // The answer for `shopId` (a shop: a row or a page without fields; else "no shop"). Returns the
  // IDs whose "no shop" answers are final now, in rising order, to be reported before the place
  // moves: those the window held that fell below it, and `shopId` itself when it answered "no
  // shop" below the window. Empty for a "no shop" answer the window holds back.
  std::vector<std::int32_t> Answer(std::int32_t shopId, bool isShop);
  // `shopId` got no answer in its sweep (failed for good, to be revisited, abandoned): the next
  // sweep asks it again.
  void Unanswered(std::int32_t shopId);

  // The highest ID the walk's place may reach: the newest shop, or the place followed from while
  // no shop was found above it.
  std::int32_t Settled() const;

  struct State {
    // The top has been found (a whole window answered "no shop") at least once.
    bool following = false;
    // The newest shop known (the place followed from until a shop is found above it).
    std::int32_t newest = 0;
    // When this run found it (nothing when it came before this run).
    std::optional<Clock::TimePoint> newestFound;
    // The window's top: the highest ID the current sweep asks.
    std::int32_t windowTop = 0;
    // Sweeps finished in this run.
    std::int64_t sweeps = 0;
  };
  State Now() const;

 private:
  std::int32_t TopLocked() const;

  Clock* clock_ = &RealClock();
  mutable std::mutex mutex_;
  FollowSettings settings_;
  std::set<std::int32_t> listed_;
  std::int32_t newest_ = 0;
  std::optional<Clock::TimePoint> newestFound_;
  // The last ID the current sweep handed out; none between sweeps.
  std::optional<std::int32_t> cursor_;
  // Handed out and not yet answered or given up.
  std::set<std::int32_t> inFlight_;
  // Window IDs that answered "no shop", held back until they fall below the window.
  std::set<std::int32_t> held_;
  // The highest ID handed out since Begin: an ID up to it is asked again.
  std::int32_t highestAsked_ = 0;
  std::optional<Clock::TimePoint> nextSweep_;
  bool following_ = false;
  std::int64_t sweeps_ = 0;
};

}  // namespace shopwalk
