#include "tests/support/living_shops.h"

#include <limits>
#include <utility>

namespace shopwalk::test {
namespace {

// How far below the top the first newest shop is looked for.
constexpr std::int32_t NewestSearch = 10'000;

std::int32_t NewestDemoShop(std::int32_t top) {
  for (std::int32_t id = top;
       id > std::numeric_limits<std::int32_t>::min() && top - id < NewestSearch; --id) {
    if (pages::DemoShop(id)) return id;
  }
  return top;
}

}  // namespace

LivingShops::LivingShops(TestMarketplace& market, std::int32_t top)
    : market_(market), top_(top), newest_(NewestDemoShop(top)) {
  market_.SetFallbackGenerator(
      [this](const std::string& host, const std::string& path) { return Serve(host, path); });
}

LivingShops::~LivingShops() {
  market_.SetFallbackGenerator(nullptr);
}

std::int32_t LivingShops::Newest() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return newest_;
}

std::optional<pages::Shop> LivingShops::Open(std::int32_t gap) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const std::int64_t id = static_cast<std::int64_t>(newest_) + 1 + gap;
  if (gap < 0 || id > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  const auto shopId = static_cast<std::int32_t>(id);
  pages::Shop shop = pages::NewShop(shopId);
  newest_ = shopId;
  closed_.erase(shopId);
  living_.insert_or_assign(shopId, shop);
  openings_.push_back(shop);
  changes_.push_back(Change{Change::Kind::Opened, shopId, {}, {}});
  return shop;
}

bool LivingShops::Rename(std::int32_t shopId, const std::string& name) {
  const std::lock_guard<std::mutex> lock(mutex_);
  pages::Shop* shop = LivingShop(shopId);
  if (shop == nullptr) return false;
  changes_.push_back(Change{Change::Kind::Renamed, shopId, shop->name, name});
  shop->name = name;
  return true;
}

bool LivingShops::SetReputation(std::int32_t shopId, const std::string& reputation) {
  const std::lock_guard<std::mutex> lock(mutex_);
  pages::Shop* shop = LivingShop(shopId);
  if (shop == nullptr) return false;
  changes_.push_back(Change{Change::Kind::Reputation, shopId, shop->reputation, reputation});
  shop->reputation = reputation;
  return true;
}

bool LivingShops::Close(std::int32_t shopId) {
  const std::lock_guard<std::mutex> lock(mutex_);
  // Kept in the living table, so it reopens as it was.
  if (LivingShop(shopId) == nullptr) return false;
  closed_.insert(shopId);
  changes_.push_back(Change{Change::Kind::Closed, shopId, {}, {}});
  return true;
}

bool LivingShops::Reopen(std::int32_t shopId) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (closed_.erase(shopId) == 0) return false;
  changes_.push_back(Change{Change::Kind::Reopened, shopId, {}, {}});
  return true;
}

void LivingShops::ChangePages(const pages::PageChange& change) {
  const std::lock_guard<std::mutex> lock(mutex_);
  pageChange_ = change;
}

std::optional<pages::Shop> LivingShops::ShopAt(std::int32_t shopId) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return ShopAtLocked(shopId);
}

std::map<std::int32_t, pages::Shop> LivingShops::Listing(std::int32_t first,
                                                         std::int32_t last) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::map<std::int32_t, pages::Shop> shops;
  for (std::int64_t id = first; id <= last; ++id) {
    std::optional<pages::Shop> shop = ShopAtLocked(static_cast<std::int32_t>(id));
    if (shop && pages::MakesRow(*shop)) shops.emplace(shop->id, std::move(*shop));
  }
  return shops;
}

std::vector<pages::Shop> LivingShops::Openings() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return openings_;
}

std::vector<LivingShops::Change> LivingShops::Changes() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return changes_;
}

std::optional<pages::Shop> LivingShops::ShopAtLocked(std::int32_t shopId) const {
  if (closed_.count(shopId) > 0) return std::nullopt;
  if (const auto living = living_.find(shopId); living != living_.end()) return living->second;
  if (shopId > top_) return std::nullopt;
  return pages::DemoShop(shopId);
}

pages::Shop* LivingShops::LivingShop(std::int32_t shopId) {
  if (closed_.count(shopId) > 0) return nullptr;
  if (const auto living = living_.find(shopId); living != living_.end()) return &living->second;
  std::optional<pages::Shop> shop = ShopAtLocked(shopId);
  if (!shop) return nullptr;
  return &living_.emplace(shopId, std::move(*shop)).first->second;
}

std::optional<Page> LivingShops::Serve(const std::string& host, const std::string& path) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::optional<pages::ServedPage> served;
  if (const std::optional<std::int32_t> id = pages::ShopIdOfHost(host)) {
    served = pages::ChangedPage(*id, ShopAtLocked(*id), false, pageChange_);
  } else if (const std::optional<std::int32_t> ratingId = pages::ShopIdOfRatingPath(path)) {
    // A closed shop's rating page is gone with it, as is one its home page does not link.
    const std::optional<pages::Shop> shop = ShopAtLocked(*ratingId);
    if (shop && shop->hasRatingLink)
      served = pages::ChangedPage(*ratingId, shop, true, pageChange_);
  }
  if (!served) return std::nullopt;
  Page page;
  page.body = std::move(served->body);
  page.contentType = std::move(served->contentType);
  return page;
}

}  // namespace shopwalk::test
