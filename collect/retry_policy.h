// How the engine treats a marketplace that does not answer: how often a shop is tried, how long
// it waits between tries, and when the walk pauses for an outage.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

namespace shopwalk {

struct RetryPolicy {
  // Tries of one shop before it is recorded as failed for good.
  int maxAttempts = 6;
  // Exponential back-off with full jitter: the wait before try n+1 is drawn evenly from
  // [0, min(longestBackoff, firstBackoff * 2^(n-1))].
  std::chrono::milliseconds firstBackoff{1000};
  std::chrono::milliseconds longestBackoff{60000};
  // A pause the server asks for (Retry-After) is kept, up to this long.
  std::chrono::milliseconds longestRetryAfter{600000};
  // The walk pauses when this many transient failures come in a row with no answered page
  // between them, or when failures have gone on for `outageWindow` with no answered page.
  int outageFailures = 5;
  std::chrono::milliseconds outageWindow{10000};
};

// The wait before the next try of a shop that has failed `failedAttempts` times (1 or more).
std::chrono::milliseconds BackoffDelay(const RetryPolicy& policy, int failedAttempts,
                                       std::mt19937_64& random);

}  // namespace shopwalk
