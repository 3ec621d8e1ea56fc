// A schedule of faults for one simulated walk, drawn from a seed: the walk (its shop IDs, workers,
// pace, engine policy, tries) and the faults that befall it (outages, rate limits, slow pages,
// store failures, stops, kills, and for a walk shared by several nodes their kills, freezes and
// the server's restarts). The same seed always draws the same schedule. Faults are numbered as
// drawn, so a schedule with some faults dropped names the rest by their numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/sim/marketplace_truth.h"
#include "tests/support/shop_pages.h"

namespace shopwalk::sim {

enum class FaultKind {
  Refused,        // nothing listens: every connection to the marketplace is refused
  Silent,         // requests are read and never answered
  Reset,          // connections are reset before an answer
  ServerError,    // HTTP 500, 502, 503 or 504 without Retry-After
  RateLimited,    // HTTP 429 or 503 with Retry-After (seconds or a date): an answer, not an outage
  Slow,           // the answer comes after a short stall (wall time)
  Dripping,       // half the page, a short stall, the rest
  StoreFails,     // every write of the results store fails (a full or failing disk)
  FlakyShop,      // one shop's home page fails its next few requests
  Stop,           // the walk is stopped as its user stops it, and started again
  Kill,           // the walking process is killed (SIGKILL) at once, and started again
  NodeKill,       // a node of a shared walk is killed and started again
  NodeFreeze,     // a node is stopped (SIGSTOP) past its lease, then continued
  ServerRestart,  // the shared walk's PostgreSQL server stops and starts again
  // The pages of every ID from `page.fromId` on stop matching the markers (a new layout, a
  // verification page, UTF-8, a reworded notice), from the walk's start until a life of the
  // walk ends held on it: then the user fixes the markers (or the marketplace comes back) and
  // starts the walk again.
  PageChange,
};

// Which of the marketplace's hosts a fault hits.
enum class Hosts { All, ShopPages, RatingPages };

struct Fault {
  // Its number in the schedule as drawn.
  std::size_t number = 0;
  FaultKind kind = FaultKind::Slow;
  Hosts hosts = Hosts::All;
  // When it begins: this long after the walk's start (manual time; wall time in a shared walk),
  // or, when afterRequests is above 0, as the marketplace gets its request of that number.
  std::int64_t atMs = 0;
  int afterRequests = 0;
  // How long it lasts (outages, rate limits, slow pages, store failures, freezes, a server away).
  std::int64_t lastsMs = 0;
  // The HTTP status (ServerError, RateLimited, FlakyShop).
  int status = 0;
  // RateLimited: the pause asked for, in seconds, as a number or as a date.
  int retryAfterSeconds = 0;
  bool retryAfterDate = false;
  // Slow, Dripping: the stall (wall time).
  int stallMs = 0;
  // FlakyShop: the shop and how many of its requests fail.
  std::int32_t shopId = 0;
  int failures = 0;
  // NodeKill, NodeFreeze: the node (from 0).
  int node = 0;
  // ServerRestart: the server quits at once (as a crash) rather than shutting down.
  bool immediate = false;
  // PageChange: the change and the first ID it applies to.
  pages::PageChange page;

  // Whether the marketplace does not answer during it (the walk is to pause and probe).
  bool IsOutage() const;
  // Whether it changes how the marketplace answers.
  bool IsMarketplaceFault() const;
  bool Hits(Hosts host) const;
  std::string Describe() const;
};

// A walk that follows the top of the marketplace (walk --follow) while it lives: its follow
// window and interval, the shops that open above the top and the listed shops renamed as it runs
// (in the order of their moments), and when its user stops it for good.
struct FollowPlan {
  int window = 0;
  std::int64_t everyMs = 0;
  std::int64_t endMs = 0;
  std::vector<ShopEvent> events;

  // The newest shop of the walk's range when it starts (the top the walk is to find).
  std::int32_t drawnTop = 0;

  // How long after a shop opens (or the marketplace is itself again) the walk has surely listed
  // it at `rate`: a sweep to come round and to ask the window, twice over.
  std::int64_t SettleMs(double rate) const;
};

struct Schedule {
  std::uint64_t seed = 0;
  // A walk shared by several nodes through PostgreSQL (on wall time).
  bool shared = false;
  std::int32_t first = 0;
  std::int32_t last = 0;
  int threads = 4;
  // Shop IDs a second (0: flat out).
  double rate = 0;
  std::optional<int> maxRequests;
  int maxAttempts = 6;
  // The window's engine policy instead of the command line's.
  bool windowPolicy = false;
  // A shared walk: its nodes, block size and lease (milliseconds).
  int nodes = 0;
  int blockSize = 0;
  int leaseMs = 0;
  int renewMs = 0;
  std::vector<Fault> faults;
  // A walk of one node that follows the top instead of ending at `last` (which is then the
  // marketplace's top as the walk starts).
  std::optional<FollowPlan> follow;

  // The marketplace's truth for this walk (its live events included).
  MarketplaceTruth Truth() const;

  // Manual time from the start by which the walk would have handed out every ID at its pace
  // (0 when flat out).
  std::int64_t PacedLengthMs() const;
  // The schedule with only the faults numbered `numbers`.
  Schedule Keeping(const std::vector<std::size_t>& numbers) const;
  // The numbers of its faults.
  std::vector<std::size_t> FaultNumbers() const;
  // Several lines: the walk, then each fault.
  std::string Describe() const;
};

Schedule DrawSchedule(std::uint64_t seed);

// Whether the seed draws a shared walk (about one in ten).
bool DrawsSharedWalk(std::uint64_t seed);

// "2,5,7".
std::string NumberList(const std::vector<std::size_t>& numbers);
// Parses "2,5,7"; nothing for anything else.
std::optional<std::vector<std::size_t>> ParseNumberList(const std::string& text);

}  // namespace shopwalk::sim
