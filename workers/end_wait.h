// The wait that Delay and Pacer sleep in, shared inside the workers library.
#pragma once

#include <chrono>

namespace shopwalk::internal {

// Sleeps until `until` or until the calling thread is asked to end (threads started by
// StartThread only), whichever comes first. True when the thread was asked to end, also when it
// had been asked before the call (then it does not sleep at all).
bool WaitUntilOrEndRequested(std::chrono::steady_clock::time_point until);

}  // namespace shopwalk::internal
