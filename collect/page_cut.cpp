#include "collect/page_cut.h"

#include "collect/marketplace.h"
#include "collect/shop_record.h"
#include "collect/text.h"

namespace shopwalk {
namespace {

// A field of `page` in GBK, cut to MaxFieldBytes; `cut` is set when it was longer.
std::string Field(const Markers& markers, std::string_view page, std::string_view left,
                  std::string_view right, bool& cut) {
  std::string field = PageTextToGbk(markers, CutPage(markers, page, left, right));
  if (field.size() <= static_cast<std::size_t>(MaxFieldBytes)) return field;
  cut = true;
  return CutToBytes(field, MaxFieldBytes);
}

}  // namespace

HomeCut CutHomePage(const Markers& markers, std::string_view page) {
  HomeCut home;
  if (PageHolds(markers, page, markers.noShopNotice)) {
    home.noShop = true;
    return home;
  }
  home.shopName = Field(markers, page, markers.shopNameLeft, markers.shopNameRight, home.cut);
  home.messenger = Field(markers, page, markers.messengerLeft, markers.messengerRight, home.cut);
  home.ratingToken = CutPage(markers, page, markers.ratingLinkPrefix, markers.ratingTokenRight);
  return home;
}

RatingCut CutRatingPage(const Markers& markers, std::string_view page) {
  RatingCut rating;
  rating.openingDate =
      Field(markers, page, markers.openingDateLeft, markers.openingDateRight, rating.cut);
  rating.reputation =
      Field(markers, page, markers.reputationLeft, markers.reputationRight, rating.cut);
  return rating;
}

ShopRecord RowOfCuts(std::int32_t shopId, HomeCut home, RatingCut rating) {
  ShopRecord record;
  record.shopId = shopId;
  record.name = std::move(home.shopName);
  record.reputation = rating.reputation.empty() ? std::string("0") : std::move(rating.reputation);
  record.messenger = std::move(home.messenger);
  record.openingDate = std::move(rating.openingDate);
  record.address = "http://shop" + NumberToText(shopId) + "." + std::string(MarketplaceDomain);
  return record;
}

}  // namespace shopwalk
