// What the collector shows of its run on the window: the counts of shops in trouble and the pause.
#include "collect/collector.h"

namespace shopwalk {

void Collector::ShowRetryCounts() {
  // Counted under the display's lock, so the window never ends up showing an older count.
  display_.ShowCounts([this] {
    RunDisplay::Counts counts;
    counts.waiting = waiting_.WaitingCount();
    std::lock_guard lock(failedMutex_);
    counts.failed = failedIds_.size();
    counts.toRevisit = revisitIds_.size();
    return counts;
  });
}

void Collector::ShowStoreBehind() {
  // The seconds are not known.
  display_.ShowPause({PauseReason::StoreBehind, std::chrono::seconds(0), false});
}

void Collector::ShowProbeOut() {
  if (health_.StateAt(clock_->Now()) != MarketplaceHealth::State::Outage || !health_.ProbeOut()) {
    return;
  }
  display_.ShowPause({PauseReason::Outage, std::chrono::seconds(0), true});
}

void Collector::ShowPauseAgain() {
  display_.ShowPauseAgain([this](PauseReason reason) {
    switch (reason) {
      case PauseReason::StoreBehind:
        return StoreBehind();
      case PauseReason::PagesDoNotMatch:
        return pageGuard_.Tripped() != PageMismatch::None;
      case PauseReason::Outage:
      case PauseReason::RateLimited:
        break;
    }
    return health_.StateAt(clock_->Now()) != MarketplaceHealth::State::Open;
  });
}

}  // namespace shopwalk
