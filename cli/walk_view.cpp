#include "cli/walk_view.h"

#include "collect/text.h"

namespace shopwalk {

WalkView::WalkView(std::string startAfter, std::string threadCount)
    : shopId_(std::move(startAfter)), threadCount_(std::move(threadCount)) {}

void WalkView::OnRow(std::function<void(const ShopRecord&)> listener) {
  std::lock_guard lock(mutex_);
  onRow_ = std::move(listener);
}

std::string WalkView::ShopIdText() {
  std::lock_guard lock(mutex_);
  return shopId_;
}

void WalkView::SetShopIdText(std::string_view text) {
  std::lock_guard lock(mutex_);
  shopId_ = std::string(text);
  figures_.cursor = TextToInt(shopId_);
  ++figures_.handedOut;
  if (!figures_.started) {
    figures_.started = true;
    figures_.first = figures_.cursor;
  }
  // Handing out a new ID means the walk runs again.
  figures_.paused.reset();
}

std::string WalkView::ThreadCountText() {
  std::lock_guard lock(mutex_);
  return threadCount_;
}

void WalkView::SetThreadCountText(std::string_view text) {
  std::lock_guard lock(mutex_);
  threadCount_ = std::string(text);
}

void WalkView::FreezeRunControls() {
  std::lock_guard lock(mutex_);
  figures_.stopped = true;
}

void WalkView::ShowCollecting(std::string_view) {}

void WalkView::AddRow(const ShopRecord& record) {
  std::function<void(const ShopRecord&)> listener;
  {
    std::lock_guard lock(mutex_);
    ++figures_.rows;
    listener = onRow_;
  }
  // The engine appends rows one at a time and in order, so the listener sees them so too.
  if (listener) listener(record);
}

void WalkView::ShowPaused(PauseReason reason, std::chrono::seconds nextTry, bool probeOut) {
  std::lock_guard lock(mutex_);
  figures_.paused = reason;
  figures_.nextTry = nextTry;
  figures_.probeOut = probeOut;
}

void WalkView::ShowRetryCounts(std::size_t waiting, std::size_t failed) {
  std::lock_guard lock(mutex_);
  figures_.waiting = waiting;
  figures_.failed = failed;
}

void WalkView::SetCluster(const ClusterFigures& cluster) {
  std::lock_guard lock(mutex_);
  figures_.cluster = cluster;
}

void WalkView::SetStoreTrouble(std::optional<std::uint64_t> unwrittenRows) {
  std::lock_guard lock(mutex_);
  figures_.storeUnwritten = unwrittenRows;
}

WalkFigures WalkView::Figures() {
  std::lock_guard lock(mutex_);
  return figures_;
}

}  // namespace shopwalk
