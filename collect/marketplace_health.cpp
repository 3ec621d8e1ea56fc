#include "collect/marketplace_health.h"

namespace shopwalk {

MarketplaceHealth::MarketplaceHealth(const RetryPolicy& policy) : policy_(policy) {}

void MarketplaceHealth::SetPolicy(const RetryPolicy& policy) {
  std::lock_guard lock(mutex_);
  policy_ = policy;
}

void MarketplaceHealth::Answered(Clock::time_point) {
  std::lock_guard lock(mutex_);
  failuresInARow_ = 0;
  firstFailure_.reset();
  outage_ = false;
  probeOut_ = false;
  probesSent_ = 0;
}

void MarketplaceHealth::Failed(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  ++failuresInARow_;
  if (!firstFailure_) firstFailure_ = now;
  if (!outage_ &&
      (failuresInARow_ >= policy_.outageFailures || now - *firstFailure_ >= policy_.outageWindow)) {
    outage_ = true;
    probeOut_ = false;
    probesSent_ = 0;
    nextProbe_ = now;
  }
}

void MarketplaceHealth::HoldUntil(Clock::time_point until) {
  std::lock_guard lock(mutex_);
  if (!heldUntil_ || until > *heldUntil_) heldUntil_ = until;
}

MarketplaceHealth::State MarketplaceHealth::StateAt(Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  if (heldUntil_ && now < *heldUntil_) return State::Held;
  return outage_ ? State::Outage : State::Open;
}

std::optional<MarketplaceHealth::Clock::time_point> MarketplaceHealth::HeldUntil() const {
  std::lock_guard lock(mutex_);
  return heldUntil_;
}

bool MarketplaceHealth::ProbeDue(Clock::time_point now) const {
  std::lock_guard lock(mutex_);
  return outage_ && !probeOut_ && now >= nextProbe_;
}

void MarketplaceHealth::Probing() {
  std::lock_guard lock(mutex_);
  probeOut_ = true;
  ++probesSent_;
}

void MarketplaceHealth::ProbeFailed(Clock::time_point next) {
  std::lock_guard lock(mutex_);
  probeOut_ = false;
  nextProbe_ = next;
}

std::optional<MarketplaceHealth::Clock::time_point> MarketplaceHealth::NextProbe() const {
  std::lock_guard lock(mutex_);
  if (!outage_) return std::nullopt;
  return nextProbe_;
}

int MarketplaceHealth::ProbesSent() const {
  std::lock_guard lock(mutex_);
  return probesSent_;
}

}  // namespace shopwalk
