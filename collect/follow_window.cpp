#include "collect/follow_window.h"

#include <algorithm>
#include <limits>

namespace shopwalk {

void FollowWindow::Begin(Clock& clock, std::int32_t place, const FollowSettings& settings,
                         std::set<std::int32_t> listed) {
  std::lock_guard lock(mutex_);
  clock_ = &clock;
  settings_.window = std::max<std::int32_t>(settings.window, 1);
  settings_.every = std::max(settings.every, std::chrono::milliseconds(0));
  listed_ = std::move(listed);
  newest_ = place;
  newestFound_.reset();
  cursor_ = place;
  inFlight_.clear();
  held_.clear();
  highestAsked_ = place;
  nextSweep_.reset();
  following_ = false;
  sweeps_ = 0;
}

std::int32_t FollowWindow::TopLocked() const {
  constexpr std::int32_t Largest = std::numeric_limits<std::int32_t>::max();
  return newest_ > Largest - settings_.window ? Largest : newest_ + settings_.window;
}

WorkSource::Next FollowWindow::NextShop() {
  std::lock_guard lock(mutex_);
  const Clock::TimePoint now = clock_->Now();
  if (!cursor_) {
    if (nextSweep_ && now < *nextSweep_) return Next{Next::Kind::Wait, 0, false};
    nextSweep_.reset();
    cursor_ = newest_;
  }
  const std::int32_t from = std::max(*cursor_, newest_);
  if (from < TopLocked()) {
    const std::int32_t shopId = from + 1;
    cursor_ = shopId;
    inFlight_.insert(shopId);
    // Listed already: it counts as a shop, answered by the caller (Answer) as it passes it by.
    if (listed_.erase(shopId) > 0) return Next{Next::Kind::PassedBy, shopId, false};
    Next next{Next::Kind::Shop, shopId, false};
    next.again = shopId <= highestAsked_;
    highestAsked_ = std::max(highestAsked_, shopId);
    return next;
  }
  // The sweep is over once its last answer is in; the next one starts `every` after it.
  if (!inFlight_.empty()) return Next{Next::Kind::Wait, 0, false};
  cursor_.reset();
  following_ = true;
  ++sweeps_;
  nextSweep_ = Clock::Later(now, settings_.every);
  return Next{Next::Kind::Wait, 0, false};
}

std::vector<std::int32_t> FollowWindow::Answer(std::int32_t shopId, bool isShop) {
  std::lock_guard lock(mutex_);
  inFlight_.erase(shopId);
  if (!isShop) {
    // Above the newest shop it may still open: held back, not final.
    if (shopId > newest_) {
      held_.insert(shopId);
      return {};
    }
    held_.erase(shopId);
    return {shopId};
  }
  held_.erase(shopId);
  if (shopId > newest_) {
    newest_ = shopId;
    newestFound_ = clock_->Now();
  }
  // The window slid up: what it held below the newest shop is final now. An ID asked again and
  // still out gives its final answer when it comes.
  std::vector<std::int32_t> final;
  while (!held_.empty() && *held_.begin() < newest_) {
    const std::int32_t below = *held_.begin();
    held_.erase(held_.begin());
    if (inFlight_.count(below) == 0) final.push_back(below);
  }
  return final;
}

void FollowWindow::Unanswered(std::int32_t shopId) {
  std::lock_guard lock(mutex_);
  inFlight_.erase(shopId);
}

std::int32_t FollowWindow::Settled() const {
  std::lock_guard lock(mutex_);
  return newest_;
}

FollowWindow::State FollowWindow::Now() const {
  std::lock_guard lock(mutex_);
  State state;
  state.following = following_;
  state.newest = newest_;
  state.newestFound = newestFound_;
  state.windowTop = TopLocked();
  state.sweeps = sweeps_;
  return state;
}

}  // namespace shopwalk
