#include "collect/queue_room.h"

#include <algorithm>

namespace shopwalk {

void QueueRoom::SetWorkers(int workers) {
  std::lock_guard lock(mutex_);
  ahead_ = std::max(workers, 1);
}

void QueueRoom::Queued() {
  std::lock_guard lock(mutex_);
  ++queued_;
}

void QueueRoom::Left() {
  bool refill = false;
  {
    std::lock_guard lock(mutex_);
    --queued_;
    refill = queued_ == ahead_ / 2;
  }
  if (refill) room_.notify_one();
}

bool QueueRoom::Full() const {
  std::lock_guard lock(mutex_);
  return queued_ >= ahead_;
}

void QueueRoom::WaitForRoom(Clock& clock, Clock::Duration longest) {
  std::unique_lock lock(mutex_);
  if (queued_ < ahead_) return;
  clock.WaitFor(lock, room_, longest, [this] { return queued_ <= ahead_ / 2; });
}

}  // namespace shopwalk
