// The fixed texts the engine looks for in the marketplace's pages, as GBK bytes (the pages' code
// page).
#pragma once

#include <string>

namespace shopwalk {

struct Markers {
  std::string noShopNotice;      // "没有找到相应的店铺信息": the shop does not exist
  std::string shopNameLeft;      // "<title>首页-"
  std::string shopNameRight;     // "-Velmo网"
  std::string messengerLeft;     // "掌柜："
  std::string messengerRight;    // "</a>"
  std::string ratingLinkPrefix;  // "http://rate." + domain + "/user-rate-"
  std::string ratingTokenRight;  // one double quote
  std::string openingDateLeft;   // J_showShopStartDate" value="
  std::string openingDateRight;  // one double quote
  std::string reputationLeft;    // "卖家信用："
  std::string reputationRight;   // CR LF
};

// The markers, converted once.
const Markers& GetMarkers();

}  // namespace shopwalk
