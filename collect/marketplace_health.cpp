#include "collect/marketplace_health.h"

#include <utility>

namespace shopwalk {

MarketplaceHealth::Probe::~Probe() {
  GiveBack();
}

MarketplaceHealth::Probe::Probe(Probe&& other) noexcept
    : health_(std::exchange(other.health_, nullptr)),
      serial_(other.serial_),
      outage_(other.outage_) {}

MarketplaceHealth::Probe& MarketplaceHealth::Probe::operator=(Probe&& other) noexcept {
  if (this != &other) {
    GiveBack();
    health_ = std::exchange(other.health_, nullptr);
    serial_ = other.serial_;
    outage_ = other.outage_;
  }
  return *this;
}

bool MarketplaceHealth::Probe::Failed(Clock::TimePoint next) {
  MarketplaceHealth* health = std::exchange(health_, nullptr);
  return health != nullptr && health->EndProbe(serial_, next);
}

void MarketplaceHealth::Probe::GiveBack() {
  if (MarketplaceHealth* health = std::exchange(health_, nullptr)) {
    health->EndProbe(serial_, std::nullopt);
  }
}

MarketplaceHealth::MarketplaceHealth(const RetryPolicy& policy) : policy_(policy) {}

void MarketplaceHealth::SetPolicy(const RetryPolicy& policy) {
  std::lock_guard lock(mutex_);
  policy_ = policy;
}

bool MarketplaceHealth::Answered(Host host, Clock::TimePoint) {
  std::lock_guard lock(mutex_);
  Of(host) = HostFailures{};
  if (!outage_ || shopPages_.failing || ratingPages_.failing) return false;
  outage_ = false;
  probeOut_ = false;
  probesSent_ = 0;
  return true;
}

void MarketplaceHealth::Failed(Host host, Clock::TimePoint now) {
  std::lock_guard lock(mutex_);
  HostFailures& failures = Of(host);
  ++failures.inARow;
  if (!failures.first) failures.first = now;
  if (failures.failing ||
      (failures.inARow < policy_.outageFailures && now - *failures.first < policy_.outageWindow)) {
    return;
  }
  failures.failing = true;
  if (outage_) return;  // the other host's outage goes on, now with this one's
  outage_ = true;
  ++outageNumber_;
  probeOut_ = false;
  probesSent_ = 0;
  nextProbe_ = now;
}

void MarketplaceHealth::HoldUntil(Clock::TimePoint until) {
  std::lock_guard lock(mutex_);
  if (!heldUntil_ || until > *heldUntil_) heldUntil_ = until;
}

MarketplaceHealth::State MarketplaceHealth::StateAt(Clock::TimePoint now) const {
  std::lock_guard lock(mutex_);
  if (heldUntil_ && now < *heldUntil_) return State::Held;
  return outage_ ? State::Outage : State::Open;
}

std::optional<Clock::TimePoint> MarketplaceHealth::HeldUntil() const {
  std::lock_guard lock(mutex_);
  return heldUntil_;
}

MarketplaceHealth::Probe MarketplaceHealth::TakeProbe(Clock::TimePoint now) {
  std::lock_guard lock(mutex_);
  if (!outage_ || probeOut_ || now < nextProbe_) return Probe{};
  probeOut_ = true;
  ++probesSent_;
  return Probe(this, ++probeSerial_, outageNumber_);
}

bool MarketplaceHealth::EndProbe(std::uint64_t serial, std::optional<Clock::TimePoint> next) {
  std::lock_guard lock(mutex_);
  if (!outage_ || !probeOut_ || serial != probeSerial_) return false;
  probeOut_ = false;
  // Handed back, it may go again at once: its time had come already.
  if (next) nextProbe_ = *next;
  return true;
}

bool MarketplaceHealth::ProbeOut() const {
  std::lock_guard lock(mutex_);
  return outage_ && probeOut_;
}

std::optional<Clock::TimePoint> MarketplaceHealth::NextProbe() const {
  std::lock_guard lock(mutex_);
  if (!outage_) return std::nullopt;
  return nextProbe_;
}

int MarketplaceHealth::ProbesSent() const {
  std::lock_guard lock(mutex_);
  return probesSent_;
}

int MarketplaceHealth::OutageNumber() const {
  std::lock_guard lock(mutex_);
  return outageNumber_;
}

}  // namespace shopwalk
