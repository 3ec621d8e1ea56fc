// One collection task: a shop ID in, at most one row out, or the shop back to wait for a try.
#include <memory>
#include <string>

#include "collect/collector.h"
#include "collect/markers.h"
#include "collect/marketplace.h"
#include "collect/text.h"
#include "net/http_client.h"
#include "net/transfer_abort.h"
#include "workers/locks.h"

namespace shopwalk {
namespace {

struct Fetched {
  std::string page;
  FetchVerdict verdict;
};

// GET `url` with the task's client. The page is the body as text (an error page too); the
// verdict says whether it is one.
Fetched Fetch(HttpClient* client, const std::string& url) {
  Fetched fetched;
  if (client == nullptr) {
    fetched.verdict.kind = FetchVerdict::Kind::Transient;
    fetched.verdict.reason = "no web client";
    return fetched;
  }
  client->Open("GET", url);
  client->Send();
  client->CookiesEnabled(false);
  fetched.page = client->ResponseText();
  fetched.verdict = JudgeFetch(client->LastOutcome());
  return fetched;
}

// Holds the result lock from construction to destruction; a deleted lock is not held at all.
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
  TryShop(shopId, Ticket{});
}

void Collector::TryShop(std::int32_t shopId, Ticket ticket) {
  // The task's own web client, destroyed when the task ends, whichever way it ends.
  std::unique_ptr<HttpClient> client = HttpClient::Create();

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
    PutBack(shopId, ticket, Clock::now());
    return;
  }

  const Markers& m = GetMarkers();
  const std::string shopUrl =
      "http://shop" + NumberToText(shopId) + "." + std::string(MarketplaceDomain);
  ui_.ShowCollecting(shopUrl);

  Fetched home = Fetch(client.get(), shopUrl);
  Learn(home.verdict, ticket);
  switch (home.verdict.kind) {
    case FetchVerdict::Kind::Aborted:
      Abandon(shopId, ticket);
      return;
    case FetchVerdict::Kind::Transient:
      TryAgainLater(shopId, ticket, home.verdict);
      return;
    case FetchVerdict::Kind::Refused:
      FailForGood(shopId, ticket, ticket.attempts + 1, home.verdict.reason);
      return;
    case FetchVerdict::Kind::Page:
    case FetchVerdict::Kind::NoPage:
      break;
  }
  if (FindText(home.page, m.noShopNotice) != -1) {
    Finish(shopId, ticket, ShopOutcome::NoShop);
    return;
  }

  {
    HeldLock held(run_.ResultLock.load());
    const std::string shopName = TextBetween(home.page, m.shopNameLeft, m.shopNameRight);
    const std::string messenger = TextBetween(home.page, m.messengerLeft, m.messengerRight);
    if (messenger.empty()) {
      Finish(shopId, ticket, ShopOutcome::NoFields);
      return;
    }
    const std::string ratingToken = TextBetween(home.page, m.ratingLinkPrefix, m.ratingTokenRight);
    if (ratingToken.empty()) {
      Finish(shopId, ticket, ShopOutcome::NoFields);
      return;
    }

    // The walk may have been held or paused while this task waited for the lock.
    if (!MaySend(ticket)) {
      PutBack(shopId, ticket, Clock::now());
      return;
    }
    const Fetched rating = Fetch(client.get(), m.ratingLinkPrefix + ratingToken);
    Learn(rating.verdict, ticket);
    switch (rating.verdict.kind) {
      case FetchVerdict::Kind::Aborted:
        Abandon(shopId, ticket);
        return;
      case FetchVerdict::Kind::Transient:
        // Listed with "0" and no date it would be lost for good: the whole shop is tried again.
        TryAgainLater(shopId, ticket, rating.verdict);
        return;
      case FetchVerdict::Kind::Refused:
        FailForGood(shopId, ticket, ticket.attempts + 1, rating.verdict.reason);
        return;
      case FetchVerdict::Kind::Page:
      case FetchVerdict::Kind::NoPage:
        break;
    }
    const std::string openingDate = TextBetween(rating.page, m.openingDateLeft, m.openingDateRight);
    const std::string reputation = TextBetween(rating.page, m.reputationLeft, m.reputationRight);
    if (shopName.empty()) {
      Finish(shopId, ticket, ShopOutcome::NoFields);
      return;
    }

    ShopRecord record;
    record.shopId = shopId;
    record.name = shopName;
    record.reputation = reputation.empty() ? std::string("0") : reputation;
    record.messenger = messenger;
    record.openingDate = openingDate;
    record.address = shopUrl;
    AppendRow(record);
  }
  Finish(shopId, ticket, std::nullopt);
}

}  // namespace shopwalk
