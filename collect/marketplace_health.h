// Whether the marketplace (all of its hosts together) is answering: it notices an outage from the
// failures that come in, and holds every request back while the server has asked for a pause
// (Retry-After). Safe from any thread.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>

#include "collect/retry_policy.h"

namespace shopwalk {

class MarketplaceHealth {
 public:
  using Clock = std::chrono::steady_clock;

  enum class State {
    Open,    // requests go out as usual
    Outage,  // failures dominate: only one probe at a time goes out
    Held,    // the server asked for a pause: nothing goes out before HeldUntil()
  };

  explicit MarketplaceHealth(const RetryPolicy& policy = {});
  void SetPolicy(const RetryPolicy& policy);

  // A request was answered (any final answer): an outage is over.
  void Answered(Clock::time_point now);
  // A request failed in a way worth retrying.
  void Failed(Clock::time_point now);
  // The server asked that nothing be sent before `until`.
  void HoldUntil(Clock::time_point until);

  State StateAt(Clock::time_point now) const;
  std::optional<Clock::time_point> HeldUntil() const;

  // Probing during an outage: whether a probe may go out now (none in flight and its back-off
  // has passed); Probing() marks one as out, ProbeFailed() brings it back and sets the next
  // probe's time after `wait`.
  bool ProbeDue(Clock::time_point now) const;
  void Probing();
  void ProbeFailed(Clock::time_point next);
  std::optional<Clock::time_point> NextProbe() const;
  // Probes sent since the outage began.
  int ProbesSent() const;

 private:
  mutable std::mutex mutex_;
  RetryPolicy policy_;
  int failuresInARow_ = 0;
  std::optional<Clock::time_point> firstFailure_;  // since the last answered page
  bool outage_ = false;
  std::optional<Clock::time_point> heldUntil_;
  bool probeOut_ = false;
  Clock::time_point nextProbe_;
  int probesSent_ = 0;
};

}  // namespace shopwalk
