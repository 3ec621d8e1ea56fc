#include "collect/waiting_shops.h"

namespace shopwalk {

void WaitingShops::Wait(Shop shop) {
  std::lock_guard lock(mutex_);
  auto [known, added] = arrivalOf_.try_emplace(shop.id, nextArrival_);
  if (added) ++nextArrival_;
  waiting_[known->second] = std::move(shop);
}

std::optional<WaitingShops::Shop> WaitingShops::Take(std::map<std::uint64_t, Shop>::iterator it) {
  Shop shop = std::move(it->second);
  waiting_.erase(it);
  return shop;
}

std::optional<WaitingShops::Shop> WaitingShops::TakeDue(Clock::TimePoint now) {
  std::lock_guard lock(mutex_);
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    if (it->second.due <= now) return Take(it);
  }
  return std::nullopt;
}

std::optional<WaitingShops::Shop> WaitingShops::TakeOldest() {
  std::lock_guard lock(mutex_);
  if (waiting_.empty()) return std::nullopt;
  return Take(waiting_.begin());
}

std::optional<WaitingShops::Shop> WaitingShops::TakeOldestExcept(
    const std::set<std::int32_t>& ids) {
  std::lock_guard lock(mutex_);
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    if (!ids.contains(it->second.id)) return Take(it);
  }
  return std::nullopt;
}

void WaitingShops::MakeAllDue(Clock::TimePoint now) {
  std::lock_guard lock(mutex_);
  for (auto& [arrival, shop] : waiting_) shop.due = std::min(shop.due, now);
}

std::optional<Clock::TimePoint> WaitingShops::NextDue() const {
  std::lock_guard lock(mutex_);
  std::optional<Clock::TimePoint> next;
  for (const auto& [arrival, shop] : waiting_) {
    if (!next || shop.due < *next) next = shop.due;
  }
  return next;
}

void WaitingShops::Fail(Failed shop) {
  std::lock_guard lock(mutex_);
  arrivalOf_.erase(shop.id);
  failed_.push_back(std::move(shop));
}

void WaitingShops::Forget(std::int32_t id) {
  std::lock_guard lock(mutex_);
  auto known = arrivalOf_.find(id);
  if (known == arrivalOf_.end()) return;
  waiting_.erase(known->second);
  arrivalOf_.erase(known);
}

std::size_t WaitingShops::WaitingCount() const {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

std::size_t WaitingShops::FailedCount() const {
  std::lock_guard lock(mutex_);
  return failed_.size();
}

std::vector<WaitingShops::Shop> WaitingShops::WaitingShopsNow() const {
  std::lock_guard lock(mutex_);
  std::vector<Shop> shops;
  for (const auto& [arrival, shop] : waiting_) shops.push_back(shop);
  return shops;
}

std::vector<WaitingShops::Failed> WaitingShops::FailedShops() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

}  // namespace shopwalk
