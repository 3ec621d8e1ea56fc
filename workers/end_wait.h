// The wait that Delay and Pacer sleep in, shared inside the workers library.
#pragma once

#include "base/clock.h"

namespace shopwalk::internal {

// Sleeps until `clock` reaches `until` or until the calling thread is asked to end (threads
// started by StartThread only), whichever comes first. True when the thread was asked to end,
// also when it had been asked before the call (then it does not sleep at all).
bool WaitUntilOrEndRequested(Clock& clock, Clock::TimePoint until);

}  // namespace shopwalk::internal
