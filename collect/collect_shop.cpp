// One collection task: a shop ID in, at most one row out.
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

// GET `url` with the task's client; the page is empty when the client or the request failed.
std::string FetchPage(HttpClient* client, const std::string& url) {
  if (client == nullptr) return {};
  client->Open("GET", url);
  client->Send();
  client->CookiesEnabled(false);
  return client->ResponseText();
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
  // The task's own web client, destroyed when the task ends, whichever way it ends.
  std::unique_ptr<HttpClient> client = HttpClient::Create();

  if (exiting_) {
    progress_.Abandoned(shopId);
    return;
  }
  if (run_.StopRequested.load() == 1) {
    ShutDownRun();
    progress_.Abandoned(shopId);
    return;
  }

  const Markers& m = GetMarkers();
  const std::string shopUrl =
      "http://shop" + NumberToText(shopId) + "." + std::string(MarketplaceDomain);
  ui_.ShowCollecting(shopUrl);

  std::string page = FetchPage(client.get(), shopUrl);
  if (TransfersAborted()) {
    progress_.Abandoned(shopId);
    return;
  }
  if (FindText(page, m.noShopNotice) != -1) {
    progress_.Finished(shopId);
    return;
  }

  {
    HeldLock held(run_.ResultLock.load());
    const std::string shopName = TextBetween(page, m.shopNameLeft, m.shopNameRight);
    const std::string messenger = TextBetween(page, m.messengerLeft, m.messengerRight);
    if (messenger.empty()) {
      progress_.Finished(shopId);
      return;
    }
    const std::string ratingToken = TextBetween(page, m.ratingLinkPrefix, m.ratingTokenRight);
    if (ratingToken.empty()) {
      progress_.Finished(shopId);
      return;
    }

    page = FetchPage(client.get(), m.ratingLinkPrefix + ratingToken);
    if (TransfersAborted()) {
      progress_.Abandoned(shopId);
      return;
    }
    const std::string openingDate = TextBetween(page, m.openingDateLeft, m.openingDateRight);
    const std::string reputation = TextBetween(page, m.reputationLeft, m.reputationRight);
    if (shopName.empty()) {
      progress_.Finished(shopId);
      return;
    }

    ShopRecord record;
    record.shopId = shopId;
    record.name = shopName;
    record.reputation = reputation.empty() ? std::string("0") : reputation;
    record.messenger = messenger;
    record.openingDate = openingDate;
    record.address = shopUrl;
    ui_.AddRow(record);
  }
  progress_.Finished(shopId);
}

}  // namespace shopwalk
