// The collector's making, its settings and the walk's place.
#include "collect/collector.h"

#include "collect/text.h"
#include "net/transfer_abort.h"

namespace shopwalk {

Collector::Collector(CollectorUi& ui) : ui_(ui) {}

Collector::~Collector() {
  // Tasks and the dispatcher use this object: wait for all of them, however long it takes.
  while (!ShutDownForExit(std::chrono::seconds(5))) {
  }
  ResetTransferAbort();
}

void Collector::SetClock(Clock& clock) {
  clock_ = &clock;
  requestSlots_.SetClock(clock);
}

void Collector::SetRetryPolicy(const RetryPolicy& policy) {
  policy_ = policy;
  health_.SetPolicy(policy);
}

void Collector::SetEnginePolicy(const EnginePolicy& policy) {
  engine_ = policy;
  requestSlots_.SetLimit(policy.maxConcurrentRequests);
}

void Collector::SetResultSink(ResultSink* sink) {
  sink_ = sink;
  std::vector<FailedShop> recorded;
  if (sink_ != nullptr) recorded = sink_->FailedShops();
  {
    std::lock_guard lock(failedMutex_);
    for (const FailedShop& shop : recorded) failedIds_.insert(shop.shopId);
  }
  ShowRetryCounts();
}

void Collector::SetAlreadyListed(std::set<std::int32_t> shopIds) {
  followListed_ = shopIds;
  fieldWalk_.SetAlreadyListed(std::move(shopIds));
}

RunFigures Collector::Figures() {
  RunFigures figures;
  {
    std::lock_guard lock(handedOutMutex_);
    figures.cursor = handedOut_.cursor;
    figures.first = handedOut_.first;
    figures.handedOut = handedOut_.count;
  }
  figures.started = figures.handedOut > 0;
  figures.rows = rows_.load();
  figures.rowsWithCutFields = rowsWithCutFields_.load();
  const RunDisplay::Counts counts = display_.CountsShown();
  figures.waiting = counts.waiting;
  figures.failed = counts.failed;
  if (const std::optional<RunDisplay::Pause> pause = display_.PauseShown()) {
    figures.paused = pause->reason;
    figures.nextTry = pause->nextTry;
    figures.probeOut = pause->probeOut;
  }
  figures.stopped = stopped_.load();
  figures.walkEnded = walkEnded_.load();
  figures.place = ProgressText();
  if (Following()) {
    const FollowWindow::State state = follow_.Now();
    figures.follow =
        RunFigures::Follow{state.following, state.newest, state.newestFound, state.windowTop};
  }
  return figures;
}

std::string Collector::ProgressText() {
  return progress_.ProgressText(PlaceCursor(ui_.ShopIdText()));
}

std::string Collector::PlaceCursor(const std::string& cursorText) {
  // The IDs of the follow window may still open: the place stays at the newest shop, below them.
  if (Following()) return NumberToText(follow_.Settled());
  return cursorText;
}

}  // namespace shopwalk
