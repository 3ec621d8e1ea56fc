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
    m.collectingStatus = Utf8ToGbk("正在采集店铺：");
    m.collectedPrefix = Utf8ToGbk("采集店铺：");
    m.collectedSuffix = Utf8ToGbk("成功采集！");
    m.rowCountPrefix = Utf8ToGbk("已采集：");
    m.rowCountSuffix = Utf8ToGbk("个");
    return m;
  }();
  return markers;
}

}  // namespace shopwalk
