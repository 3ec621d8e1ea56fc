// The fixed texts the engine looks for in the marketplace's pages and writes to the status bar.
// All are GBK bytes, as the pages and the window's texts are.
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
  std::string collectingStatus;  // "正在采集店铺："
  std::string collectedPrefix;   // "采集店铺："
  std::string collectedSuffix;   // "成功采集！"
  std::string rowCountPrefix;    // "已采集："
  std::string rowCountSuffix;    // "个"
};

// The markers, converted once.
const Markers& GetMarkers();

}  // namespace shopwalk
