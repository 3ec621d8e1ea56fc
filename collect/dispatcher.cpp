// The dispatcher: the walk's passes, handing shops to the pool, due retries, failed shops on
// record, and the walk while it is paused.
#include <algorithm>
#include <cstdint>
#include <memory>

#include "collect/collector.h"
#include "collect/text.h"
#include "workers/delay.h"
#include "workers/threads.h"

namespace shopwalk {
namespace {

// At most this many passes per run: 10^11 wrapped to 32 bits (100000000000 mod 2^32), the pass
// limit the dispatcher has always had. At ten passes a second it is about 3.9 years.
constexpr std::int64_t MaxDispatchPasses = 1215752192;
// Flat out, the longest a pass waits: for room in the pool's queue, or when it had nothing to hand
// out (the walk paused or at its end), so the dispatcher never spins.
constexpr std::chrono::milliseconds IdlePass{10};

// The ticket's second parameter: tries in the low 16 bits, the flags above them.
constexpr std::int32_t ProbeFlag = 1 << 16;
constexpr std::int32_t RecordedFlag = 1 << 17;
constexpr std::int32_t ProbeUsesTryFlag = 1 << 18;
constexpr std::int32_t AgainFlag = 1 << 19;
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
         (probeUsesTry ? ProbeUsesTryFlag : 0) | (again ? AgainFlag : 0);
}

Collector::Ticket Collector::Ticket::Unpack(std::int32_t packed) {
  return Ticket{packed & AttemptsMask, (packed & ProbeFlag) != 0, (packed & RecordedFlag) != 0,
                (packed & ProbeUsesTryFlag) != 0, (packed & AgainFlag) != 0};
}

void Collector::DispatchShopIds() {
  Pacer pacer(std::chrono::milliseconds(paceMs_.load()), *clock_);
  // Without a work source the walk goes through the shop-ID field, or follows the top.
  WorkSource& source = source_ != nullptr ? *source_
                       : Following()      ? static_cast<WorkSource&>(follow_)
                                          : fieldWalk_;
  Walk walk{source, ui_.ShopIdText()};
  for (std::int64_t pass = 0; pass < MaxDispatchPasses; ++pass) {
    if (ThreadEndRequested() || exiting_) return;
    const PassEnd end = DispatchPass(walk);
    if (end == PassEnd::Over) return;
    if (end != PassEnd::AtOnce && !NextPass(pacer, end == PassEnd::HandedOut)) return;
  }
}

Collector::PassEnd Collector::DispatchPass(Walk& walk) {
  const Clock::TimePoint now = clock_->Now();
  if (pageGuard_.Tripped() != PageMismatch::None) return WhileMismatched(walk);
  // The outage's probe when it is to go with this pass's new shop. Every way out of the pass
  // that does not send it hands it back (it is dropped), so the next pass can take it again.
  MarketplaceHealth::Probe probe;
  if (const auto state = health_.StateAt(now); state != MarketplaceHealth::State::Open) {
    // No task may start for a while, so the pause itself answers Stop.
    if (StopIfAsked()) return PassEnd::Over;
    probe = WhilePaused(state, now, walk.ended);
    if (!probe) {
      ReportPlace(walk.cursorText);
      return PassEnd::Idle;
    }
  } else {
    if (!StoreBehind()) display_.Resume();
    SubmitDueRetry(now);
    // Failed shops on record go first, one a pass, before the walk goes on.
    if (SubmitRecordedFailure()) {
      ReportPlace(walk.cursorText);
      return PassEnd::HandedOut;
    }
  }
  if (walk.ended) return WhileEnding(walk);
  // Flat out, a new shop waits for room in the pool's queue (a probe does not wait), as the
  // next pass does after a shop was handed out.
  if (!probe && QueueFull()) return PassEnd::HandedOut;
  // A store that cannot keep up holds the walk: nothing is handed out until it can.
  if (StoreBehind()) {
    if (StopIfAsked()) return PassEnd::Over;
    ShowStoreBehind();
    return PassEnd::Idle;
  }
  return HandOutNext(walk, std::move(probe));
}

Collector::PassEnd Collector::HandOutNext(Walk& walk, MarketplaceHealth::Probe probe) {
  const WorkSource::Next next = walk.source.NextShop();
  switch (next.kind) {
    case WorkSource::Next::Kind::End:
      walk.ended = true;
      return PassEnd::AtOnce;
    case WorkSource::Next::Kind::Wait:
      // Following, between sweeps: answers still come in and move the place.
      if (Following()) ReportPlace(walk.cursorText);
      return PassEnd::Idle;
    case WorkSource::Next::Kind::PassedBy:
    case WorkSource::Next::Kind::Shop:
      break;
  }
  walk.cursorText = NumberToText(next.shopId);
  ui_.SetShopIdText(walk.cursorText);
  {
    std::lock_guard lock(handedOutMutex_);
    if (handedOut_.count++ == 0) handedOut_.first = next.shopId;
    handedOut_.cursor = next.shopId;
  }
  if (next.kind == WorkSource::Next::Kind::PassedBy) {
    // Its shop came back with the interrupted run's list: walked past without a pass's wait. For
    // the page-match guard it is a row as before: left out, the shops walked again would be
    // mostly those without fields, and look like pages that stopped matching.
    pageGuard_.Answered(next.shopId, HomeAnswer::Row);
    if (Following()) FollowAnswer(next.shopId, std::nullopt);
    ReportPlace(walk.cursorText);
    return PassEnd::AtOnce;
  }
  Ticket ticket;
  ticket.recorded = next.retryOfFailed;
  ticket.again = next.again;
  if (!ticket.recorded) progress_.Submitted(next.shopId);
  if (!Submit(next.shopId, ticket, std::move(probe))) Abandon(next.shopId, ticket);
  ReportPlace(walk.cursorText);
  return PassEnd::HandedOut;
}

Collector::PassEnd Collector::WhileEnding(const Walk& walk) {
  ReportPlace(walk.cursorText);
  if (progress_.AnyInFlight()) return PassEnd::Idle;
  walkEnded_ = true;
  if (onWalkEnded_) onWalkEnded_();
  return PassEnd::Over;
}

Collector::PassEnd Collector::WhileMismatched(const Walk& walk) {
  // Nothing goes out any more, so the hold itself answers Stop.
  if (StopIfAsked()) return PassEnd::Over;
  display_.ShowPause({PauseReason::PagesDoNotMatch, std::chrono::seconds(0), false});
  ReportPlace(walk.cursorText);
  if (!mismatchTold_ && tasksUnderWay_.load() == 0) {
    mismatchTold_ = true;
    if (onPagesMismatch_) onPagesMismatch_(pageGuard_.Tripped());
  }
  return PassEnd::Idle;
}

bool Collector::StopIfAsked() {
  if (run_.StopRequested.load() != 1) return false;
  ShutDownRun();
  return true;
}

bool Collector::StoreBehind() const {
  return sink_ != nullptr && sink_->Congested();
}

bool Collector::QueueFull() {
  return paceMs_.load() <= 0 && queueRoom_.Full();
}

bool Collector::NextPass(Pacer& pacer, bool handedOut) {
  if (paceMs_.load() > 0) return pacer.Wait();
  if (ThreadEndRequested()) return false;
  if (!handedOut) {
    Delay(static_cast<int>(IdlePass.count()), *clock_);
    return !ThreadEndRequested();
  }
  queueRoom_.WaitForRoom(*clock_, IdlePass);
  return !ThreadEndRequested();
}

void Collector::SubmitDueRetry(Clock::TimePoint now) {
  std::optional<WaitingShops::Shop> shop = waiting_.TakeDue(now);
  if (!shop) return;
  ShowRetryCounts();
  const Ticket ticket{shop->attempts, false, shop->recorded};
  if (!Submit(shop->id, ticket)) Abandon(shop->id, ticket);
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
      } else if (!walkEnded && StoreBehind()) {
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
    display_.ShowPause({reason, SecondsUntil(nextTry, now), probeOut});
  }
  return forNewShop;
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
  queueRoom_.Queued();
  ++tasksUnderWay_;
  const bool queued = run_.WorkerPool.Submit(std::move(task), shopId, ticket.Pack());
  if (!queued) {
    TaskStarted();
    TaskEnded();
  }
  return queued;
}

void Collector::TaskStarted() {
  queueRoom_.Left();
}

}  // namespace shopwalk
