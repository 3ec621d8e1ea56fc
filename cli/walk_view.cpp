#include "cli/walk_view.h"

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
}

std::string WalkView::ThreadCountText() {
  std::lock_guard lock(mutex_);
  return threadCount_;
}

void WalkView::SetThreadCountText(std::string_view text) {
  std::lock_guard lock(mutex_);
  threadCount_ = std::string(text);
}

void WalkView::FreezeRunControls() {}

void WalkView::ShowCollecting(std::string_view) {}

void WalkView::AddRow(const ShopRecord& record) {
  std::function<void(const ShopRecord&)> listener;
  {
    std::lock_guard lock(mutex_);
    listener = onRow_;
  }
  // The engine appends rows one at a time and in order, so the listener sees them so too.
  if (listener) listener(record);
}

void WalkView::ShowPaused(PauseReason, std::chrono::seconds, bool) {}

void WalkView::ShowRetryCounts(std::size_t, std::size_t, std::size_t) {}

void WalkView::SetCluster(const ClusterFigures& cluster) {
  std::lock_guard lock(mutex_);
  cluster_ = cluster;
}

void WalkView::SetStoreTrouble(std::optional<std::uint64_t> unwrittenRows) {
  std::lock_guard lock(mutex_);
  storeUnwritten_ = unwrittenRows;
}

WalkFigures WalkView::Figures(const RunFigures& run) {
  WalkFigures figures;
  static_cast<RunFigures&>(figures) = run;
  std::lock_guard lock(mutex_);
  figures.cluster = cluster_;
  figures.storeUnwritten = storeUnwritten_;
  return figures;
}

}  // namespace shopwalk
