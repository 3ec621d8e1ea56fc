#include "collect/run_display.h"

namespace shopwalk {

void RunDisplay::ShowCounts(const std::function<Counts()>& count) {
  std::lock_guard lock(mutex_);
  const Counts now = count();
  if (now == counts_) return;
  counts_ = now;
  ui_.ShowRetryCounts(now.waiting, now.failed, now.toRevisit);
}

void RunDisplay::ShowPause(const Pause& pause) {
  std::lock_guard lock(mutex_);
  if (pause_ == pause) return;
  pause_ = pause;
  ui_.ShowPaused(pause.reason, pause.nextTry, pause.probeOut);
}

void RunDisplay::ShowPauseAgain(const std::function<bool(PauseReason)>& lasts) {
  std::lock_guard lock(mutex_);
  if (!pause_ || !lasts(pause_->reason)) return;
  ui_.ShowPaused(pause_->reason, pause_->nextTry, pause_->probeOut);
}

void RunDisplay::Resume() {
  std::lock_guard lock(mutex_);
  pause_.reset();
}

void RunDisplay::ShowCollecting(const std::string& shopUrl) {
  std::lock_guard lock(mutex_);
  if (!pause_) ui_.ShowCollecting(shopUrl);
}

RunDisplay::Counts RunDisplay::CountsShown() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

std::optional<RunDisplay::Pause> RunDisplay::PauseShown() const {
  std::lock_guard lock(mutex_);
  return pause_;
}

}  // namespace shopwalk
