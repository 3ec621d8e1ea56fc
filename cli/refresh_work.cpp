#include "cli/refresh_work.h"

#include <algorithm>
#include <utility>

namespace shopwalk {

RefreshList::RefreshList(std::vector<std::int32_t> shopIds) : shopIds_(std::move(shopIds)) {}

WorkSource::Next RefreshList::NextShop() {
  if (next_ >= shopIds_.size()) return Next{Next::Kind::End, 0, false};
  return Next{Next::Kind::Shop, shopIds_[next_++], false};
}

RefreshSink::RefreshSink(StoreSink& store, const std::vector<ShopToRefresh>& shops,
                         std::size_t holdAnswers, ChangeListener onChange)
    : store_(store), holdAnswers_(holdAnswers), onChange_(std::move(onChange)) {
  known_.reserve(shops.size());
  for (const ShopToRefresh& shop : shops) {
    known_[shop.shopId] = Known{shop.closed, shop.fieldsDigest};
  }
}

void RefreshSink::RowAppended(const ShopRecord& record) {
  std::lock_guard lock(mutex_);
  waiting_.push_back(Waiting{++answers_, record.shopId, record});
  Release(false);
}

void RefreshSink::Answered(std::int32_t shopId, ShopOutcome outcome) {
  std::lock_guard lock(mutex_);
  ++answers_;
  if (outcome == ShopOutcome::NoShop && known_.contains(shopId)) {
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
  auto found = known_.find(waiting.shopId);
  Known* known = found == known_.end() ? nullptr : &found->second;
  if (!waiting.record) {
    store_.ShopClosed(waiting.shopId);
    if (known != nullptr && known->closed) {
      ++figures_.stillClosed;
      return;
    }
    if (known != nullptr) known->closed = true;
    ++figures_.closed;
    onChange_(ShopChangeKind::Closed, waiting.shopId, nullptr);
    return;
  }
  store_.RowAppended(*waiting.record);
  const std::uint64_t digest = FieldsDigest(*waiting.record);
  std::optional<ShopChangeKind> kind;
  if (known == nullptr) {
    kind = ShopChangeKind::New;
  } else if (known->closed) {
    kind = ShopChangeKind::Reopened;
    ++figures_.reopened;
  } else if (known->fieldsDigest != digest) {
    kind = ShopChangeKind::Changed;
    ++figures_.changed;
  } else {
    ++figures_.unchanged;
  }
  if (known != nullptr) *known = Known{false, digest};
  if (kind) onChange_(*kind, waiting.shopId, &*waiting.record);
}

}  // namespace shopwalk
