#include "tests/sim/fault_plan.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace shopwalk::sim {
namespace {

Clock::Duration Ms(std::int64_t ms) {
  return std::chrono::milliseconds(ms);
}

bool IsCountedStretch(const Fault& fault) {
  return (fault.kind == FaultKind::Slow || fault.kind == FaultKind::Dripping) && fault.failures > 0;
}

}  // namespace

std::string HttpDate(Clock::CalendarTime time) {
  static constexpr std::array<const char*, 7> Days = {"Sun", "Mon", "Tue", "Wed",
                                                      "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> Months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t seconds = static_cast<std::time_t>(UnixSeconds(time));
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", Days[parts.tm_wday],
                parts.tm_mday, Months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour,
                parts.tm_min, parts.tm_sec);
  return text;
}

FaultPlan::FaultPlan(const Schedule& schedule, const Clock& clock)
    : schedule_(schedule), clock_(clock), start_(clock.Now()), states_(schedule.faults.size()) {
  for (std::size_t i = 0; i < schedule_.faults.size(); ++i) {
    const Fault& fault = schedule_.faults[i];
    State& state = states_[i];
    if (fault.kind == FaultKind::FlakyShop || IsCountedStretch(fault))
      state.budget = fault.failures;
    if (fault.afterRequests > 0) continue;
    state.start = start_ + Ms(fault.atMs);
    if (fault.lastsMs > 0 && !IsCountedStretch(fault)) state.end = *state.start + Ms(fault.lastsMs);
  }
}

FaultPlan::Window FaultPlan::WindowOf(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return Window{states_[index].start, states_[index].end};
}

bool FaultPlan::InEffectLocked(std::size_t index, Clock::TimePoint now) const {
  const State& state = states_[index];
  const Fault& fault = schedule_.faults[index];
  if (!state.start || now < *state.start) return false;
  if (fault.kind == FaultKind::FlakyShop || IsCountedStretch(fault)) return state.budget > 0;
  if (fault.kind == FaultKind::PageChange) return !state.end || now < *state.end;
  return state.end && now < *state.end;
}

bool FaultPlan::InEffect(std::size_t index, Clock::TimePoint now) const {
  std::lock_guard lock(mutex_);
  return InEffectLocked(index, now);
}

bool FaultPlan::Refusing(Clock::TimePoint now) const {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < states_.size(); ++i) {
    if (schedule_.faults[i].kind == FaultKind::Refused && InEffectLocked(i, now)) return true;
  }
  return false;
}

std::optional<Clock::TimePoint> FaultPlan::NextChange(Clock::TimePoint now) const {
  std::lock_guard lock(mutex_);
  std::optional<Clock::TimePoint> next;
  const auto consider = [&](const std::optional<Clock::TimePoint>& time) {
    if (time && *time > now && (!next || *time < *next)) next = time;
  };
  for (const State& state : states_) {
    consider(state.start);
    consider(state.end);
  }
  return next;
}

std::vector<std::size_t> FaultPlan::TakeDueActions(Clock::TimePoint now) {
  std::lock_guard lock(mutex_);
  std::vector<std::size_t> due;
  for (std::size_t i = 0; i < states_.size(); ++i) {
    const FaultKind kind = schedule_.faults[i].kind;
    if (kind != FaultKind::Stop && kind != FaultKind::Kill) continue;
    State& state = states_[i];
    if (state.actionTaken || !state.start || now < *state.start) continue;
    state.actionTaken = true;
    due.push_back(i);
  }
  return due;
}

void FaultPlan::OnBegin(std::function<void(const Fault&)> listener) {
  std::lock_guard lock(mutex_);
  onBegin_ = std::move(listener);
}

int FaultPlan::RequestsAnswered() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::optional<std::size_t> FaultPlan::PageChangeAt(Clock::TimePoint now) const {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < states_.size(); ++i) {
    if (schedule_.faults[i].kind == FaultKind::PageChange && InEffectLocked(i, now)) return i;
  }
  return std::nullopt;
}

std::optional<std::size_t> FaultPlan::UndoPageChange(Clock::TimePoint now) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < states_.size(); ++i) {
    if (schedule_.faults[i].kind != FaultKind::PageChange || !InEffectLocked(i, now)) continue;
    states_[i].end = now;
    return i;
  }
  return std::nullopt;
}

std::optional<test::Page> FaultPlan::Answer(const MarketplaceTruth& truth, int node,
                                            const std::string& host, const std::string& path) {
  const Clock::TimePoint now = clock_.Now();
  // The live marketplace's moment (a shared walk's runs on wall time and has no live events).
  const std::int64_t atMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - start_).count();
  const std::optional<std::int32_t> shopHost = pages::ShopIdOfHost(host);
  const bool rating = host == pages::RatingHost();
  test::Page page;
  if (shopHost) {
    page.body = truth.HomePage(*shopHost, node, atMs);
  } else if (rating) {
    const std::optional<std::string> body = truth.RatingPage(path, node, atMs);
    if (!body) return std::nullopt;
    page.body = *body;
  } else {
    return std::nullopt;
  }
  const Hosts hit = rating ? Hosts::RatingPages : Hosts::ShopPages;

  std::lock_guard lock(mutex_);
  ++requests_;
  // A page change alters the page itself; the faults below keep it from being answered at all.
  for (std::size_t i = 0; i < states_.size(); ++i) {
    const Fault& fault = schedule_.faults[i];
    if (fault.kind != FaultKind::PageChange || !InEffectLocked(i, now)) continue;
    const std::optional<std::int32_t> id = shopHost ? shopHost : truth.ShopOfRatingPath(path, atMs);
    if (!id) break;
    const pages::ServedPage served =
        pages::ChangedPage(*id, truth.ShopAt(*id, atMs), rating, fault.page);
    page.body = served.body;
    page.contentType = served.contentType;
    break;
  }
  for (std::size_t i = 0; i < states_.size(); ++i) {
    const Fault& fault = schedule_.faults[i];
    State& state = states_[i];
    if (fault.afterRequests != requests_ || state.start) continue;
    state.start = now;
    if (fault.lastsMs > 0 && !IsCountedStretch(fault)) state.end = now + Ms(fault.lastsMs);
    // Told under the lock: a gate closes before any later request is answered.
    if (onBegin_) onBegin_(fault);
  }

  // The first fault that keeps the page from being answered decides the answer.
  for (std::size_t i = 0; i < states_.size(); ++i) {
    const Fault& fault = schedule_.faults[i];
    if (!InEffectLocked(i, now) || !fault.Hits(hit)) continue;
    switch (fault.kind) {
      case FaultKind::Refused:
      case FaultKind::Reset:
        // A connection made before the gate closed still gets no answer.
        page.misbehaviour = test::Misbehaviour::ResetBeforeAnswer;
        return page;
      case FaultKind::Silent:
        page.misbehaviour = test::Misbehaviour::SilentUntilHangUp;
        page.stallMs = SilentLimitMs;
        return page;
      case FaultKind::ServerError:
        page.status = fault.status;
        page.body = "<html><body>server error</body></html>";
        return page;
      case FaultKind::RateLimited: {
        page.status = fault.status;
        page.body = "<html><body>slow down</body></html>";
        std::string value = std::to_string(fault.retryAfterSeconds);
        if (fault.retryAfterDate) {
          value = HttpDate(clock_.CalendarNow() + std::chrono::seconds(fault.retryAfterSeconds));
        }
        page.headers.emplace_back("Retry-After", value);
        return page;
      }
      case FaultKind::FlakyShop:
        if (!shopHost || *shopHost != fault.shopId) break;
        --states_[i].budget;
        page.status = fault.status;
        page.body = "<html><body>try again</body></html>";
        return page;
      default:
        break;
    }
  }
  for (std::size_t i = 0; i < states_.size(); ++i) {
    const Fault& fault = schedule_.faults[i];
    if (!InEffectLocked(i, now) || !fault.Hits(hit)) continue;
    if (fault.kind != FaultKind::Slow && fault.kind != FaultKind::Dripping) continue;
    if (IsCountedStretch(fault)) --states_[i].budget;
    page.misbehaviour = fault.kind == FaultKind::Slow ? test::Misbehaviour::StallBeforeAnswer
                                                      : test::Misbehaviour::StallMidBody;
    page.stallMs = fault.stallMs;
    return page;
  }
  return page;
}

}  // namespace shopwalk::sim
