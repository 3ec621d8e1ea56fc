#include "collect/request_slots.h"

#include <chrono>
#include <utility>

#include "net/transfer_abort.h"

namespace shopwalk {
namespace {

// How often a task waiting for a slot looks whether the transfers are being aborted.
constexpr std::chrono::milliseconds AbortCheck{50};

}  // namespace

RequestSlots::Held::~Held() {
  if (slots_ != nullptr) slots_->Give();
}

RequestSlots::Held::Held(Held&& other) noexcept
    : slots_(std::exchange(other.slots_, nullptr)), waited_(other.waited_) {}

void RequestSlots::SetLimit(int limit) {
  std::lock_guard lock(mutex_);
  limit_ = limit;
}

void RequestSlots::SetClock(Clock& clock) {
  std::lock_guard lock(mutex_);
  clock_ = &clock;
}

int RequestSlots::Limit() const {
  std::lock_guard lock(mutex_);
  return limit_;
}

std::optional<RequestSlots::Held> RequestSlots::Take() {
  std::unique_lock lock(mutex_);
  if (limit_ <= 0) return Held();
  bool waited = false;
  while (inUse_ >= limit_) {
    if (TransfersAborted()) return std::nullopt;
    waited = true;
    clock_->WaitFor(lock, freed_, AbortCheck,
                    [this] { return inUse_ < limit_ || TransfersAborted(); });
  }
  ++inUse_;
  return Held(this, waited);
}

void RequestSlots::Give() {
  {
    std::lock_guard lock(mutex_);
    --inUse_;
  }
  freed_.notify_one();
}

}  // namespace shopwalk
