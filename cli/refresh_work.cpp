#include "cli/refresh_work.h"

#include <algorithm>
#include <utility>

namespace shopwalk {

RefreshList::RefreshList(std::vector<std::int32_t> shopIds) : shopIds_(std::move(shopIds)) {}

WorkSource::Next RefreshList::NextShop() {
  if (next_ >= shopIds_.size()) return Next{Next::Kind::End, 0, false};
  return Next{Next::Kind::Shop, shopIds_[next_++], false};
}

KnownShops::KnownShops(const std::vector<ShopToRefresh>& shops) {
  known_.reserve(shops.size());
  for (const ShopToRefresh& shop : shops) {
    known_[shop.shopId] = Known{shop.closed, shop.fieldsDigest};
  }
}

std::optional<ShopChangeKind> KnownShops::Collected(const ShopRecord& record) {
  const std::uint64_t digest = FieldsDigest(record);
  std::lock_guard lock(mutex_);
  auto [found, added] = known_.try_emplace(record.shopId, Known{false, digest});
  if (added) return ShopChangeKind::New;
  const Known before = std::exchange(found->second, Known{false, digest});
  if (before.closed) return ShopChangeKind::Reopened;
  if (before.fieldsDigest != digest) return ShopChangeKind::Changed;
  return std::nullopt;
}

std::optional<ShopChangeKind> KnownShops::Closed(std::int32_t shopId) {
  std::lock_guard lock(mutex_);
  auto found = known_.find(shopId);
  if (found == known_.end() || found->second.closed) return std::nullopt;
  found->second.closed = true;
  return ShopChangeKind::Closed;
}

bool KnownShops::Contains(std::int32_t shopId) const {
  std::lock_guard lock(mutex_);
  return known_.contains(shopId);
}

RefreshSink::RefreshSink(StoreSink& store, const std::vector<ShopToRefresh>& shops,
                         std::size_t holdAnswers, ChangeListener onChange)
    : store_(store), holdAnswers_(holdAnswers), onChange_(std::move(onChange)), known_(shops) {}

void RefreshSink::RowAppended(const ShopRecord& record) {
  std::lock_guard lock(mutex_);
  waiting_.push_back(Waiting{++answers_, record.shopId, record});
  Release(false);
}

void RefreshSink::Answered(std::int32_t shopId, ShopOutcome outcome) {
  std::lock_guard lock(mutex_);
  ++answers_;
  if (outcome == ShopOutcome::NoShop && known_.Contains(shopId)) {
    waiting_.push_back(Waiting{answers_, shopId, std::nullopt});
  } else {
    ++figures_.noFields;
  }
  Release(false);
}

void RefreshSink::Failed(const FailedShop& /*shop*/) {
  std::lock_guard lock(mutex_);
  ++figures_.failed;
}

void RefreshSink::PlaceMoved(const std::string& /*place*/) {}

std::vector<FailedShop> RefreshSink::FailedShops() {
  return {};
}

void RefreshSink::ToRevisit(std::int32_t shopId) {
  // The guard marks the answers of its window and later ones, which still wait here.
  std::lock_guard lock(mutex_);
  figures_.untrusted += std::erase_if(
      waiting_, [shopId](const Waiting& waiting) { return waiting.shopId == shopId; });
}

PageMatchHistory RefreshSink::PageHistory() {
  return store_.PageHistory();
}

bool RefreshSink::Congested() const {
  return store_.Congested();
}

void RefreshSink::Finish(bool held) {
  std::lock_guard lock(mutex_);
  if (held) {
    figures_.untrusted += waiting_.size();
    waiting_.clear();
    return;
  }
  Release(true);
}

RefreshFigures RefreshSink::Figures() const {
  std::lock_guard lock(mutex_);
  return figures_;
}

void RefreshSink::Release(bool all) {
  while (!waiting_.empty() && (all || answers_ - waiting_.front().answer >= holdAnswers_)) {
    Write(waiting_.front());
    waiting_.pop_front();
  }
}

void RefreshSink::Write(const Waiting& waiting) {
  if (!waiting.record) {
    store_.ShopClosed(waiting.shopId);
    if (known_.Closed(waiting.shopId)) {
      ++figures_.closed;
      onChange_(ShopChangeKind::Closed, waiting.shopId, nullptr);
    } else {
      ++figures_.stillClosed;
    }
    return;
  }
  store_.RowAppended(*waiting.record);
  const std::optional<ShopChangeKind> kind = known_.Collected(*waiting.record);
  if (!kind) {
    ++figures_.unchanged;
    return;
  }
  if (*kind == ShopChangeKind::Reopened) ++figures_.reopened;
  if (*kind == ShopChangeKind::Changed) ++figures_.changed;
  onChange_(*kind, waiting.shopId, &*waiting.record);
}

}  // namespace shopwalk
