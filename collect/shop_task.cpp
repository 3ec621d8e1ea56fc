// One collection task: a shop ID in, at most one row out, or the shop back to wait for a try;
// and what the marketplace's health learns from each fetch.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "collect/collector.h"
#include "collect/markers.h"
#include "collect/marketplace.h"
#include "collect/page_cut.h"
#include "collect/request_slots.h"
#include "collect/text.h"
#include "net/http_client.h"
#include "net/transfer_abort.h"
#include "workers/locks.h"

namespace shopwalk {
namespace {

// The web client of the calling worker thread, made at its first use and kept until the thread
// ends (clients are bound to the thread that made them); null when none could be made.
HttpClient* WorkerClient() {
  thread_local std::unique_ptr<HttpClient> client;
  if (!client) client = HttpClient::Create();
  return client.get();
}

// Holds the result lock from construction to destruction; a deleted lock, or none (0), is not
// held at all.
class HeldLock {
 public:
  explicit HeldLock(LockHandle lock) : lock_(lock) { EnterLock(lock_); }
  ~HeldLock() { LeaveLock(lock_); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  LockHandle lock_;
};

}  // namespace

void Collector::CollectShop(std::int32_t shopId) {
  TryShop(shopId, Ticket{}, MarketplaceHealth::Probe{});
}

// Every return without a report of the probe (stop, closing, no turn, a page without the next
// link) drops `probe`, which hands it back.
void Collector::TryShop(std::int32_t shopId, Ticket ticket, MarketplaceHealth::Probe probe) {
  // The task's own web client, destroyed when the task ends, whichever way it ends; or the
  // worker's, kept for the next task.
  std::unique_ptr<HttpClient> ownClient;
  HttpClient* client = nullptr;
  if (engine_.clientPerTask) {
    ownClient = HttpClient::Create();
    client = ownClient.get();
  } else {
    client = WorkerClient();
    // As a new client would: the home page goes with cookies, on a connection of its own that
    // is not kept (no other shop lives on its host).
    if (client != nullptr) {
      client->CookiesEnabled(true);
      client->KeepsConnections(false);
    }
  }

  if (exiting_) {
    Abandon(shopId, ticket);
    return;
  }
  if (run_.StopRequested.load() == 1) {
    ShutDownRun();
    Abandon(shopId, ticket);
    return;
  }
  // While the walk is paused only the probe goes out; the others wait without using a try.
  if (!MaySend(ticket)) {
    PutBack(shopId, ticket, clock_->Now());
    return;
  }

  const Markers& m = markers_;
  const std::string shopUrl =
      "http://shop" + NumberToText(shopId) + "." + std::string(MarketplaceDomain);
  // The probe's task leaves the pause in view and adds that a probe is out.
  if (ticket.probe) {
    ShowProbeOut();
  } else {
    display_.ShowCollecting(shopUrl);
  }

  // A row whose rating page gave neither date nor reputation.
  bool ratingEmpty = false;
  std::optional<net::ResponseBody> home =
      FetchPage(client, shopUrl, shopId, ticket, probe, MarketplaceHealth::Host::ShopPages);
  if (!home) return;
  if (pageSink_ != nullptr) pageSink_->PageAnswered(shopId, PageKind::Home, home->View());
  HomeCut homeCut = CutHomePage(m, home->View());
  // The home page has given what it holds: its storage goes back before the next page comes.
  home.reset();
  if (homeCut.noShop) {
    Conclude(shopId, ticket, HomeAnswer::NoShop);
    return;
  }

  {
    // Under the window's policy the rating fetch and the row take turns with the other workers;
    // otherwise only AppendRow keeps the rows whole and in order.
    HeldLock held(engine_.ratingUnderLock ? run_.ResultLock.load() : LockHandle{0});
    if (!homeCut.HasFields()) {
      Conclude(shopId, ticket, HomeAnswer::NoFields);
      return;
    }

    // The walk may have been held or paused while this task waited for the lock.
    if (!MaySend(ticket)) {
      PutBack(shopId, ticket, clock_->Now());
      return;
    }
    // The rating host serves every shop: its connection is kept for the next task.
    if (!engine_.clientPerTask && client != nullptr) client->KeepsConnections(true);
    // A rating page without an answer tries the whole shop again: listed with "0" and no date
    // it would be lost for good.
    const std::optional<net::ResponseBody> rating =
        FetchPage(client, homeCut.RatingAddress(m), shopId, ticket, probe,
                  MarketplaceHealth::Host::RatingPages);
    if (!rating) return;
    if (pageSink_ != nullptr) pageSink_->PageAnswered(shopId, PageKind::Rating, rating->View());
    RatingCut ratingCut = CutRatingPage(m, rating->View());
    if (homeCut.shopName.empty()) {
      Conclude(shopId, ticket, HomeAnswer::NoFields);
      return;
    }

    ratingEmpty = ratingCut.openingDate.empty() && ratingCut.reputation.empty();
    if (homeCut.cut || ratingCut.cut) ++rowsWithCutFields_;
    AppendRow(RowOfCuts(shopId, std::move(homeCut), std::move(ratingCut)));
  }
  Conclude(shopId, ticket, HomeAnswer::Row, ratingEmpty);
}

std::optional<net::ResponseBody> Collector::FetchPage(HttpClient* client, const std::string& url,
                                                      std::int32_t shopId, Ticket ticket,
                                                      MarketplaceHealth::Probe& probe,
                                                      MarketplaceHealth::Host host) {
  // A turn at the marketplace; when it had to wait, the walk may have paused meanwhile.
  std::optional<RequestSlots::Held> turn = requestSlots_.Take();
  if (!turn) {
    Abandon(shopId, ticket);
    return std::nullopt;
  }
  if (turn->Waited() && !MaySend(ticket)) {
    PutBack(shopId, ticket, clock_->Now());
    return std::nullopt;
  }
  FetchVerdict verdict;
  net::ResponseBody page;
  if (client == nullptr) {
    verdict.kind = FetchVerdict::Kind::Transient;
    verdict.reason = "no web client";
  } else {
    FetchResult fetched =
        client->Fetch({.url = url,
                       .connectTimeoutMs = std::max(engine_.connectTimeoutMs, 0),
                       .receiveTimeoutMs = std::max(engine_.receiveTimeoutMs, 0)});
    client->CookiesEnabled(false);
    verdict = JudgeFetch(fetched.outcome);
    page = std::move(fetched.page);
  }
  turn.reset();
  Learn(verdict, ticket, host);
  switch (verdict.kind) {
    case FetchVerdict::Kind::Aborted:
      Abandon(shopId, ticket);
      return std::nullopt;
    case FetchVerdict::Kind::Transient:
      TryAgainLater(shopId, ticket, verdict, probe);
      return std::nullopt;
    case FetchVerdict::Kind::Refused:
      FailForGood(shopId, ticket, ticket.attempts + 1, verdict.reason);
      return std::nullopt;
    case FetchVerdict::Kind::Page:
    case FetchVerdict::Kind::NoPage:
      break;
  }
  return page;
}

bool Collector::MaySend(Ticket ticket) const {
  switch (health_.StateAt(clock_->Now())) {
    case MarketplaceHealth::State::Open:
      // The walk holds on the guard: nothing more goes out.
      return pageGuard_.Tripped() == PageMismatch::None;
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

}  // namespace shopwalk
