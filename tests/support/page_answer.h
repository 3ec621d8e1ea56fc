// Turning a test page into the server's answer, misbehaviour included.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "tests/support/test_marketplace.h"

namespace shopwalk::test {

// Raised once when the server stops; every stall waits on it so that stopping never hangs.
class StopSignal {
 public:
  void Raise();
  bool Raised() const;
  // Waits up to `duration`; true when the signal was raised meanwhile.
  bool WaitFor(std::chrono::milliseconds duration) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable raised_;
  bool up_ = false;
};

// Fills `response` for `page`; stalls and streamed bodies watch `stop`.
void AnswerWithPage(const Page& page, const httplib::Request& request, httplib::Response& response,
                    const std::shared_ptr<StopSignal>& stop);

}  // namespace shopwalk::test
