#include "collect/markers.h"

#include "collect/gbk.h"
#include "collect/marketplace.h"

namespace shopwalk {

const Markers& GetMarkers() {
  static const Markers markers = [] {
    Markers m;
    m.noShopNotice = Utf8ToGbk("没有找到相应的店铺信息");
    m.shopNameLeft = Utf8ToGbk("<title>首页-");
    m.shopNameRight = Utf8ToGbk("-Velmo网");
    m.messengerLeft = Utf8ToGbk("掌柜：");
    m.messengerRight = "</a>";
    m.ratingLinkPrefix = "http://rate." + std::string(MarketplaceDomain) + "/user-rate-";
    m.ratingTokenRight = "\"";
    m.openingDateLeft = "J_showShopStartDate\" value=\"";
    m.openingDateRight = "\"";
    m.reputationLeft = Utf8ToGbk("卖家信用：");
    m.reputationRight = "\r\n";
    return m;
  }();
  return markers;
}

}  // namespace shopwalk
