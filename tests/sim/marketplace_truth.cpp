#include "tests/sim/marketplace_truth.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "collect/gbk.h"
#include "tests/support/shop_pages.h"

namespace shopwalk::sim {
namespace {

constexpr std::array<std::string_view, 6> NameStarts = {"晨", "林", "海", "星", "木", "禾"};
constexpr std::array<std::string_view, 6> NameEnds = {"小店", "百货", "杂货铺",
                                                      "工坊", "茶舍", "书屋"};
constexpr std::array<std::string_view, 5> Messengers = {"阿青", "mia", "老周", "jun", "小满"};
constexpr std::string_view RatingPrefix = "/user-rate-s";
// Put between a shop's name and its node's mark.
constexpr std::string_view MarkSeparator = "~n";

}  // namespace

MarketplaceTruth::MarketplaceTruth(std::uint64_t seed, std::vector<ShopEvent> events,
                                   std::int32_t lastId)
    : seed_(seed), events_(std::move(events)), lastId_(lastId) {}

std::optional<pages::Shop> MarketplaceTruth::ShopAt(std::int32_t id, std::int64_t atMs) const {
  if (events_.empty()) return DrawnShopAt(id);
  std::optional<pages::Shop> shop;
  const std::optional<std::int64_t> opened = OpenedAt(id);
  if (!opened) {
    if (id <= lastId_) shop = DrawnShopAt(id);
  } else if (*opened <= atMs) {
    // A new shop shows every field.
    shop = DrawnShopAt(id);
    if (!shop) {
      shop = pages::Shop();
      shop->id = id;
      shop->name = "新" + std::to_string(id % 1000) + std::string(NameEnds[0]);
      shop->messenger = "new" + std::to_string(id % 100);
      shop->ratingToken = "s" + std::to_string(id) + ".htm";
      shop->openingDate = "2026-12";
      shop->reputation = "0";
    }
    shop->hasName = shop->hasMessenger = shop->hasRatingLink = shop->hasOpeningDate = true;
  }
  if (!shop) return shop;
  int renames = 0;
  for (const ShopEvent& event : events_) {
    if (event.kind == ShopEvent::Kind::Rename && event.id == id && event.atMs <= atMs) ++renames;
  }
  if (renames > 0) shop->name += "·改" + std::to_string(renames);
  return shop;
}

std::vector<ShopRecord> MarketplaceTruth::RowsOver(std::int32_t id) const {
  std::vector<ShopRecord> rows;
  if (ExpectedAt(id) != Expected::Row) return rows;
  std::vector<std::int64_t> moments{0};
  for (const ShopEvent& event : events_) {
    if (event.id == id) moments.push_back(event.atMs);
  }
  std::sort(moments.begin(), moments.end());
  for (std::int64_t at : moments) {
    if (ExpectedAt(id, at) == Expected::Row) rows.push_back(RowAt(id, -1, at));
  }
  return rows;
}

std::optional<std::int64_t> MarketplaceTruth::OpenedAt(std::int32_t id) const {
  for (const ShopEvent& event : events_) {
    if (event.kind == ShopEvent::Kind::Open && event.id == id) return event.atMs;
  }
  return std::nullopt;
}

std::optional<std::int32_t> MarketplaceTruth::NewestShopAt(std::int64_t atMs) const {
  if (events_.empty()) return std::nullopt;
  std::int32_t newest = lastId_;
  while (newest > 0 && !DrawnShopAt(newest)) --newest;
  for (const ShopEvent& event : events_) {
    if (event.kind == ShopEvent::Kind::Open && event.atMs <= atMs)
      newest = std::max(newest, event.id);
  }
  return newest;
}

DrawnTop TopOfDrawnShops(std::uint64_t seed, std::int32_t firstId, std::int32_t lastId) {
  const MarketplaceTruth drawn(seed);
  DrawnTop top;
  int gap = 0;
  for (std::int32_t id = firstId; id <= lastId; ++id) {
    if (drawn.ShopAt(id)) {
      top.newestShop = id;
      top.longestGap = std::max(top.longestGap, gap);
      gap = 0;
    } else {
      ++gap;
    }
  }
  return top;
}

std::optional<pages::Shop> MarketplaceTruth::DrawnShopAt(std::int32_t id) const {
  const std::uint64_t h = pages::Mix(seed_ ^ pages::Mix(static_cast<std::uint32_t>(id)));
  // About three IDs in ten are shops; one shop in eight lacks a field the row needs, or has an
  // empty reputation or no opening date (which rows keep as "0" and "").
  if (h % 10 >= 3) return std::nullopt;
  pages::Shop shop;
  shop.id = id;
  shop.name = std::string(NameStarts[(h >> 8) % NameStarts.size()]) + std::to_string(id % 1000) +
              std::string(NameEnds[(h >> 12) % NameEnds.size()]);
  shop.messenger =
      std::string(Messengers[(h >> 16) % Messengers.size()]) + std::to_string((h >> 20) % 100);
  shop.ratingToken = "s" + std::to_string(id) + ".htm";
  shop.openingDate =
      std::to_string(2008 + (h >> 28) % 15) + "-0" + std::to_string(1 + (h >> 32) % 9);
  shop.reputation = std::to_string((h >> 36) % 90000);
  switch ((h >> 48) % 24) {
    case 0:
      shop.hasMessenger = false;
      break;
    case 1:
      shop.hasRatingLink = false;
      break;
    case 2:
      shop.hasName = false;
      break;
    case 3:
      shop.hasOpeningDate = false;
      break;
    case 4:
      shop.reputation.clear();
      break;
    default:
      break;
  }
  return shop;
}

Expected MarketplaceTruth::ExpectedAt(std::int32_t id, std::int64_t atMs) const {
  const std::optional<pages::Shop> shop = ShopAt(id, atMs);
  if (!shop) return Expected::NoShop;
  if (!shop->hasMessenger || !shop->hasRatingLink || !shop->hasName) return Expected::NoFields;
  return Expected::Row;
}

namespace {

pages::Shop Marked(pages::Shop shop, int node) {
  if (node >= 0) shop.name += std::string(MarkSeparator) + std::to_string(node);
  return shop;
}

}  // namespace

ShopRecord MarketplaceTruth::RowAt(std::int32_t id, int node, std::int64_t atMs) const {
  const pages::Shop shop = Marked(*ShopAt(id, atMs), node);
  ShopRecord record;
  record.shopId = id;
  record.name = Utf8ToGbk(shop.name);
  record.reputation = shop.reputation.empty() ? "0" : Utf8ToGbk(shop.reputation);
  record.messenger = Utf8ToGbk(shop.messenger);
  record.openingDate = shop.hasOpeningDate ? Utf8ToGbk(shop.openingDate) : std::string();
  record.address = pages::ShopUrl(id);
  return record;
}

std::string MarketplaceTruth::HomePage(std::int32_t id, int node, std::int64_t atMs) const {
  const std::optional<pages::Shop> shop = ShopAt(id, atMs);
  if (!shop) return pages::NoShopPage(id);
  return pages::HomePage(Marked(*shop, node));
}

std::optional<std::int32_t> MarketplaceTruth::ShopOfRatingPath(const std::string& path,
                                                               std::int64_t atMs) const {
  if (path.compare(0, RatingPrefix.size(), RatingPrefix) != 0) return std::nullopt;
  const char* digits = path.c_str() + RatingPrefix.size();
  char* end = nullptr;
  const long long id = std::strtoll(digits, &end, 10);
  if (end == digits || id < 0 || id > INT32_MAX) return std::nullopt;
  const std::optional<pages::Shop> shop = ShopAt(static_cast<std::int32_t>(id), atMs);
  if (!shop || !shop->hasRatingLink) return std::nullopt;
  return shop->id;
}

std::optional<std::string> MarketplaceTruth::RatingPage(const std::string& path, int node,
                                                        std::int64_t atMs) const {
  const std::optional<std::int32_t> id = ShopOfRatingPath(path, atMs);
  if (!id) return std::nullopt;
  return pages::RatingPage(Marked(*ShopAt(*id, atMs), node));
}

std::optional<int> MarketplaceTruth::NodeMarkOf(const std::string& name) {
  const std::string utf8 = GbkToUtf8(name);
  const std::size_t mark = utf8.rfind(MarkSeparator);
  if (mark == std::string::npos) return std::nullopt;
  const std::string digits = utf8.substr(mark + MarkSeparator.size());
  if (digits.empty() || digits.size() > 2 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::atoi(digits.c_str());
}

}  // namespace shopwalk::sim
