// Waiting without burning a processor, on a clock (the real one unless told otherwise).
#pragma once

#include <chrono>
#include <functional>

#include "base/clock.h"

namespace shopwalk {

// Returns once more than `milliseconds` have passed on `clock`; at once for 0 or less. Sleeps; on
// a thread started by StartThread it returns early when the thread is asked to end. On a thread
// with a message pump (SetMessagePump) it keeps processing that thread's messages while it waits,
// at least every 10 ms of the clock's time.
void Delay(int milliseconds, Clock& clock = RealClock());

// Installs (or, with an empty function, removes) the calling thread's message pump, which Delay
// calls repeatedly while it waits on that thread.
void SetMessagePump(std::function<void()> pump);

// Paces a loop to one pass per period of `clock`'s time, measured from the start of the previous
// pass, so the average rate does not drift however long each pass takes. After a stall longer
// than a period the schedule restarts from now instead of catching up in a burst.
// Construct it at the start of the first pass; the clock must outlive it.
class Pacer {
 public:
  explicit Pacer(std::chrono::milliseconds period, Clock& clock = RealClock());
  // Sleeps until the next pass is due. Returns false at once, or as soon as it happens, when the
  // calling thread is asked to end. A period of 0 or less never sleeps.
  bool Wait();

 private:
  Clock& clock_;
  Clock::Duration period_;
  Clock::TimePoint due_;  // start of the current pass
};

}  // namespace shopwalk
