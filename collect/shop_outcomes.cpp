// What becomes of a shop after a try: finished (with a row or an answer without one), back to
// wait for its next try, failed for good, or left unfinished; and the rows and the walk's place
// reported as they come.
#include <algorithm>

#include "collect/collector.h"

namespace shopwalk {

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
  FollowUnanswered(shopId);
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
  if (Following()) {
    FollowAnswer(shopId, withoutRow);
  } else if (sink_ != nullptr && withoutRow) {
    sink_->Answered(shopId, *withoutRow);
  }
  bool wasFailed = false;
  {
    // Also a shop the walk came to again above its place, failed or marked on record: answered
    // now, it is no longer.
    std::lock_guard lock(failedMutex_);
    wasFailed = failedIds_.erase(shopId) > 0;
    // An answer replaces the mark.
    wasFailed = revisitIds_.erase(shopId) > 0 || wasFailed;
  }
  if (ticket.attempts > 0 || ticket.probe || wasFailed) {
    waiting_.Forget(shopId);
    ShowRetryCounts();
  }
  if (!ticket.recorded) progress_.Finished(shopId);
}

void Collector::Conclude(std::int32_t shopId, Ticket ticket, HomeAnswer answer, bool ratingEmpty) {
  // The guard's verdict and the report of the answer go together: a task whose answer the guard
  // let pass must report it before another task that trips the guard marks it as a suspect, or
  // the answer would land after the mark and replace it (a final "no fields" for a shop whose
  // pages stopped matching).
  std::lock_guard concluding(concludeMutex_);
  // Following, a "no shop" above the newest shop is what the follow window expects: it is held
  // back, not final, and no evidence that the pages stopped matching. Judged, it would count
  // against the shops that open above it (IDs below a shop that answer "no shop" look like notices
  // on shops known to exist), and a few openings with gaps between them would hold the walk.
  const bool heldByWindow =
      Following() && answer == HomeAnswer::NoShop && shopId > follow_.Settled();
  const PageMatchGuard::Verdict verdict =
      heldByWindow
          ? PageMatchGuard::Verdict{}
          : pageGuard_.Answered(shopId, answer, ratingEmpty, ticket.recorded || ticket.again);
  if (verdict.tripped != PageMismatch::None && sink_ != nullptr) {
    // The window's earlier answers of the tripping kind were reported as final: marked now.
    for (const std::int32_t earlier : pageGuard_.Suspects()) {
      if (earlier != shopId) MarkToRevisit(earlier);
    }
    ShowRetryCounts();
  }
  if (verdict.suspect) {
    Revisit(shopId, ticket);
    return;
  }
  switch (answer) {
    case HomeAnswer::Row:
      Finish(shopId, ticket, std::nullopt);
      return;
    case HomeAnswer::NoFields:
      Finish(shopId, ticket, ShopOutcome::NoFields);
      return;
    case HomeAnswer::NoShop:
      Finish(shopId, ticket, ShopOutcome::NoShop);
      return;
  }
}

void Collector::MarkToRevisit(std::int32_t shopId) {
  if (sink_ != nullptr) sink_->ToRevisit(shopId);
  std::lock_guard lock(failedMutex_);
  revisitIds_.insert(shopId);
}

void Collector::Revisit(std::int32_t shopId, Ticket ticket) {
  MarkToRevisit(shopId);
  FollowUnanswered(shopId);
  bool wasFailed = false;
  if (ticket.recorded) {
    std::lock_guard lock(failedMutex_);
    wasFailed = failedIds_.erase(shopId) > 0;
  }
  if (ticket.attempts > 0 || ticket.probe || wasFailed) waiting_.Forget(shopId);
  ShowRetryCounts();
  // Not answered for good: the walk's place stays before it.
  if (!ticket.recorded) progress_.Abandoned(shopId);
}

void Collector::Abandon(std::int32_t shopId, Ticket ticket) {
  FollowUnanswered(shopId);
  if (!ticket.recorded) progress_.Abandoned(shopId);
}

void Collector::FollowAnswer(std::int32_t shopId, std::optional<ShopOutcome> withoutRow) {
  const bool isShop = !withoutRow || *withoutRow != ShopOutcome::NoShop;
  // Under the place's lock: the window's newest shop (the place's bound) moves with the answers
  // it makes final, so no place is reported between them.
  std::lock_guard lock(placeMutex_);
  const std::vector<std::int32_t> final = follow_.Answer(shopId, isShop);
  if (sink_ == nullptr) return;
  if (isShop && withoutRow) sink_->Answered(shopId, *withoutRow);
  for (const std::int32_t noShop : final) sink_->Answered(noShop, ShopOutcome::NoShop);
}

void Collector::FollowUnanswered(std::int32_t shopId) {
  if (Following()) follow_.Unanswered(shopId);
}

void Collector::AppendRow(const ShopRecord& record) {
  {
    std::lock_guard lock(rowOrderMutex_);
    ui_.AddRow(record);
    ++rows_;
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
  const std::string place = progress_.ProgressText(PlaceCursor(cursorText));
  if (place == reportedPlace_) return;
  reportedPlace_ = place;
  sink_->PlaceMoved(place);
}

}  // namespace shopwalk
