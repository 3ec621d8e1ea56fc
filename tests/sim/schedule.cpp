#include "tests/sim/schedule.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>

namespace shopwalk::sim {
namespace {

class Draw {
 public:
  explicit Draw(std::uint64_t seed) : random_(seed) {}
  // Evenly from `low` to `high`, both included.
  std::int64_t Between(std::int64_t low, std::int64_t high) {
    return std::uniform_int_distribution<std::int64_t>(low, high)(random_);
  }
  bool Chance(double p) { return std::bernoulli_distribution(p)(random_); }
  // From `low` to `high`, evenly on a log scale (short ones as likely as long ones).
  std::int64_t LogBetween(std::int64_t low, std::int64_t high) {
    const double x = std::uniform_real_distribution<double>(
        std::log(static_cast<double>(low)), std::log(static_cast<double>(high)))(random_);
    return std::clamp<std::int64_t>(std::llround(std::exp(x)), low, high);
  }
  template <typename T>
  T OneOf(std::initializer_list<T> values) {
    const auto index =
        static_cast<std::size_t>(Between(0, static_cast<std::int64_t>(values.size()) - 1));
    return *(values.begin() + index);
  }
  std::mt19937_64& Random() { return random_; }

 private:
  std::mt19937_64 random_;
};

const char* HostsName(Hosts hosts) {
  switch (hosts) {
    case Hosts::All:
      return "every host";
    case Hosts::ShopPages:
      return "the shops' hosts";
    case Hosts::RatingPages:
      return "the rating host";
  }
  return "";
}

std::string Seconds(std::int64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(ms) / 1000.0);
  return text;
}

Hosts DrawHosts(Draw& draw) {
  const std::int64_t pick = draw.Between(0, 99);
  if (pick < 45) return Hosts::All;
  if (pick < 85) return Hosts::RatingPages;
  return Hosts::ShopPages;
}

// When a fault begins: at a time within the paced walk, or (flat out, where the clock stands
// while the walk runs) at a request within the walk.
void DrawStart(Draw& draw, const Schedule& schedule, Fault& fault) {
  const std::int64_t paced = schedule.PacedLengthMs();
  if (paced > 0) {
    fault.atMs = draw.Between(0, paced + paced / 10);
  } else {
    const std::int64_t ids = std::int64_t{schedule.last} - schedule.first + 1;
    fault.afterRequests = static_cast<int>(draw.Between(1, ids + ids / 5));
  }
}

// A stretch of slow answers: a few dozen IDs long, at the pace or in requests.
void DrawSlowStretch(Draw& draw, const Schedule& schedule, Fault& fault) {
  const std::int64_t ids = draw.Between(3, 40);
  if (schedule.rate > 0) {
    fault.lastsMs = std::llround(static_cast<double>(ids) * 1000.0 / schedule.rate);
  } else {
    // Counted in requests: the clock stands still while a walk runs flat out.
    fault.failures = static_cast<int>(ids);
  }
}

Schedule DrawSingle(Draw& draw, std::uint64_t seed) {
  Schedule schedule;
  schedule.seed = seed;
  const std::int64_t ids = draw.Between(900, 1100);
  schedule.first = static_cast<std::int32_t>(draw.Between(10'000'000, 90'000'000));
  schedule.last = static_cast<std::int32_t>(schedule.first + ids - 1);
  schedule.threads = draw.OneOf({1, 2, 3, 4, 6, 8, 12, 16});
  schedule.rate = draw.Chance(0.75) ? 0.0 : draw.OneOf({5.0, 10.0, 20.0, 50.0});
  if (draw.Chance(0.25)) schedule.maxRequests = static_cast<int>(draw.Between(1, schedule.threads));
  schedule.maxAttempts = draw.Chance(0.6) ? 6 : static_cast<int>(draw.Between(3, 10));
  schedule.windowPolicy = draw.Chance(0.2);

  struct Weighted {
    FaultKind kind;
    int weight;
  };
  constexpr Weighted Kinds[] = {
      {FaultKind::Refused, 8},      {FaultKind::Silent, 5},       {FaultKind::Reset, 8},
      {FaultKind::ServerError, 10}, {FaultKind::RateLimited, 10}, {FaultKind::Slow, 6},
      {FaultKind::Dripping, 5},     {FaultKind::StoreFails, 10},  {FaultKind::FlakyShop, 8},
      {FaultKind::Stop, 8},         {FaultKind::Kill, 12},
  };
  int total = 0;
  for (const Weighted& kind : Kinds) total += kind.weight;
  const int count = static_cast<int>(draw.Between(0, 8));
  for (int i = 0; i < count; ++i) {
    int pick = static_cast<int>(draw.Between(0, total - 1));
    Fault fault;
    for (const Weighted& kind : Kinds) {
      if (pick < kind.weight) {
        fault.kind = kind.kind;
        break;
      }
      pick -= kind.weight;
    }
    fault.number = static_cast<std::size_t>(i);
    DrawStart(draw, schedule, fault);
    switch (fault.kind) {
      case FaultKind::Refused:
        fault.lastsMs = draw.LogBetween(2'000, 240'000);
        break;
      case FaultKind::Silent:
        // Every silent request costs the client's silence limit of wall time: kept short.
        fault.hosts = DrawHosts(draw);
        fault.lastsMs = draw.LogBetween(2'000, 40'000);
        break;
      case FaultKind::Reset:
        fault.hosts = DrawHosts(draw);
        fault.lastsMs = draw.LogBetween(2'000, 240'000);
        break;
      case FaultKind::ServerError:
        fault.hosts = DrawHosts(draw);
        fault.status = draw.OneOf({500, 502, 503, 504});
        fault.lastsMs = draw.LogBetween(2'000, 240'000);
        break;
      case FaultKind::RateLimited: {
        fault.hosts = draw.Chance(0.7) ? Hosts::All : DrawHosts(draw);
        fault.status = draw.OneOf({429, 503});
        fault.retryAfterSeconds = draw.Chance(0.05) ? static_cast<int>(draw.Between(600, 1200))
                                                    : static_cast<int>(draw.LogBetween(1, 120));
        fault.retryAfterDate = draw.Chance(0.3);
        const std::int64_t pause = std::min(fault.retryAfterSeconds, 600) * std::int64_t{1000};
        fault.lastsMs = draw.Between(pause / 2 + 1, 3 * pause);
        break;
      }
      case FaultKind::Slow:
      case FaultKind::Dripping:
        fault.hosts = draw.Chance(0.5) ? Hosts::All : Hosts::RatingPages;
        fault.stallMs = static_cast<int>(draw.Between(2, fault.kind == FaultKind::Slow ? 15 : 10));
        DrawSlowStretch(draw, schedule, fault);
        break;
      case FaultKind::StoreFails:
        fault.lastsMs = draw.LogBetween(1'000, 180'000);
        break;
      case FaultKind::FlakyShop:
        fault.hosts = Hosts::ShopPages;
        fault.shopId = static_cast<std::int32_t>(draw.Between(schedule.first, schedule.last));
        fault.failures = static_cast<int>(draw.Between(1, schedule.maxAttempts + 2));
        fault.status = draw.OneOf({500, 503});
        // From the start, so the shop fails when it comes.
        fault.atMs = 0;
        fault.afterRequests = 0;
        break;
      case FaultKind::Stop:
      case FaultKind::Kill:
      default:
        break;
    }
    schedule.faults.push_back(fault);
  }
  return schedule;
}

const char* PageChangeName(const pages::PageChange& change) {
  using Kind = pages::PageChange::Kind;
  switch (change.kind) {
    case Kind::Layout:
      return change.home && change.rating ? "a new layout of home and rating pages"
             : change.rating              ? "a new layout of rating pages"
                                          : "a new layout of home pages";
    case Kind::Verification:
      return "a verification page answered with 200";
    case Kind::Utf8:
      return "pages sent as UTF-8";
    case Kind::RewordedNotice:
      return "a reworded \"no such shop\" notice";
    case Kind::NoticeOnShops:
      return "the \"no such shop\" notice on every page";
    case Kind::None:
      break;
  }
  return "no change";
}

// About one walk of one node in six meets a page change, drawn apart from its other faults (so
// that every seed keeps the schedule it drew before page changes were among them). The change
// lies at least MinIdsAfterChange below the walk's last ID: the guard judges a full window of
// answered pages (200 by default), so a change in the last IDs of a walk is out of its reach.
// A walk stopped or killed between the change and the hold leaves its answers under the change
// to the next run, whose guard's window starts with the store's latest answers.
constexpr std::int64_t MinIdsAfterChange = 400;

void DrawPageChange(std::uint64_t seed, Schedule& schedule) {
  Draw draw(seed ^ 0x50616765436867ull);
  if (!draw.Chance(1.0 / 6)) return;
  Fault fault;
  fault.kind = FaultKind::PageChange;
  fault.number = schedule.faults.size();
  using Kind = pages::PageChange::Kind;
  fault.page.kind = draw.OneOf(
      {Kind::Layout, Kind::Layout, Kind::Verification, Kind::Utf8, Kind::RewordedNotice});
  if (fault.page.kind == Kind::Layout) {
    const std::int64_t which = draw.Between(0, 2);
    fault.page.home = which != 1;
    fault.page.rating = which != 0;
  }
  fault.page.fromId = static_cast<std::int32_t>(
      draw.Between(schedule.first, std::int64_t{schedule.last} - MinIdsAfterChange));
  fault.shopId = fault.page.fromId;
  schedule.faults.push_back(fault);
}

// About one walk of one node in four (with the command line's engine policy and no page change)
// follows the top instead of ending at its last ID: a few shops open above the top at moments
// drawn within the walk and some intervals beyond it, and some listed shops are renamed; the user
// stops the walk for good some intervals after the last opening. The window is longer than any
// run of IDs without a shop in the range, so the walk does not take such a run for the top.
void DrawFollow(std::uint64_t seed, Schedule& schedule) {
  Draw draw(seed ^ 0x466f6c6c6f77ull);
  if (!draw.Chance(0.25) || schedule.windowPolicy) return;
  for (const Fault& fault : schedule.faults) {
    if (fault.kind == FaultKind::PageChange) return;
  }
  FollowPlan follow;
  const DrawnTop top = TopOfDrawnShops(seed, schedule.first, schedule.last);
  follow.drawnTop = top.newestShop;
  follow.window = top.longestGap + static_cast<int>(draw.Between(1, 12));
  follow.everyMs = draw.LogBetween(1'000, 30'000);
  const std::int64_t paced = schedule.PacedLengthMs();
  const std::int64_t openingsUntil = paced + 4 * follow.everyMs;
  const int openings = static_cast<int>(draw.Between(1, 10));
  std::vector<std::int64_t> moments;
  for (int i = 0; i < openings; ++i) moments.push_back(draw.Between(0, openingsUntil));
  std::sort(moments.begin(), moments.end());
  std::int32_t newest = top.newestShop;
  for (std::int64_t at : moments) {
    newest += 1 + static_cast<std::int32_t>(draw.Between(0, follow.window - 1));
    follow.events.push_back({ShopEvent::Kind::Open, newest, at});
  }
  const MarketplaceTruth drawn(seed);
  const int renames = static_cast<int>(draw.Between(0, 6));
  for (int i = 0; i < renames; ++i) {
    const auto id = static_cast<std::int32_t>(draw.Between(schedule.first, schedule.last));
    if (drawn.ExpectedAt(id) != Expected::Row) continue;
    follow.events.push_back({ShopEvent::Kind::Rename, id, draw.Between(0, openingsUntil)});
  }
  std::stable_sort(follow.events.begin(), follow.events.end(),
                   [](const ShopEvent& a, const ShopEvent& b) { return a.atMs < b.atMs; });
  // After the last opening, time for a sweep to come round and list it at the pace, twice over.
  // (The driver stops the walk later while a fault is still to come or its pause to pass.)
  follow.endMs = std::max(moments.back(), paced) + follow.SettleMs(schedule.rate);
  schedule.follow = follow;
}

Schedule DrawShared(Draw& draw, std::uint64_t seed) {
  Schedule schedule;
  schedule.seed = seed;
  schedule.shared = true;
  const std::int64_t ids = draw.Between(600, 1000);
  schedule.first = static_cast<std::int32_t>(draw.Between(10'000'000, 90'000'000));
  schedule.last = static_cast<std::int32_t>(schedule.first + ids - 1);
  schedule.nodes = static_cast<int>(draw.Between(2, 3));
  schedule.threads = static_cast<int>(draw.Between(2, 6));
  schedule.rate = 0;
  schedule.blockSize = static_cast<int>(draw.Between(40, 150));
  schedule.leaseMs = 300;
  schedule.renewMs = 100;
  const int count = static_cast<int>(draw.Between(1, 4));
  for (int i = 0; i < count; ++i) {
    Fault fault;
    fault.number = static_cast<std::size_t>(i);
    fault.atMs = draw.Between(0, 1500);
    switch (draw.Between(0, 5)) {
      case 0:
      case 1:
        fault.kind = FaultKind::NodeKill;
        fault.node = static_cast<int>(draw.Between(0, schedule.nodes - 1));
        break;
      case 2:
      case 3:
        fault.kind = FaultKind::NodeFreeze;
        fault.node = static_cast<int>(draw.Between(0, schedule.nodes - 1));
        fault.lastsMs = draw.Between(2 * schedule.leaseMs, 4 * schedule.leaseMs);
        break;
      case 4:
        fault.kind = FaultKind::ServerRestart;
        fault.immediate = draw.Chance(0.5);
        fault.lastsMs = draw.Between(50, 600);
        break;
      default:
        fault.kind = FaultKind::Slow;
        fault.hosts = Hosts::All;
        fault.stallMs = static_cast<int>(draw.Between(2, 10));
        fault.lastsMs = draw.Between(100, 600);
        break;
    }
    schedule.faults.push_back(fault);
  }
  return schedule;
}

}  // namespace

bool Fault::IsOutage() const {
  switch (kind) {
    case FaultKind::Refused:
    case FaultKind::Silent:
    case FaultKind::Reset:
    case FaultKind::ServerError:
      return true;
    default:
      return false;
  }
}

bool Fault::IsMarketplaceFault() const {
  switch (kind) {
    case FaultKind::Refused:
    case FaultKind::Silent:
    case FaultKind::Reset:
    case FaultKind::ServerError:
    case FaultKind::RateLimited:
    case FaultKind::Slow:
    case FaultKind::Dripping:
    case FaultKind::FlakyShop:
      return true;
    default:
      return false;
  }
}

bool Fault::Hits(Hosts host) const {
  return hosts == Hosts::All || hosts == host;
}

std::string Fault::Describe() const {
  std::ostringstream text;
  text << "#" << number << " ";
  switch (kind) {
    case FaultKind::Refused:
      text << "connections refused";
      break;
    case FaultKind::Silent:
      text << "no answer from " << HostsName(hosts);
      break;
    case FaultKind::Reset:
      text << "connections to " << HostsName(hosts) << " reset";
      break;
    case FaultKind::ServerError:
      text << "HTTP " << status << " from " << HostsName(hosts);
      break;
    case FaultKind::RateLimited:
      text << "HTTP " << status << " from " << HostsName(hosts) << " with Retry-After "
           << retryAfterSeconds << " s" << (retryAfterDate ? " as a date" : "");
      break;
    case FaultKind::Slow:
      text << "answers from " << HostsName(hosts) << " after " << stallMs << " ms";
      break;
    case FaultKind::Dripping:
      text << "pages from " << HostsName(hosts) << " stall " << stallMs << " ms halfway";
      break;
    case FaultKind::StoreFails:
      text << "the store's writes fail";
      break;
    case FaultKind::FlakyShop:
      text << "shop " << shopId << " fails its next " << failures << " requests with HTTP "
           << status;
      break;
    case FaultKind::Stop:
      text << "the walk is stopped and started again";
      break;
    case FaultKind::Kill:
      text << "the walking process is killed and started again";
      break;
    case FaultKind::NodeKill:
      text << "node " << node << " is killed and started again";
      break;
    case FaultKind::NodeFreeze:
      text << "node " << node << " is frozen";
      break;
    case FaultKind::ServerRestart:
      text << "the PostgreSQL server " << (immediate ? "quits at once" : "shuts down")
           << " and starts again";
      break;
    case FaultKind::PageChange:
      text << PageChangeName(page) << " from ID " << page.fromId << ", until the walk holds on it";
      return text.str();
  }
  if (kind == FaultKind::FlakyShop) return text.str();
  if (afterRequests > 0) {
    text << " from request " << afterRequests;
  } else {
    text << " at " << Seconds(atMs);
  }
  if ((kind == FaultKind::Slow || kind == FaultKind::Dripping) && failures > 0) {
    text << " for " << failures << " requests";
  } else if (lastsMs > 0) {
    text << " for " << Seconds(lastsMs);
  }
  return text.str();
}

std::int64_t FollowPlan::SettleMs(double rate) const {
  const std::int64_t sweepMs = rate > 0 ? std::llround(2.0 * window * 1000.0 / rate) : 0;
  return 2 * (everyMs + sweepMs) + 1000;
}

MarketplaceTruth Schedule::Truth() const {
  if (!follow) return MarketplaceTruth(seed);
  return MarketplaceTruth(seed, follow->events, last);
}

std::int64_t Schedule::PacedLengthMs() const {
  if (rate <= 0) return 0;
  return std::llround((static_cast<double>(last) - first + 1) * 1000.0 / rate);
}

Schedule Schedule::Keeping(const std::vector<std::size_t>& numbers) const {
  Schedule kept = *this;
  kept.faults.clear();
  for (const Fault& fault : faults) {
    if (std::find(numbers.begin(), numbers.end(), fault.number) != numbers.end()) {
      kept.faults.push_back(fault);
    }
  }
  return kept;
}

std::vector<std::size_t> Schedule::FaultNumbers() const {
  std::vector<std::size_t> numbers;
  for (const Fault& fault : faults) numbers.push_back(fault.number);
  return numbers;
}

std::string Schedule::Describe() const {
  std::ostringstream text;
  text << "seed " << seed << ": ";
  if (shared) {
    text << "a walk shared by " << nodes << " nodes (" << threads << " workers each, blocks of "
         << blockSize << ", leases of " << leaseMs << " ms)";
  } else {
    text << threads << " workers, " << (windowPolicy ? "the window's" : "the command line's")
         << " engine policy, ";
    if (rate > 0) {
      text << rate << " IDs a second";
    } else {
      text << "flat out";
    }
    if (maxRequests) text << ", at most " << *maxRequests << " requests at once";
    text << ", " << maxAttempts << " tries";
  }
  text << ", shop IDs " << first << " to " << last << "\n";
  if (follow) {
    text << "  following the top (newest shop " << follow->drawnTop << ") with a window of "
         << follow->window << " IDs every " << Seconds(follow->everyMs) << ", stopped at "
         << Seconds(follow->endMs) << "\n";
    for (const ShopEvent& event : follow->events) {
      text << "  " << (event.kind == ShopEvent::Kind::Open ? "shop opens at " : "shop renamed: ")
           << event.id << " at " << Seconds(event.atMs) << "\n";
    }
  }
  if (faults.empty()) text << "  no faults\n";
  for (const Fault& fault : faults) text << "  " << fault.Describe() << "\n";
  return text.str();
}

bool DrawsSharedWalk(std::uint64_t seed) {
  // A draw of its own, so the walk's other draws do not depend on it.
  std::mt19937_64 random(seed ^ 0x5368617265645761ull);
  return random() % 10 == 0;
}

Schedule DrawSchedule(std::uint64_t seed) {
  Draw draw(seed);
  if (DrawsSharedWalk(seed)) return DrawShared(draw, seed);
  Schedule schedule = DrawSingle(draw, seed);
  DrawPageChange(seed, schedule);
  DrawFollow(seed, schedule);
  return schedule;
}

std::string NumberList(const std::vector<std::size_t>& numbers) {
  std::string text;
  for (std::size_t number : numbers) {
    if (!text.empty()) text += ",";
    text += std::to_string(number);
  }
  return text;
}

std::optional<std::vector<std::size_t>> ParseNumberList(const std::string& text) {
  std::vector<std::size_t> numbers;
  if (text.empty()) return numbers;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string part = text.substr(start, comma - start);
    if (part.empty() || part.size() > 6 ||
        part.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    numbers.push_back(static_cast<std::size_t>(std::stoul(part)));
    start = comma + 1;
  }
  return numbers;
}

}  // namespace shopwalk::sim
