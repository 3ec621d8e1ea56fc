#include "tests/support/shop_pages.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "collect/gbk.h"
#include "collect/marketplace.h"

namespace shopwalk::pages {
namespace {

constexpr std::array<std::string_view, 8> NameStarts = {"小", "云", "金", "乐",
                                                        "美", "优", "品", "新"};
constexpr std::array<std::string_view, 8> NameMiddles = {"衣", "茶", "鞋", "书",
                                                         "果", "饰", "妆", "玩"};
constexpr std::array<std::string_view, 5> NameEnds = {"小铺", "旗舰店", "专营店", "工作室",
                                                      "精品店"};
constexpr std::array<std::string_view, 6> MessengerStems = {"阿明", "lily", "小雨",
                                                            "tom",  "晨光", "kiki"};

}  // namespace

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::string ShopHost(std::int32_t id) {
  return "shop" + std::to_string(id) + "." + std::string(MarketplaceDomain);
}

std::string RatingHost() {
  return "rate." + std::string(MarketplaceDomain);
}

std::string ShopUrl(std::int32_t id) {
  return "http://" + ShopHost(id);
}

std::string RatingPath(const Shop& shop) {
  return "/user-rate-" + shop.ratingToken;
}

namespace {

// The pages as UTF-8 text; the marketplace sends them as GBK unless it has switched.
std::string HomePageText(const Shop& shop) {
  std::string html = "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"gbk\">\n<title>";
  html += shop.hasName ? "首页-" + shop.name + "-Velmo网" : "Velmo网";
  html += "</title>\n</head>\n<body>\n<div class=\"shop-header\">\n<h1 class=\"shop-name\">" +
          shop.name + "</h1>\n";
  if (shop.hasMessenger) {
    html += "<span class=\"seller\"><a href=\"http://im." + std::string(MarketplaceDomain) +
            "/chat?to=" + std::to_string(shop.id) + "\">掌柜：" + shop.messenger + "</a></span>\n";
  }
  if (shop.hasRatingLink) {
    html += "<a class=\"rate-link\" href=\"http://" + RatingHost() + RatingPath(shop) +
            "\" target=\"_blank\">信用评价</a>\n";
  }
  html += "</div>\n<div class=\"items\">\n";
  for (int i = 1; i <= 6; ++i) {
    html += "<div class=\"item\"><a href=\"/item-" + std::to_string(i) + ".htm\">宝贝" +
            std::to_string(i) + "</a><span class=\"price\">" + std::to_string(9 + i * 7) +
            ".00</span></div>\n";
  }
  html += "</div>\n</body>\n</html>\n";
  return html;
}

std::string NoShopPageText(std::int32_t id) {
  std::string html =
      "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"gbk\">\n<title>店铺不存在-Velmo网"
      "</title>\n</head>\n<body>\n<div class=\"error-notice\">很抱歉，没有找到相应的店铺信息"
      "（" +
      std::to_string(id) + "）</div>\n</body>\n</html>\n";
  return html;
}

std::string RatingPageText(const Shop& shop) {
  std::string html = "<!DOCTYPE html>\r\n<html>\r\n<head>\r\n<meta charset=\"gbk\">\r\n<title>" +
                     shop.name + " - 信用评价</title>\r\n</head>\r\n<body>\r\n";
  if (shop.hasOpeningDate) {
    html += "<input type=\"hidden\" id=\"J_showShopStartDate\" value=\"" + shop.openingDate +
            "\" />\r\n";
  }
  html += "<div class=\"seller-credit\">\r\n";
  if (!shop.reputation.empty()) html += "卖家信用：" + shop.reputation + "\r\n";
  html += "</div>\r\n</body>\r\n</html>\r\n";
  return html;
}

}  // namespace

std::string HomePage(const Shop& shop) {
  return Utf8ToGbk(HomePageText(shop));
}

std::string NoShopPage(std::int32_t id) {
  return Utf8ToGbk(NoShopPageText(id));
}

std::string RatingPage(const Shop& shop) {
  return Utf8ToGbk(RatingPageText(shop));
}

namespace {

// The made-up text of shop `id`, drawn from `h` (Mix of the ID).
Shop ShopDrawnFrom(std::int32_t id, std::uint64_t h) {
  Shop shop;
  shop.id = id;
  shop.name = std::string(NameStarts[(h >> 8) % NameStarts.size()]) +
              std::string(NameMiddles[(h >> 12) % NameMiddles.size()]) +
              std::string(NameEnds[(h >> 16) % NameEnds.size()]);
  shop.messenger = std::string(MessengerStems[(h >> 20) % MessengerStems.size()]) +
                   std::to_string((h >> 24) % 1000);
  shop.ratingToken = "u" + std::to_string(id) + ".htm?spm=" + std::to_string((h >> 32) % 97);
  shop.openingDate = std::to_string(2005 + (h >> 36) % 20) + "-" +
                     std::to_string(1 + (h >> 40) % 12 + 100).substr(1) + "-" +
                     std::to_string(1 + (h >> 44) % 28 + 100).substr(1);
  if ((h >> 48) % 10 != 0) shop.reputation = std::to_string((h >> 50) % 50000);
  return shop;
}

}  // namespace

std::optional<Shop> DemoShop(std::int32_t id) {
  const std::uint64_t h = Mix(static_cast<std::uint32_t>(id));
  if (h % 4 != 0) return std::nullopt;
  Shop shop = ShopDrawnFrom(id, h);
  switch ((h >> 56) % 16) {
    case 0:
      shop.hasMessenger = false;
      break;
    case 1:
      shop.hasOpeningDate = false;
      break;
    case 2:
      shop.hasName = false;
      break;
    case 3:
      shop.hasRatingLink = false;
      break;
    default:
      break;
  }
  return shop;
}

Shop NewShop(std::int32_t id) {
  return ShopDrawnFrom(id, Mix(static_cast<std::uint32_t>(id)));
}

std::optional<std::int32_t> ShopIdOfRatingPath(const std::string& path) {
  constexpr std::string_view prefix = "/user-rate-u";
  if (path.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  const char* digits = path.c_str() + prefix.size();
  char* end = nullptr;
  const long long id = std::strtoll(digits, &end, 10);
  if (end == digits || id < INT32_MIN || id > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(id);
}

std::optional<Shop> DemoShopByRatingPath(const std::string& path) {
  const std::optional<std::int32_t> id = ShopIdOfRatingPath(path);
  if (!id) return std::nullopt;
  std::optional<Shop> shop = DemoShop(*id);
  if (!shop || !shop->hasRatingLink) return std::nullopt;
  return shop;
}

std::optional<std::int32_t> ShopIdOfHost(const std::string& host) {
  const std::string suffix = "." + std::string(MarketplaceDomain);
  if (host.size() <= 4 + suffix.size() || host.compare(0, 4, "shop") != 0 ||
      host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return std::nullopt;
  }
  const std::string digits = host.substr(4, host.size() - 4 - suffix.size());
  if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 10) {
    return std::nullopt;
  }
  const long long id = std::strtoll(digits.c_str(), nullptr, 10);
  if (id > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(id);
}

std::optional<std::string> DemoPage(const std::string& host, const std::string& path) {
  if (const auto id = ShopIdOfHost(host)) {
    const auto shop = DemoShop(*id);
    return shop ? HomePage(*shop) : NoShopPage(*id);
  }
  if (const auto shop = DemoShopByRatingPath(path)) return RatingPage(*shop);
  return std::nullopt;
}

bool MakesRow(const Shop& shop) {
  return shop.hasName && shop.hasMessenger && shop.hasRatingLink;
}

namespace {

constexpr std::string_view GbkType = "text/html; charset=gbk";
constexpr std::string_view Utf8Type = "text/html; charset=utf-8";

// A shop's home page in a redesigned layout: the same shop, its name and messenger under new
// markup (markers.ini's Shop_Name_* and Messenger_* set to the data-shop and data-nick attributes
// cut them again); the rating link is still the rating page's address.
std::string ChangedHomePageText(const Shop& shop) {
  std::string html = "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"gbk\">\n<title>";
  html += shop.hasName ? shop.name + " | Velmo" : "Velmo";
  html += "</title>\n</head>\n<body>\n<header";
  if (shop.hasName) html += " data-shop=\"" + shop.name + "\"";
  html += ">\n";
  if (shop.hasMessenger) {
    html += "<span data-nick=\"" + shop.messenger + "\">店主</span>\n";
  }
  if (shop.hasRatingLink) {
    html += "<a data-rate=\"http://" + RatingHost() + RatingPath(shop) + "\">评价</a>\n";
  }
  html += "</header>\n</body>\n</html>\n";
  return html;
}

// A rating page in a redesigned layout: the date and the reputation under new markup (the
// data-start and data-credit attributes).
std::string ChangedRatingPageText(const Shop& shop) {
  std::string html = "<!DOCTYPE html>\r\n<html>\r\n<body>\r\n<dl class=\"credit\">\r\n";
  if (shop.hasOpeningDate) html += "<dd data-start=\"" + shop.openingDate + "\"></dd>\r\n";
  if (!shop.reputation.empty()) html += "<dd data-credit=\"" + shop.reputation + "\"></dd>\r\n";
  html += "</dl>\r\n</body>\r\n</html>\r\n";
  return html;
}

std::string VerificationPageText() {
  return "<!DOCTYPE html>\n<html>\n<head>\n<title>安全验证</title>\n</head>\n<body>\n"
         "<div class=\"slider\">请拖动滑块完成验证</div>\n</body>\n</html>\n";
}

std::string RewordedNoShopPageText(std::int32_t id) {
  return "<!DOCTYPE html>\n<html>\n<head>\n<title>Velmo网</title>\n</head>\n<body>\n"
         "<div class=\"empty\">您访问的店铺（" +
         std::to_string(id) + "）不存在或已关闭</div>\n</body>\n</html>\n";
}

ServedPage Served(const std::string& utf8, bool asUtf8) {
  if (asUtf8) return {utf8, std::string(Utf8Type)};
  return {Utf8ToGbk(utf8), std::string(GbkType)};
}

}  // namespace

ServedPage ChangedPage(std::int32_t id, const std::optional<Shop>& shop, bool ratingPage,
                       const PageChange& change) {
  using Kind = PageChange::Kind;
  const bool changed = change.kind != Kind::None && id >= change.fromId;
  const auto usual = [&](bool asUtf8) {
    if (ratingPage) return Served(RatingPageText(*shop), asUtf8);
    return Served(shop ? HomePageText(*shop) : NoShopPageText(id), asUtf8);
  };
  if (!changed) return usual(false);
  switch (change.kind) {
    case Kind::Layout:
      if (ratingPage) {
        return Served(change.rating ? ChangedRatingPageText(*shop) : RatingPageText(*shop), false);
      }
      if (!shop) return Served(NoShopPageText(id), false);
      return Served(change.home ? ChangedHomePageText(*shop) : HomePageText(*shop), false);
    case Kind::Verification:
      return Served(VerificationPageText(), false);
    case Kind::Utf8:
      return usual(true);
    case Kind::RewordedNotice:
      if (ratingPage || shop) return usual(false);
      return Served(RewordedNoShopPageText(id), false);
    case Kind::NoticeOnShops:
      if (ratingPage) return usual(false);
      return Served(NoShopPageText(id), false);
    case Kind::None:
      break;
  }
  return usual(false);
}

std::optional<ServedPage> ChangedDemoPage(const std::string& host, const std::string& path,
                                          const PageChange& change) {
  if (const std::optional<std::int32_t> id = ShopIdOfHost(host)) {
    return ChangedPage(*id, DemoShop(*id), false, change);
  }
  const std::optional<Shop> shop = DemoShopByRatingPath(path);
  if (!shop) return std::nullopt;
  return ChangedPage(shop->id, shop, true, change);
}

}  // namespace shopwalk::pages
