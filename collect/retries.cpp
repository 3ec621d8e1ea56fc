// Shops whose pages were not answered: waiting, trying again, failing for good, and the pause of
// the walk while the marketplace does not answer.
#include <algorithm>
#include <memory>

#include "collect/collector.h"

namespace shopwalk {
namespace {

// The ticket's second parameter: tries in the low 16 bits, the flags above them.
constexpr std::int32_t ProbeFlag = 1 << 16;
constexpr std::int32_t RecordedFlag = 1 << 17;
constexpr std::int32_t ProbeUsesTryFlag = 1 << 18;
constexpr std::int32_t AttemptsMask = ProbeFlag - 1;

// Whole seconds from `now` until `then`, rounded up, never negative.
std::chrono::seconds SecondsUntil(Clock::TimePoint then, Clock::TimePoint now) {
  if (then <= now) return std::chrono::seconds(0);
  return std::chrono::ceil<std::chrono::seconds>(then - now);
}

}  // namespace

std::int32_t Collector::Ticket::Pack() const {
  return (std::clamp(attempts, 0, static_cast<int>(AttemptsMask)) & AttemptsMask) |
         (probe ? ProbeFlag : 0) | (recorded ? RecordedFlag : 0) |
         (probeUsesTry ? ProbeUsesTryFlag : 0);
}

Collector::Ticket Collector::Ticket::Unpack(std::int32_t packed) {
  return Ticket{packed & AttemptsMask, (packed & ProbeFlag) != 0, (packed & RecordedFlag) != 0,
                (packed & ProbeUsesTryFlag) != 0};
}

void Collector::SetResultSink(ResultSink* sink) {
  sink_ = sink;
  std::vector<FailedShop> recorded;
  if (sink_ != nullptr) recorded = sink_->FailedShops();
  {
    std::lock_guard lock(failedMutex_);
    for (const FailedShop& shop : recorded) failedIds_.insert(shop.shopId);
  }
  ShowRetryCounts();
}

void Collector::SetRetryPolicy(const RetryPolicy& policy) {
  policy_ = policy;
  health_.SetPolicy(policy);
}

bool Collector::MaySend(Ticket ticket) const {
  switch (health_.StateAt(clock_->Now())) {
    case MarketplaceHealth::State::Open:
      return true;
    case MarketplaceHealth::State::Outage:
      return ticket.probe;
    case MarketplaceHealth::State::Held:
      return false;
  }
  return false;
}

void Collector::Learn(const FetchVerdict& verdict, Ticket ticket, MarketplaceHealth::Host host) {
  const Clock::TimePoint now = clock_->Now();
  switch (verdict.kind) {
    case FetchVerdict::Kind::Page:
    case FetchVerdict::Kind::NoPage:
    case FetchVerdict::Kind::Refused:
      // The marketplace answered (a refusal is the client's own rule, not the server's silence).
      if (health_.Answered(host, now) && ticket.probe) waiting_.MakeAllDue(now);
      break;
    case FetchVerdict::Kind::Transient:
      if (verdict.retryAfter) {
        // A pause the server asked for holds every request to the marketplace; it is an answer,
        // not an outage.
        health_.HoldUntil(now + std::min(verdict.retryAfter->From(clock_->CalendarNow()),
                                         policy_.longestRetryAfter));
      } else {
        health_.Failed(host, now);
      }
      break;
    case FetchVerdict::Kind::Aborted:
      break;
  }
}

void Collector::TryAgainLater(std::int32_t shopId, Ticket ticket, const FetchVerdict& verdict,
                              MarketplaceHealth::Probe& probe) {
  int attempts = ticket.attempts + 1;
  const Clock::TimePoint now = clock_->Now();
  if (probe) {
    Clock::TimePoint next;
    {
      std::lock_guard lock(randomMutex_);
      next = now + BackoffDelay(policy_, health_.ProbesSent(), random_);
    }
    // It asked whether the marketplace is back: the failure is the marketplace's, not the
    // shop's. (Once the outage is over, a failure is the shop's own again.)
    if (probe.Failed(next) && !ticket.probeUsesTry) attempts = ticket.attempts;
  }
  if (attempts >= policy_.maxAttempts) {
    FailForGood(shopId, ticket, attempts, verdict.reason);
    return;
  }
  Clock::TimePoint due;
  if (verdict.retryAfter) {
    due =
        now + std::min(verdict.retryAfter->From(clock_->CalendarNow()), policy_.longestRetryAfter);
  } else {
    std::lock_guard lock(randomMutex_);
    due = now + BackoffDelay(policy_, attempts, random_);
  }
  waiting_.Wait(WaitingShops::Shop{shopId, attempts, due, verdict.reason, ticket.recorded});
  ShowRetryCounts();
}

void Collector::PutBack(std::int32_t shopId, Ticket ticket, Clock::TimePoint due) {
  waiting_.Wait(WaitingShops::Shop{shopId, ticket.attempts, due, "paused", ticket.recorded});
  ShowRetryCounts();
}

void Collector::FailForGood(std::int32_t shopId, Ticket ticket, int attempts,
                            const std::string& reason) {
  waiting_.Fail(WaitingShops::Failed{shopId, attempts, reason});
  {
    std::lock_guard lock(failedMutex_);
    failedIds_.insert(shopId);
  }
  if (sink_ != nullptr) {
    // On record: the walk's place may move past it; the next Start tries it again.
    sink_->Failed(FailedShop{shopId, attempts, reason});
    if (!ticket.recorded) progress_.Finished(shopId);
  } else if (!ticket.recorded) {
    // Not collected and kept nowhere: the walk's place stays before it.
    progress_.Abandoned(shopId);
  }
  ShowRetryCounts();
}

void Collector::Finish(std::int32_t shopId, Ticket ticket, std::optional<ShopOutcome> withoutRow) {
  if (sink_ != nullptr && withoutRow) sink_->Answered(shopId, *withoutRow);
  bool wasFailed = false;
  if (ticket.recorded) {
    std::lock_guard lock(failedMutex_);
    wasFailed = failedIds_.erase(shopId) > 0;
  }
  if (ticket.attempts > 0 || ticket.probe || wasFailed) {
    waiting_.Forget(shopId);
    ShowRetryCounts();
  }
  if (!ticket.recorded) progress_.Finished(shopId);
}

void Collector::Abandon(std::int32_t shopId, Ticket ticket) {
  if (!ticket.recorded) progress_.Abandoned(shopId);
}

void Collector::AppendRow(const ShopRecord& record) {
  {
    std::lock_guard lock(rowOrderMutex_);
    ui_.AddRow(record);
    if (sink_ != nullptr) sink_->RowAppended(record);
  }
  ShowPauseAgain();
}

void Collector::ReportPlace(const std::string& cursorText) {
  if (sink_ == nullptr) return;
  std::lock_guard lock(placeMutex_);
  cursorText_ = cursorText;
  // Every shop up to the place has finished, and finishing reported it first: the sink gets the
  // place after the answers it covers.
  const std::string place = progress_.ProgressText(cursorText);
  if (place == reportedPlace_) return;
  reportedPlace_ = place;
  sink_->PlaceMoved(place);
}

bool Collector::SubmitRecordedFailure() {
  FailedShop shop;
  {
    std::lock_guard lock(recordedMutex_);
    if (recordedToTry_.empty()) return false;
    shop = recordedToTry_.front();
    recordedToTry_.pop_front();
  }
  Ticket ticket;
  ticket.recorded = true;
  Submit(shop.shopId, ticket);
  return true;
}

void Collector::ShowRetryCounts() {
  // Counted and shown under one lock, so the window never ends up showing an older count.
  std::lock_guard lock(shownMutex_);
  const std::size_t waiting = waiting_.WaitingCount();
  std::size_t failed = 0;
  {
    std::lock_guard failedLock(failedMutex_);
    failed = failedIds_.size();
  }
  if (waiting == shownWaiting_ && failed == shownFailed_) return;
  shownWaiting_ = waiting;
  shownFailed_ = failed;
  ui_.ShowRetryCounts(waiting, failed);
}

bool Collector::Submit(std::int32_t shopId, Ticket ticket, MarketplaceHealth::Probe probe) {
  ticket.probe = static_cast<bool>(probe);
  // The task is under way from here until it has ended, however it ends.
  struct UnderWay {
    Collector* collector;
    ~UnderWay() { collector->TaskEnded(); }
  };
  PoolTask task;
  if (probe) {
    // The pool's tasks are copyable: the probe is shared by the copies, and goes back when the
    // last of them is dropped without having sent it (a refused submission among them).
    auto held = std::make_shared<MarketplaceHealth::Probe>(std::move(probe));
    task = [this, held](std::int32_t id, std::int32_t packed) {
      const UnderWay underWay{this};
      TaskStarted();
      TryShop(id, Ticket::Unpack(packed), std::move(*held));
    };
  } else {
    task = [this](std::int32_t id, std::int32_t packed) {
      const UnderWay underWay{this};
      TaskStarted();
      TryShop(id, Ticket::Unpack(packed), MarketplaceHealth::Probe{});
    };
  }
  {
    std::lock_guard lock(queueMutex_);
    ++queuedTasks_;
  }
  ++tasksUnderWay_;
  const bool queued = run_.WorkerPool.Submit(std::move(task), shopId, ticket.Pack());
  if (!queued) {
    TaskStarted();
    TaskEnded();
  }
  return queued;
}

void Collector::TaskStarted() {
  bool refill = false;
  {
    std::lock_guard lock(queueMutex_);
    --queuedTasks_;
    // The dispatcher, flat out, waits for the queue to be half empty (Collector::NextPass).
    refill = queuedTasks_ == queueAhead_ / 2;
  }
  if (refill) queueRoom_.notify_one();
}

void Collector::SubmitDueRetry(Clock::TimePoint now) {
  std::optional<WaitingShops::Shop> shop = waiting_.TakeDue(now);
  if (!shop) return;
  ShowRetryCounts();
  const Ticket ticket{shop->attempts, false, shop->recorded};
  if (!Submit(shop->id, ticket)) Abandon(shop->id, ticket);
}

void Collector::ShowStoreBehind() {
  // The seconds are not known.
  ShowPause(PauseReason::StoreBehind, std::chrono::seconds(0), false);
}

void Collector::ShowPause(PauseReason reason, std::chrono::seconds nextTry, bool probeOut) {
  std::lock_guard lock(shownMutex_);
  if (shownPause_ && shownPause_->reason == reason && shownPause_->nextTry == nextTry &&
      shownPause_->probeOut == probeOut) {
    return;
  }
  shownPause_ = ShownPause{reason, nextTry, probeOut};
  ui_.ShowPaused(reason, nextTry, probeOut);
}

void Collector::ResumeShown() {
  std::lock_guard lock(shownMutex_);
  shownPause_.reset();
}

void Collector::ShowCollecting(const std::string& shopUrl) {
  std::lock_guard lock(shownMutex_);
  if (!shownPause_) ui_.ShowCollecting(shopUrl);
}

void Collector::ShowProbeOut() {
  if (health_.StateAt(clock_->Now()) != MarketplaceHealth::State::Outage || !health_.ProbeOut()) {
    return;
  }
  ShowPause(PauseReason::Outage, std::chrono::seconds(0), true);
}

void Collector::ShowPauseAgain() {
  std::lock_guard lock(shownMutex_);
  if (!shownPause_) return;
  const bool lasts = shownPause_->reason == PauseReason::StoreBehind
                         ? sink_ != nullptr && sink_->Congested()
                         : health_.StateAt(clock_->Now()) != MarketplaceHealth::State::Open;
  if (lasts) ui_.ShowPaused(shownPause_->reason, shownPause_->nextTry, shownPause_->probeOut);
}

MarketplaceHealth::Probe Collector::WhilePaused(MarketplaceHealth::State state,
                                                Clock::TimePoint now, bool walkEnded) {
  Clock::TimePoint nextTry = now;
  PauseReason reason = PauseReason::Outage;
  MarketplaceHealth::Probe forNewShop;
  bool heldByStore = false;
  bool probeOut = false;
  if (state == MarketplaceHealth::State::Held) {
    reason = PauseReason::RateLimited;
    nextTry = health_.HeldUntil().value_or(now);
  } else {
    nextTry = health_.NextProbe().value_or(now);
    probeOut = health_.ProbeOut();
    if (MarketplaceHealth::Probe probe = health_.TakeProbe(now)) {
      // The shop that has waited longest asks whether the marketplace is back. The waiting shops
      // take turns, and after each round of them the next new shop asks, so that shops failing
      // on their own cannot keep the walk paused by being the only ones asked. When the walk has
      // no new shop to hand out, the shops ask round after round, and then a failure uses a try
      // (a walk whose last shops never answer still ends).
      if (probe.Outage() != probeRoundOutage_) {
        probeRoundOutage_ = probe.Outage();
        probedThisRound_.clear();
      }
      bool usesTry = false;
      std::optional<WaitingShops::Shop> shop = waiting_.TakeOldestExcept(probedThisRound_);
      if (!shop && walkEnded) {
        shop = waiting_.TakeOldest();
        usesTry = true;
      }
      if (shop) {
        probedThisRound_.insert(shop->id);
        const Ticket ticket{shop->attempts, true, shop->recorded, usesTry};
        if (Submit(shop->id, ticket, std::move(probe))) {
          probeOut = true;
        } else {
          Abandon(shop->id, ticket);
        }
        ShowRetryCounts();
      } else if (!walkEnded && sink_ != nullptr && sink_->Congested()) {
        // No new shop may go while the store is behind: the probe goes back (dropped here) and
        // goes with the first new shop the store lets through.
        heldByStore = true;
      } else {
        forNewShop = std::move(probe);
        // The round is over: the waiting shops take their turns again after the new shop.
        probedThisRound_.clear();
      }
    }
  }
  if (heldByStore) {
    ShowStoreBehind();
  } else {
    // A probe with a new shop shows itself once its task has started (ShowProbeOut).
    ShowPause(reason, SecondsUntil(nextTry, now), probeOut);
  }
  return forNewShop;
}

}  // namespace shopwalk
