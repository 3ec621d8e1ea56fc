#include "collect/retry_policy.h"

#include <algorithm>

namespace shopwalk {

std::chrono::milliseconds BackoffDelay(const RetryPolicy& policy, int failedAttempts,
                                       std::mt19937_64& random) {
  using std::chrono::milliseconds;
  const std::int64_t longest = std::max<std::int64_t>(policy.longestBackoff.count(), 0);
  std::int64_t ceiling = std::max<std::int64_t>(policy.firstBackoff.count(), 0);
  for (int n = 1; n < failedAttempts && ceiling < longest; ++n) ceiling *= 2;
  ceiling = std::min(ceiling, longest);
  std::uniform_int_distribution<std::int64_t> draw(0, ceiling);
  return milliseconds(draw(random));
}

}  // namespace shopwalk
