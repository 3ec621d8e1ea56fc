// The walk through the shop-ID field as a work source: each pass hands out the ID after the
// field's text (so an ID the user typed counts from the next pass on), until the last shop ID set
// for the walk, at the latest the largest shop ID (it never wraps to negative ones). A shop the
// list holds already (SetAlreadyListed) is passed by, once. The dispatcher writes each ID it
// hands out or passes by into the field, so the field walks on from there.
//
// NextShop is called from the dispatcher thread; the settings from any thread, before Start.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>

#include "collect/collector_ui.h"
#include "collect/work_source.h"

namespace shopwalk {

class FieldWalk : public WorkSource {
 public:
  // `ui` holds the field; it must outlive the walk.
  explicit FieldWalk(CollectorUi& ui) : ui_(ui) {}

  // The last shop ID the walk hands out (none: the largest shop ID).
  void SetLastShopId(std::optional<std::int32_t> last);
  // Shops the list holds already, to be passed by rather than handed out.
  void SetAlreadyListed(std::set<std::int32_t> shopIds);

  Next NextShop() override;
  // Whether the walk, going on from the field's text now, is to ask for shop `shopId` itself
  // (not passing it by as listed).
  bool WillAsk(std::int32_t shopId);

 private:
  CollectorUi& ui_;
  std::mutex mutex_;
  std::optional<std::int32_t> lastShopId_;
  std::set<std::int32_t> alreadyListed_;
};

}  // namespace shopwalk
