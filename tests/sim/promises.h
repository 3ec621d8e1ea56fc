// The promises a walk keeps, judged from what a simulated walk left (tests/sim/evidence.h):
//   - every ID up to the place (as stored at every kill, stop and at the end) has exactly one
//     durable outcome: a row, no shop, no fields, or failed with a reason; no ID gets a second
//     row; an ID is asked for again only as a retry of a failure, a re-walk above the place after a
//     restart, or (shared) in a block taken over from a node whose lease ran out;
//   - no row is lost or doubled against the marketplace's truth, and the walk reaches its end;
//   - the walk is never paused for more than one probe interval after the marketplace answers
//     again; no request goes to any host inside a Retry-After hold; no shop fails for good during
//     an outage while the walk has IDs to hand out;
//   - the walking process's peak memory stays under 256 MB and its descriptors at most 32 beyond
//     what its workers' web clients hold (DescriptorsPerWorker each);
//   - (shared) no row is written by a node whose lease was taken;
//   - following the top: every shop that opened is listed once, no ID that opened ever had "no
//     shop" as its final answer, and the place never passes the newest shop there is;
//   - every change of a listed shop's field between two lives of the walk is in the store's
//     history with its old and new value, and each field's changes chain to what its row holds.
// Each broken promise is one line saying what and where.
#pragma once

#include <string>
#include <vector>

#include "tests/sim/evidence.h"

namespace shopwalk::sim {

inline constexpr long long MostResidentBytes = 256LL << 20;
inline constexpr int DescriptorsBeyondWorkers = 32;
// Each worker's web client holds libcurl's wake-up socket pair (through which a transfer is
// aborted) and its connection to the rating host, kept from shop to shop.
inline constexpr int DescriptorsPerWorker = 3;
// The longest a probe or a retry waits (RetryPolicy::longestBackoff), and the longest pause a
// Retry-After asks for that is kept (RetryPolicy::longestRetryAfter).
inline constexpr std::chrono::seconds LongestBackoff{60};
inline constexpr std::chrono::seconds LongestRetryAfter{600};

std::vector<std::string> BrokenPromises(const Evidence& evidence);

}  // namespace shopwalk::sim
