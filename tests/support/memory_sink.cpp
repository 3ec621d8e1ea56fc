#include "tests/support/memory_sink.h"

#include <algorithm>

namespace shopwalk::test {

void MemorySink::RowAppended(const ShopRecord& record) {
  std::lock_guard lock(mutex_);
  events_.push_back(Event{Event::Kind::Row, record.shopId, {}, record, {}, {}});
  std::erase_if(failed_, [&](const FailedShop& shop) { return shop.shopId == record.shopId; });
  std::erase(revisit_, record.shopId);
}

void MemorySink::Answered(std::int32_t shopId, ShopOutcome outcome) {
  std::lock_guard lock(mutex_);
  events_.push_back(Event{Event::Kind::Answer, shopId, outcome, std::nullopt, {}, {}});
  std::erase_if(failed_, [&](const FailedShop& shop) { return shop.shopId == shopId; });
  std::erase(revisit_, shopId);
}

void MemorySink::Failed(const FailedShop& shop) {
  std::lock_guard lock(mutex_);
  events_.push_back(Event{Event::Kind::Failure, shop.shopId, {}, std::nullopt, shop, {}});
  std::erase_if(failed_, [&](const FailedShop& known) { return known.shopId == shop.shopId; });
  failed_.push_back(shop);
  std::erase(revisit_, shop.shopId);
}

void MemorySink::ToRevisit(std::int32_t shopId) {
  std::lock_guard lock(mutex_);
  events_.push_back(Event{Event::Kind::Revisit, shopId, {}, std::nullopt, {}, {}});
  if (std::find(revisit_.begin(), revisit_.end(), shopId) == revisit_.end()) {
    revisit_.push_back(shopId);
  }
}

std::vector<std::int32_t> MemorySink::ShopsToRevisit() {
  std::lock_guard lock(mutex_);
  return revisit_;
}

PageMatchHistory MemorySink::PageHistory() {
  std::lock_guard lock(mutex_);
  return history_;
}

void MemorySink::SetPageHistory(const PageMatchHistory& history) {
  std::lock_guard lock(mutex_);
  history_ = history;
}

void MemorySink::PlaceMoved(const std::string& place) {
  std::lock_guard lock(mutex_);
  events_.push_back(Event{Event::Kind::Place, 0, {}, std::nullopt, {}, place});
}

bool MemorySink::Congested() const {
  ++congestedAsked_;
  return congested_.load() || (congestedWhen_ && congestedWhen_());
}

std::vector<FailedShop> MemorySink::FailedShops() {
  std::lock_guard lock(mutex_);
  return failed_;
}

void MemorySink::SetFailedShops(std::vector<FailedShop> shops) {
  std::lock_guard lock(mutex_);
  failed_ = std::move(shops);
}

std::vector<MemorySink::Event> MemorySink::Events() {
  std::lock_guard lock(mutex_);
  return events_;
}

std::string MemorySink::LastPlace() {
  std::lock_guard lock(mutex_);
  for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
    if (it->kind == Event::Kind::Place) return it->place;
  }
  return {};
}

}  // namespace shopwalk::test
