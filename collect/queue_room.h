// How far the pool's queue of tasks runs ahead of the workers when the walk goes flat out: it is
// filled to one shop per worker and refilled once the workers have taken half of it, so every
// worker finds its next shop waiting, the queue never runs far ahead of the workers, and the
// dispatcher wakes once for several shops rather than for each. Counts the tasks submitted and
// not yet started. Safe from any thread.
#pragma once

#include <condition_variable>
#include <mutex>

#include "base/clock.h"

namespace shopwalk {

class QueueRoom {
 public:
  // A run with `workers` workers begins: that many shops may wait in the queue (one at least).
  void SetWorkers(int workers);
  // A task went into the queue.
  void Queued();
  // A queued task left it: it started, or its submission was refused.
  void Left();
  // Whether the queue holds a shop for every worker already.
  bool Full() const;
  // While the queue is full, waits on `clock` until the workers have taken half of it, for
  // `longest` at most. Returns at once when it is not full.
  void WaitForRoom(Clock& clock, Clock::Duration longest);

 private:
  mutable std::mutex mutex_;
  std::condition_variable room_;
  int queued_ = 0;
  int ahead_ = 1;
};

}  // namespace shopwalk
