#include "tests/sim/promises.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <sstream>

#include "collect/result_sink.h"
#include "tests/sim/marketplace_truth.h"
#include "tests/support/shop_pages.h"

namespace shopwalk::sim {
namespace {

using test::Misbehaviour;
using test::RecordedRequest;

// At most this many lines of one kind, so one fault does not bury the others.
constexpr int MostOfAKind = 3;
// The exit code of a walk held on the page-match guard.
constexpr int HeldOnPages = 4;

// Whether `life` ended by itself, held on the page-match guard.
bool HeldOnGuard(const Life& life) {
  return life.exitCode == HeldOnPages && !life.killed && !life.stopped;
}

// Whether a page change of the schedule reaches `id`.
bool ChangedAt(const Schedule& schedule, std::int32_t id) {
  for (const Fault& fault : schedule.faults) {
    if (fault.kind == FaultKind::PageChange && id >= fault.page.fromId) return true;
  }
  return false;
}

std::string At(const Evidence& evidence, Clock::TimePoint time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s",
                std::chrono::duration<double>(time - evidence.start).count());
  return text;
}

// Lines of one kind, the first few of them kept.
class Findings {
 public:
  explicit Findings(std::vector<std::string>& out) : out_(out) {}
  void Add(const std::string& kind, const std::string& line) {
    if (++counts_[kind] <= MostOfAKind) out_.push_back(line);
  }
  void Close() {
    for (const auto& [kind, count] : counts_) {
      if (count > MostOfAKind) {
        out_.push_back("... and " + std::to_string(count - MostOfAKind) + " more: " + kind);
      }
    }
  }

 private:
  std::vector<std::string>& out_;
  std::map<std::string, int> counts_;
};

// A request, as the checks see it.
struct Asked {
  std::size_t index = 0;
  int node = -1;
  std::optional<std::int32_t> shop;
  bool rating = false;
  Clock::TimePoint at;
  // The whole page was answered on a connection the gate left alone, soon enough that the walker
  // surely had it.
  bool answered = false;
  // The answer (of any kind) surely reached the walker.
  bool delivered = false;
  // It failed at the marketplace (an error status, a reset, silence).
  bool failed = false;
  const RecordedRequest* request = nullptr;
};

bool FailingStatus(int status) {
  return status == 408 || status == 425 || status == 429 || status >= 500;
}

std::vector<Asked> Classify(const Evidence& evidence, const MarketplaceTruth& truth) {
  std::vector<Asked> asked;
  for (std::size_t node = 0; node < evidence.requests.size(); ++node) {
    const std::vector<RecordedRequest>& log = evidence.requests[node];
    // The last request of each connection: on a connection the gate names, it is the one whose
    // answer may have been lost.
    std::map<int, std::size_t> lastOnConnection;
    for (std::size_t i = 0; i < log.size(); ++i) lastOnConnection[log[i].clientPort] = i;
    // Each request's place among those of its connection, to find how long its client waited.
    std::map<int, std::size_t> onConnection;
    for (std::size_t i = 0; i < log.size(); ++i) {
      const RecordedRequest& request = log[i];
      Asked entry;
      entry.index = i;
      entry.node = evidence.schedule.shared ? static_cast<int>(node) : -1;
      entry.request = &request;
      std::string host = request.host.substr(0, request.host.find(':'));
      entry.shop = pages::ShopIdOfHost(host);
      if (!entry.shop) {
        entry.shop = truth.ShopOfRatingPath(request.path.substr(0, request.path.find('?')));
        entry.rating = entry.shop.has_value();
      }
      entry.at = request.at.value_or(evidence.start);
      const bool cut = evidence.resetPorts.count(request.clientPort) > 0 &&
                       lastOnConnection[request.clientPort] == i;
      entry.failed = FailingStatus(request.answerStatus) ||
                     request.answer == Misbehaviour::ResetBeforeAnswer ||
                     request.answer == Misbehaviour::SilentUntilHangUp;
      // An answer that took half the client's silence limit may have come too late for it.
      const auto soon = [&](std::chrono::microseconds took) {
        return took < std::chrono::microseconds::max() / 4 && took * 2 < evidence.receiveLimit;
      };
      bool inTime = request.answeredIn && soon(*request.answeredIn);
      const std::size_t order = onConnection[request.clientPort]++;
      if (const auto waits = evidence.waits.find(request.clientPort);
          waits != evidence.waits.end()) {
        inTime = inTime && order < waits->second.size() && soon(waits->second[order]);
      }
      entry.delivered = !cut && inTime;
      entry.answered = entry.delivered && request.answerStatus == 200 &&
                       (request.answer == Misbehaviour::None ||
                        request.answer == Misbehaviour::StallBeforeAnswer);
      asked.push_back(entry);
    }
  }
  return asked;
}

// The life of the walk of one node that made request `index` of its log.
const Life* LifeOf(const Evidence& evidence, int node, std::size_t index) {
  for (const Life& life : evidence.lives) {
    if (life.node == node && index >= life.firstRequest && index < life.endRequest) return &life;
  }
  return nullptr;
}

std::optional<std::int64_t> PlaceNumber(const std::string& place) {
  if (place.empty() || place.size() > 11) return std::nullopt;
  char* end = nullptr;
  const long long value = std::strtoll(place.c_str(), &end, 10);
  if (*end != '\0') return std::nullopt;
  return value;
}

std::optional<std::int64_t> PlaceOf(const StoreSnapshot& store) {
  if (store.sharedPlace) return store.sharedPlace;
  if (const std::optional<std::string> place = store.CommandLinePlace()) return PlaceNumber(*place);
  return std::nullopt;
}

std::string OutcomeText(const StoreSnapshot& store, std::int32_t id) {
  if (store.rows.count(id) > 0) return "a row";
  if (const auto answer = store.answers.find(id); answer != store.answers.end()) {
    return answer->second == 1 ? "no shop" : "no fields";
  }
  if (store.failed.count(id) > 0) return "failed";
  return "nothing";
}

Clock::TimePoint SteadyOfUnixMs(const Evidence& evidence, std::int64_t unixMs) {
  return evidence.start + std::chrono::milliseconds(unixMs - UnixMs(evidence.calendarStart));
}

// The places: at every life's end and at the end, every ID up to the place has one outcome.
void CheckPlaces(const Evidence& evidence, Findings& findings) {
  const Schedule& schedule = evidence.schedule;
  const auto check = [&](const StoreSnapshot& store, const std::string& when) {
    if (!store.problem.empty()) {
      findings.Add("store unreadable",
                   "the store could not be read " + when + ": " + store.problem);
      return;
    }
    for (const auto& [id, record] : store.rows) {
      // A row whose pages stopped matching is marked to be asked again: kept as a failure on
      // record beside it, that is no second outcome.
      const auto failure = store.failed.find(id);
      const bool marked =
          failure != store.failed.end() && failure->second.reason == ResultSink::RevisitReason;
      if (store.answers.count(id) + store.failed.count(id) > (marked ? 1 : 0)) {
        findings.Add("two outcomes", "shop " + std::to_string(id) + " has a row and is also " +
                                         (store.failed.count(id) > 0 ? "failed" : "answered") +
                                         " " + when);
      }
    }
    // The place saved in config.ini (as the window saves it) promises as much as the store's.
    if (store.savedPlace) {
      const std::optional<std::int64_t> saved = PlaceNumber(*store.savedPlace);
      for (std::int64_t id = schedule.first;
           saved && id <= std::min<std::int64_t>(*saved, schedule.last); ++id) {
        if (store.OutcomeCount(static_cast<std::int32_t>(id)) == 0) {
          findings.Add("saved place past an unanswered ID",
                       "the place " + *store.savedPlace + " saved in config.ini " + when +
                           " passes ID " + std::to_string(id) + ", which has no durable outcome");
          break;
        }
      }
    }
    const std::optional<std::int64_t> place = PlaceOf(store);
    if (!place) return;
    // A walk that follows the top ends nowhere: its place may go up to the newest shop.
    std::int64_t last = schedule.last;
    if (schedule.follow) {
      last = std::max<std::int64_t>(last, *place);
    } else if (*place > schedule.last) {
      findings.Add("place beyond the walk", "the place " + std::to_string(*place) + " " + when +
                                                " is past the walk's last ID " +
                                                std::to_string(schedule.last));
    }
    for (std::int64_t id = schedule.first; id <= std::min<std::int64_t>(*place, last); ++id) {
      if (store.OutcomeCount(static_cast<std::int32_t>(id)) == 0) {
        findings.Add("place past an unanswered ID", "the place " + std::to_string(*place) + " " +
                                                        when + " passes ID " + std::to_string(id) +
                                                        ", which has no durable outcome");
        break;
      }
    }
  };
  for (std::size_t i = 0; i < evidence.lives.size(); ++i) {
    const Life& life = evidence.lives[i];
    if (evidence.schedule.shared) continue;
    std::string how = life.killed ? "killed" : life.stopped ? "stopped" : "ended";
    check(life.store, "when the walker was " + how + " at " + At(evidence, life.ended) + " (life " +
                          std::to_string(i) + ")");
  }
  check(evidence.final, "at the end");
}

bool SameFields(const ShopRecord& a, const ShopRecord& b) {
  return a.name == b.name && a.reputation == b.reputation && a.messenger == b.messenger &&
         a.openingDate == b.openingDate && a.address == b.address;
}

// The rows of each run's list, and the rows against the marketplace's truth.
void CheckRows(const Evidence& evidence, const MarketplaceTruth& truth,
               const std::vector<Asked>& asked, Findings& findings) {
  const Schedule& schedule = evidence.schedule;
  const StoreSnapshot& store = evidence.final;
  for (const StoreSnapshot::Run& run : store.runs) {
    std::set<std::int32_t> seen;
    for (std::int32_t id : run.rows) {
      if (!seen.insert(id).second) {
        findings.Add("second row", "shop " + std::to_string(id) + " got a second row in run " +
                                       std::to_string(run.id) + "'s list");
      }
    }
  }
  for (const auto& [id, record] : store.rows) {
    const bool opened = truth.OpenedAt(id).has_value();
    if (id < schedule.first || (id > schedule.last && !opened) ||
        truth.ExpectedAt(id) != Expected::Row) {
      findings.Add("row from nowhere",
                   "the store holds a row for ID " + std::to_string(id) + ", which has none");
    }
  }
  if (!evidence.finished) return;
  const std::optional<std::int64_t> place = PlaceOf(store);
  // A walk that follows the top ends at its newest shop: every shop that opened is listed.
  std::int32_t last = schedule.last;
  if (schedule.follow) last = truth.NewestShopAt(MarketplaceTruth::AtEnd).value_or(last);
  if (!place || *place != last) {
    findings.Add("walk ended short", "the walk ended with its place at " +
                                         (place ? std::to_string(*place) : std::string("none")) +
                                         ", not at its last ID " + std::to_string(last));
  }
  // The last request for each shop, to judge whether its failure was the marketplace's.
  std::map<std::int32_t, const Asked*> lastAsked;
  for (const Asked& entry : asked) {
    if (entry.shop) lastAsked[*entry.shop] = &entry;
  }
  for (std::int32_t id = schedule.first; id <= last; ++id) {
    const Expected expected = truth.ExpectedAt(id);
    if (const auto failure = store.failed.find(id); failure != store.failed.end()) {
      const auto last = lastAsked.find(id);
      const bool justified =
          failure->second.reason.size() > 0 && (last == lastAsked.end() || !last->second->answered);
      if (!justified) {
        findings.Add("failed though answered",
                     "shop " + std::to_string(id) + " is recorded failed (\"" +
                         failure->second.reason + "\") though the marketplace answered its " +
                         "last request");
      }
      continue;
    }
    if (expected == Expected::Row) {
      const auto row = store.rows.find(id);
      if (row == store.rows.end()) {
        findings.Add("row lost", "shop " + std::to_string(id) + " has " + OutcomeText(store, id) +
                                     " instead of its row");
        continue;
      }
      const ShopRecord& got = row->second;
      // The pages as they were at some moment of the walk (a renamed shop had several).
      std::vector<ShopRecord> wanted = truth.RowsOver(id);
      if (schedule.shared) {
        // The name carries the mark of the node that collected it.
        const std::optional<int> node = MarketplaceTruth::NodeMarkOf(got.name);
        wanted = {truth.RowAt(id, node.value_or(-1))};
      }
      if (std::none_of(wanted.begin(), wanted.end(),
                       [&](const ShopRecord& want) { return SameFields(got, want); })) {
        findings.Add("row wrong", "shop " + std::to_string(id) + "'s row differs from its pages");
      }
    } else {
      const int want = expected == Expected::NoShop ? 1 : 2;
      const auto answer = store.answers.find(id);
      if (answer == store.answers.end() || answer->second != want) {
        findings.Add("answer wrong", "ID " + std::to_string(id) + " has " + OutcomeText(store, id) +
                                         " instead of " + (want == 1 ? "no shop" : "no fields"));
      }
    }
  }
}

// A shared walk: an ID asked for again after a node had its answer, only in a block taken over
// from a node whose lease ran out (or claimed as a failed shop to retry): by a node that claimed
// it, the node that held it before among them (what it had handed out before it lost the lease),
// and by a node that had the answer itself only after claiming it again.
void CheckAskedAgainShared(const Evidence& evidence, const MarketplaceTruth& truth,
                           const std::vector<Asked>& asked, Findings& findings) {
  std::map<std::int32_t, std::vector<const Asked*>> homes;
  std::map<std::int32_t, std::vector<const Asked*>> ratings;
  for (const Asked& entry : asked) {
    if (entry.shop) (entry.rating ? ratings : homes)[*entry.shop].push_back(&entry);
  }
  const auto byTime = [](const Asked* a, const Asked* b) { return a->at < b->at; };
  const auto claimedBy = [&](int node, std::int32_t id, Clock::TimePoint after,
                             Clock::TimePoint until) {
    for (const SharedWalkLog::Claim& claim : evidence.sharedLog.claims) {
      if (claim.node == node && claim.first <= id && id <= claim.last && claim.at > after &&
          claim.at <= until) {
        return true;
      }
    }
    return false;
  };
  for (auto& [id, list] : homes) {
    std::stable_sort(list.begin(), list.end(), byTime);
    const std::optional<pages::Shop> shop = truth.ShopAt(id);
    const bool needsRating = shop && shop->hasMessenger && shop->hasRatingLink;
    // The last answer: when, and to which node.
    std::optional<std::pair<Clock::TimePoint, int>> answered;
    for (const Asked* home : list) {
      if (answered) {
        const auto [when, by] = *answered;
        const bool allowed = by == home->node
                                 ? claimedBy(home->node, id, when, home->at)
                                 : claimedBy(home->node, id, Clock::TimePoint::min(), home->at);
        if (!allowed) {
          findings.Add("asked again", "ID " + std::to_string(id) + " was asked for again by node " +
                                          std::to_string(home->node) + " at " +
                                          At(evidence, home->at) + " after node " +
                                          std::to_string(by) + " had its answer at " +
                                          At(evidence, when) + ", without a claim of it");
          break;
        }
        answered.reset();
      }
      if (!home->answered) continue;
      bool complete = !needsRating;
      for (const Asked* rating : ratings[id]) {
        if (rating->node == home->node && rating->index > home->index && rating->answered) {
          complete = true;
        }
      }
      if (complete) answered = std::make_pair(home->at, home->node);
    }
  }
}

// A shared walk: every row was written by the node holding the lease of its shop's block (or of
// the failed shop it retried).
void CheckLeasedWrites(const Evidence& evidence, Findings& findings) {
  const SharedWalkLog& log = evidence.sharedLog;
  if (!log.problem.empty()) {
    findings.Add("audit unreadable", "the shared walk's writes could not be read: " + log.problem);
  }
  for (const SharedWalkLog::RowWrite& write : log.rowWrites) {
    if (!write.servedTo || !write.blockHolder || *write.servedTo == *write.blockHolder) continue;
    if (write.blockDone && write.retryLease) continue;
    findings.Add("written without the lease",
                 "node " + std::to_string(*write.servedTo) + " wrote the row of shop " +
                     std::to_string(write.shopId) + " while node " +
                     std::to_string(*write.blockHolder) + " held its block" +
                     (write.blockDone ? " (done)" : ""));
  }
}

// A shop asked for again after it was answered: only after a restart that left it above the place
// or without its answer (or, shared, from a block taken over).
void CheckAskedAgain(const Evidence& evidence, const MarketplaceTruth& truth,
                     const std::vector<Asked>& asked, Findings& findings) {
  // Home-page requests by shop, and rating requests by shop, in the order of each log.
  std::map<std::pair<int, std::int32_t>, std::vector<const Asked*>> homes, ratings;
  for (const Asked& entry : asked) {
    if (!entry.shop) continue;
    (entry.rating ? ratings : homes)[{entry.node, *entry.shop}].push_back(&entry);
  }
  const auto msOf = [&](Clock::TimePoint at) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(at - evidence.start).count();
  };
  for (const auto& [key, list] : homes) {
    const auto [node, id] = key;
    const std::vector<const Asked*>* rated = nullptr;
    if (const auto found = ratings.find(key); found != ratings.end()) rated = &found->second;
    std::optional<std::size_t> answeredAt;
    for (std::size_t k = 0; k < list.size(); ++k) {
      const Asked& home = *list[k];
      if (answeredAt) {
        // Allowed only across a life that ended with the shop above its place or unanswered,
        // or, following the top, for an ID that was no shop yet (each sweep asks it again).
        bool allowed =
            evidence.schedule.follow && !truth.ShopAt(id, msOf(list[k - 1]->at)).has_value();
        const Life* was = LifeOf(evidence, node, *answeredAt);
        const Life* now = LifeOf(evidence, node, home.index);
        if (was != nullptr && now != nullptr && was != now) {
          for (const Life& life : evidence.lives) {
            if (life.node != node || life.firstRequest < was->firstRequest ||
                life.firstRequest >= now->firstRequest) {
              continue;
            }
            const std::optional<std::int64_t> place = PlaceOf(life.store);
            if (!place || id > *place || !life.store.Answered(id)) allowed = true;
            // Held on a page change, it marked the answers it could not trust to be asked again.
            if (HeldOnGuard(life) && ChangedAt(evidence.schedule, id)) allowed = true;
          }
        }
        if (!allowed) {
          findings.Add("asked again", "ID " + std::to_string(id) + " was asked for again at " +
                                          At(evidence, home.at) + " after it was answered at " +
                                          At(evidence, list[k - 1]->at));
          break;
        }
        answeredAt.reset();
      }
      if (!home.answered) continue;
      const std::optional<pages::Shop> shop = truth.ShopAt(id, msOf(home.at));
      const bool needsRating = shop && shop->hasMessenger && shop->hasRatingLink;
      bool complete = !needsRating;
      if (needsRating && rated != nullptr) {
        const std::size_t next =
            k + 1 < list.size() ? list[k + 1]->index : static_cast<std::size_t>(-1);
        for (const Asked* rating : *rated) {
          if (rating->index > home.index && rating->index < next && rating->answered) {
            complete = true;
          }
        }
      }
      if (complete) answeredAt = home.index;
    }
  }
}

struct Hold {
  int node = -1;
  std::size_t index = 0;
  Clock::TimePoint from;
  Clock::TimePoint until;
};

std::optional<Clock::CalendarTime> ParseHttpDate(const std::string& text) {
  char day[4] = {}, month[4] = {};
  int date = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (std::sscanf(text.c_str(), "%3s, %d %3s %d %d:%d:%d GMT", day, &date, month, &year, &hour,
                  &minute, &second) != 7) {
    return std::nullopt;
  }
  static const std::string Months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const std::size_t found = Months.find(month);
  if (found == std::string::npos) return std::nullopt;
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = static_cast<int>(found / 3);
  parts.tm_mday = date;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  return FromUnixSeconds(::timegm(&parts));
}

// The pauses the marketplace asked for, as the walk had to keep them.
std::vector<Hold> Holds(const Evidence& evidence, const std::vector<Asked>& asked) {
  std::vector<Hold> holds;
  for (const Asked& entry : asked) {
    const RecordedRequest& request = *entry.request;
    // A pause the walker may never have heard of binds nothing.
    if (request.retryAfter.empty() || !request.at || !entry.delivered) continue;
    Clock::Duration pause{0};
    if (request.retryAfter.find_first_not_of("0123456789") == std::string::npos) {
      pause = std::chrono::seconds(std::atoll(request.retryAfter.c_str()));
    } else if (const auto date = ParseHttpDate(request.retryAfter)) {
      const Clock::CalendarTime then =
          evidence.calendarStart +
          std::chrono::duration_cast<Clock::CalendarTime::duration>(*request.at - evidence.start);
      pause = std::max<Clock::Duration>(Clock::Duration::zero(), *date - then);
    }
    pause = std::min<Clock::Duration>(pause, LongestRetryAfter);
    if (pause <= Clock::Duration::zero()) continue;
    holds.push_back(Hold{entry.node, entry.index, *request.at, *request.at + pause});
  }
  return holds;
}

void CheckHolds(const Evidence& evidence, const std::vector<Asked>& asked,
                const std::vector<Hold>& holds, Findings& findings) {
  for (const Hold& hold : holds) {
    const Life* holder = LifeOf(evidence, hold.node, hold.index);
    for (const Asked& entry : asked) {
      if (entry.node != hold.node || entry.at <= hold.from || entry.at >= hold.until) continue;
      // A walker started again does not know of the pause its predecessor was asked for.
      if (LifeOf(evidence, entry.node, entry.index) != holder) continue;
      findings.Add("inside a hold", "a request to " + entry.request->host + " went at " +
                                        At(evidence, entry.at) + ", inside the Retry-After pause " +
                                        "asked for at " + At(evidence, hold.from) + " until " +
                                        At(evidence, hold.until));
      break;
    }
  }
}

// After an outage the walk goes on within one probe interval, unless something else holds it.
void CheckResumed(const Evidence& evidence, const std::vector<Asked>& asked,
                  const std::vector<Hold>& holds, Findings& findings) {
  const Schedule& schedule = evidence.schedule;
  const Clock::Duration pace = schedule.rate > 0
                                   ? std::chrono::milliseconds(std::llround(1000.0 / schedule.rate))
                                   : Clock::Duration::zero();
  const Clock::Duration slack = evidence.coarsestStep + pace + std::chrono::milliseconds(100);
  for (std::size_t i = 0; i < schedule.faults.size(); ++i) {
    const Fault& fault = schedule.faults[i];
    const FaultPlan::Window& window = evidence.windows[i];
    if (!fault.IsOutage() || !window.start || !window.end) continue;
    const Clock::TimePoint back = *window.end;
    const Clock::TimePoint bound = back + LongestBackoff + slack;
    // Anything else that may hold the walk near its end leaves this outage unjudged.
    bool clear = true;
    for (std::size_t j = 0; j < schedule.faults.size(); ++j) {
      const FaultPlan::Window& other = evidence.windows[j];
      if (j == i || !other.start) continue;
      const Fault& second = schedule.faults[j];
      const bool holding = second.IsOutage() || second.kind == FaultKind::RateLimited ||
                           second.kind == FaultKind::StoreFails || second.kind == FaultKind::Stop ||
                           second.kind == FaultKind::Kill;
      const Clock::TimePoint end = other.end.value_or(*other.start);
      if (holding && *other.start <= bound && end >= *window.start) clear = false;
    }
    for (const Hold& hold : holds) {
      if (hold.until > back && hold.from <= bound) clear = false;
    }
    const Life* living = nullptr;
    for (const Life& life : evidence.lives) {
      if (life.started <= *window.start && (life.ended >= bound || life.exitCode == 0)) {
        living = &life;
      }
    }
    if (!clear || living == nullptr) continue;
    const Asked* first = nullptr;
    for (const Asked& entry : asked) {
      if (entry.index < living->firstRequest || entry.index >= living->endRequest) continue;
      if (entry.at >= back) {
        first = &entry;
        break;
      }
    }
    if (first == nullptr) continue;  // the walk had nothing left to ask
    if (first->at > bound) {
      findings.Add("paused too long", "the marketplace answered again at " + At(evidence, back) +
                                          " (" + fault.Describe() +
                                          "), but the walk asked nothing until " +
                                          At(evidence, first->at));
      continue;
    }
    // Once answered, the walk runs again: another shop follows at its pace.
    const Asked* answered = nullptr;
    for (const Asked& entry : asked) {
      if (entry.index >= first->index && entry.index < living->endRequest && entry.answered) {
        answered = &entry;
        break;
      }
    }
    if (answered == nullptr) continue;
    for (const Asked& entry : asked) {
      if (entry.index <= answered->index || entry.index >= living->endRequest) continue;
      if (entry.shop == answered->shop) continue;
      if (entry.at > answered->at + slack) {
        findings.Add("paused too long", "after the answer at " + At(evidence, answered->at) +
                                            " ending " + fault.Describe() +
                                            ", the walk asked for its next shop only at " +
                                            At(evidence, entry.at));
      }
      break;
    }
  }
}

// No shop fails for good during an outage while the walk still has IDs to hand out.
void CheckFailuresInOutages(const Evidence& evidence, Findings& findings) {
  const Schedule& schedule = evidence.schedule;
  std::set<std::int32_t> flaky;
  for (const Fault& fault : schedule.faults) {
    if (fault.kind == FaultKind::FlakyShop) flaky.insert(fault.shopId);
  }
  std::set<std::int32_t> reported;
  const auto check = [&](const StoreSnapshot& store) {
    for (const auto& [id, failure] : store.failed) {
      if (flaky.count(id) > 0 || reported.count(id) > 0) continue;
      // A mark to ask the shop again (the pages stopped matching), not a failure of the shop.
      if (failure.reason == ResultSink::RevisitReason) continue;
      const Clock::TimePoint failed = SteadyOfUnixMs(evidence, failure.unixMs);
      const Life* living = nullptr;
      for (const Life& life : evidence.lives) {
        if (life.started <= failed && failed <= life.ended) living = &life;
      }
      // A shared walk hands out no last ID of its own: every node has IDs until the walk ends.
      if (living != nullptr && living->lastHandedOut && *living->lastHandedOut <= failed) continue;
      for (std::size_t i = 0; i < schedule.faults.size(); ++i) {
        const FaultPlan::Window& window = evidence.windows[i];
        if (!schedule.faults[i].IsOutage() || !window.start || !window.end) continue;
        if (failed < *window.start || failed >= *window.end) continue;
        reported.insert(id);
        findings.Add("failed in an outage", "shop " + std::to_string(id) + " failed for good at " +
                                                At(evidence, failed) + " (\"" + failure.reason +
                                                "\", " + std::to_string(failure.attempts) +
                                                " tries) during " + schedule.faults[i].Describe() +
                                                ", with IDs still to hand out");
        break;
      }
    }
  };
  for (const Life& life : evidence.lives) check(life.store);
  check(evidence.final);
}

// What a durable outcome of `id` says, against the marketplace's truth: empty when it is the truth
// (or none is on record, or a failure).
std::string WrongOutcome(const StoreSnapshot& store, const MarketplaceTruth& truth,
                         std::int32_t id) {
  const Expected expected = truth.ExpectedAt(id);
  if (const auto row = store.rows.find(id); row != store.rows.end()) {
    if (expected != Expected::Row) return "a row";
    const ShopRecord want = truth.RowAt(id, -1);
    const ShopRecord& got = row->second;
    const bool same = got.name == want.name && got.reputation == want.reputation &&
                      got.messenger == want.messenger && got.openingDate == want.openingDate;
    return same ? std::string() : "a row unlike its pages";
  }
  if (const auto answer = store.answers.find(id); answer != store.answers.end()) {
    const int want = expected == Expected::NoShop ? 1 : expected == Expected::NoFields ? 2 : 0;
    if (answer->second == want) return {};
    return answer->second == 1 ? "no shop" : "no fields";
  }
  return {};
}

// A page change: no answer that came while it was in effect stays final. Each life that held on
// the guard left every ID at or above the change whose outcome is not the truth marked, so that a
// later life asks it again (however the mark is kept); and the guard held before the walk ended.
// That the walk then lists the range as the truth says is judged with the other rows.
void CheckPageChanges(const Evidence& evidence, const MarketplaceTruth& truth,
                      const std::vector<Asked>& asked, Findings& findings) {
  const Schedule& schedule = evidence.schedule;
  if (schedule.shared) return;
  for (std::size_t i = 0; i < schedule.faults.size(); ++i) {
    const Fault& fault = schedule.faults[i];
    if (fault.kind != FaultKind::PageChange) continue;
    const FaultPlan::Window& window = evidence.windows[i];
    if (!window.end) {
      if (evidence.finished) {
        findings.Add("never held", "the walk ended while " + fault.Describe() +
                                       " was in effect: the page-match guard never held it");
      }
      continue;
    }
    // The life that held on it (the change was undone as it ended).
    for (const Life& life : evidence.lives) {
      if (!HeldOnGuard(life)) continue;
      // The home pages asked for after it.
      std::set<std::int32_t> askedLater;
      for (const Asked& entry : asked) {
        if (entry.index >= life.endRequest && entry.shop && !entry.rating) {
          askedLater.insert(*entry.shop);
        }
      }
      for (std::int32_t id = std::max(fault.page.fromId, schedule.first); id <= schedule.last;
           ++id) {
        const std::string wrong = WrongOutcome(life.store, truth, id);
        if (wrong.empty() || askedLater.count(id) > 0) continue;
        findings.Add("final under a page change",
                     "ID " + std::to_string(id) + " kept " + wrong + " as final when the walk " +
                         "held at " + At(evidence, life.ended) + " on " + fault.Describe() +
                         ", and no later life asked for it again");
      }
      break;
    }
  }
}

// Following the top: no ID that opened ever had "no shop" as its final answer (the window held it
// back until a newer shop was found above it), and the place never passed the newest shop there
// was when the walker ended.
void CheckFollowing(const Evidence& evidence, const MarketplaceTruth& truth, Findings& findings) {
  const Schedule& schedule = evidence.schedule;
  if (!schedule.follow) return;
  const auto check = [&](const StoreSnapshot& store, Clock::TimePoint at, const std::string& when) {
    for (const ShopEvent& event : schedule.follow->events) {
      if (event.kind != ShopEvent::Kind::Open) continue;
      if (const auto answer = store.answers.find(event.id);
          answer != store.answers.end() && answer->second == 1) {
        findings.Add("no shop before it opened",
                     "ID " + std::to_string(event.id) + ", which opens at " +
                         At(evidence, evidence.start + std::chrono::milliseconds(event.atMs)) +
                         ", has \"no shop\" as its final answer " + when);
      }
    }
    const std::optional<std::int64_t> place = PlaceOf(store);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at - evidence.start);
    const std::optional<std::int32_t> newest = truth.NewestShopAt(ms.count());
    if (place && newest && *place > *newest) {
      findings.Add("place past the follow window",
                   "the place " + std::to_string(*place) + " " + when +
                       " is past the newest shop there was, " + std::to_string(*newest));
    }
  };
  for (std::size_t i = 0; i < evidence.lives.size(); ++i) {
    const Life& life = evidence.lives[i];
    check(life.store, life.ended, "when life " + std::to_string(i) + " ended");
  }
  check(evidence.final, evidence.lives.empty() ? evidence.start : evidence.lives.back().ended,
        "at the end");
}

const std::string& FieldOf(const ShopRecord& record, int field) {
  switch (field) {
    case 1:
      return record.name;
    case 2:
      return record.reputation;
    case 3:
      return record.messenger;
    case 4:
      return record.openingDate;
    default:
      return record.address;
  }
}

// The history: each field of a listed shop that changed between two lives (or a life and the end)
// has that change on record, with its old and new value; and each field's changes chain (each old
// value is the new value before it) up to the value the row holds at the end.
void CheckHistory(const Evidence& evidence, Findings& findings) {
  if (evidence.schedule.shared) return;
  const StoreSnapshot& final = evidence.final;
  std::map<std::pair<std::int32_t, int>, std::vector<const StoreSnapshot::Change*>> chains;
  for (const StoreSnapshot::Change& change : final.changes) {
    chains[{change.shopId, change.field}].push_back(&change);
  }
  for (const auto& [key, chain] : chains) {
    const auto [id, field] = key;
    const std::string what = "field " + std::to_string(field) + " of shop " + std::to_string(id);
    for (std::size_t k = 0; k < chain.size(); ++k) {
      if (chain[k]->oldValue == chain[k]->newValue ||
          (k > 0 && chain[k]->oldValue != chain[k - 1]->newValue)) {
        findings.Add("history broken", "the history of " + what + " does not chain at change " +
                                           std::to_string(k + 1));
        break;
      }
    }
    const auto row = final.rows.find(id);
    if (row == final.rows.end() || FieldOf(row->second, field) != chain.back()->newValue) {
      findings.Add("history broken", "the last change of " + what + " is not what its row holds");
    }
  }
  const StoreSnapshot* before = nullptr;
  const auto compare = [&](const StoreSnapshot& after) {
    if (before != nullptr && before->problem.empty() && after.problem.empty()) {
      for (const auto& [id, was] : before->rows) {
        const auto now = after.rows.find(id);
        if (now == after.rows.end()) continue;
        for (int field = 1; field <= 5; ++field) {
          if (FieldOf(was, field) == FieldOf(now->second, field)) continue;
          const auto chain = chains.find({id, field});
          const bool recorded =
              chain != chains.end() &&
              std::any_of(chain->second.begin(), chain->second.end(), [&](const auto* change) {
                return change->oldValue == FieldOf(was, field) &&
                       change->newValue == FieldOf(now->second, field);
              });
          if (!recorded) {
            findings.Add("change not in the history",
                         "field " + std::to_string(field) + " of shop " + std::to_string(id) +
                             " changed between two lives of the walk with no change on record");
          }
        }
      }
    }
    before = &after;
  };
  for (const Life& life : evidence.lives) compare(life.store);
  compare(final);
}

}  // namespace

std::vector<std::string> BrokenPromises(const Evidence& evidence) {
  std::vector<std::string> broken;
  Findings findings(broken);
  const MarketplaceTruth truth = evidence.schedule.Truth();
  if (!evidence.trouble.empty()) findings.Add("trouble", evidence.trouble);
  const std::vector<Asked> asked = Classify(evidence, truth);
  const std::vector<Hold> holds = Holds(evidence, asked);
  CheckPlaces(evidence, findings);
  CheckRows(evidence, truth, asked, findings);
  if (evidence.schedule.shared) {
    CheckAskedAgainShared(evidence, truth, asked, findings);
    CheckLeasedWrites(evidence, findings);
  } else {
    CheckAskedAgain(evidence, truth, asked, findings);
  }
  CheckHolds(evidence, asked, holds, findings);
  CheckResumed(evidence, asked, holds, findings);
  CheckFailuresInOutages(evidence, findings);
  CheckPageChanges(evidence, truth, asked, findings);
  CheckFollowing(evidence, truth, findings);
  CheckHistory(evidence, findings);
  if (evidence.peakResidentBytes >= MostResidentBytes) {
    findings.Add("memory", "the walking process's peak memory was " +
                               std::to_string(evidence.peakResidentBytes >> 20) + " MB");
  }
  const int mostDescriptors =
      DescriptorsPerWorker * evidence.schedule.threads + DescriptorsBeyondWorkers;
  if (evidence.peakDescriptors > mostDescriptors) {
    findings.Add("descriptors",
                 "the walking process had " + std::to_string(evidence.peakDescriptors) +
                     " descriptors open, more than " + std::to_string(mostDescriptors) + " (" +
                     evidence.peakDescriptorKinds + ")");
  }
  findings.Close();
  return broken;
}

}  // namespace shopwalk::sim
