#include "results/queued_store.h"

#include <utility>

namespace shopwalk {

QueuedStore::QueuedStore(std::string location, const ReportQueueSettings& settings,
                         std::chrono::milliseconds readWaitLimit, Clock& clock)
    : location_(std::move(location)),
      readWaitLimit_(readWaitLimit),
      queue_(location_, settings, clock) {}

void QueuedStore::QueueShopReport(Report report, std::int32_t /*shopId*/) {
  queue_.Push(std::move(report));
}

void QueuedStore::RowAppended(const ShopRecord& record) {
  QueueShopReport(reports::Row{record, changeSource_.load()}, record.shopId);
}

void QueuedStore::SetChangeSource(ChangeSource source) {
  changeSource_.store(source);
}

void QueuedStore::ShopClosed(std::int32_t shopId) {
  QueueShopReport(reports::Closed{shopId, changeSource_.load()}, shopId);
}

void QueuedStore::Answered(std::int32_t shopId, ShopOutcome outcome) {
  QueueShopReport(ReportOfAnswer(shopId, outcome), shopId);
}

void QueuedStore::Failed(const FailedShop& shop) {
  QueueShopReport(reports::Failure{shop}, shop.shopId);
}

void QueuedStore::KeepDictionary(const PageDictionary& dictionary) {
  queue_.Push(reports::KeptDictionary{dictionary});
}

void QueuedStore::KeepPage(const PackedPage& page) {
  QueueShopReport(reports::KeptPage{page}, page.shopId);
}

void QueuedStore::SetKeptPagesBudget(std::uint64_t packedBytes) {
  keptPagesBudget_.store(packedBytes);
}

void QueuedStore::ToRevisit(std::int32_t shopId) {
  QueueShopReport(reports::Revisit{shopId}, shopId);
}

void QueuedStore::PlaceMoved(const std::string& place) {
  queue_.Push(reports::Place{place});
}

bool QueuedStore::Congested() const {
  return queue_.Congested();
}

void QueuedStore::BeginRun(RunKind kind, const std::string& place) {
  queue_.Push(reports::BeginRun{kind, place});
}

void QueuedStore::EndRun(bool placeSaved) {
  queue_.Push(reports::EndRun{placeSaved});
}

bool QueuedStore::Flush(std::chrono::milliseconds timeout) {
  return queue_.Flush(timeout);
}

StoreBacklog QueuedStore::Backlog() {
  return queue_.Backlog();
}

std::optional<std::string> QueuedStore::DurablePlace() {
  return queue_.DurablePlace();
}

void QueuedStore::OnTrouble(std::function<void(const std::optional<StoreProblem>&)> listener) {
  queue_.OnTrouble(std::move(listener));
}

void QueuedStore::OnDurable(std::function<void(std::uint64_t durableRows)> listener) {
  queue_.OnDurable(std::move(listener));
}

}  // namespace shopwalk
