// What the markers cut from a shop's pages: the one place a walk, `markers try` and a re-cut of
// kept pages turn a page into fields, so all three judge a page alike.
//
// Pure and thread-safe; any bytes are accepted. Fields come out in GBK (the rows' code page), each
// at most MaxFieldBytes long.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "collect/markers.h"
#include "collect/shop_record.h"

namespace shopwalk {

struct HomeCut {
  bool noShop = false;      // the page holds the "no such shop" notice (nothing else is cut)
  std::string shopName;     // GBK
  std::string messenger;    // GBK
  std::string ratingToken;  // as on the page (it goes into the rating page's address)
  bool cut = false;         // a field was longer than a row keeps
  // Whether the page gives what a row needs before its rating page is fetched.
  bool HasFields() const { return !noShop && !messenger.empty() && !ratingToken.empty(); }
  // Whether no marker matched at all: neither the notice nor any field (a verification page, a
  // page of another layout), as opposed to a shop's page that lacks a field.
  bool Nothing() const {
    return !noShop && shopName.empty() && messenger.empty() && ratingToken.empty();
  }
  std::string RatingAddress(const Markers& markers) const {
    return markers.ratingLinkPrefix + ratingToken;
  }
};

struct RatingCut {
  std::string openingDate;  // GBK
  std::string reputation;   // GBK; empty when the page gave none (the row then keeps "0")
  bool cut = false;
};

HomeCut CutHomePage(const Markers& markers, std::string_view page);
RatingCut CutRatingPage(const Markers& markers, std::string_view page);

// The row of shop `shopId` made of its cuts, as a walk lists it: "0" for a reputation the rating
// page did not give, the shop's address. Only for a home cut with fields and a shop name.
ShopRecord RowOfCuts(std::int32_t shopId, HomeCut home, RatingCut rating);

}  // namespace shopwalk
