#include "collect/field_walk.h"

#include <limits>

#include "collect/text.h"

namespace shopwalk {

void FieldWalk::SetLastShopId(std::optional<std::int32_t> last) {
  std::lock_guard lock(mutex_);
  lastShopId_ = last;
}

void FieldWalk::SetAlreadyListed(std::set<std::int32_t> shopIds) {
  std::lock_guard lock(mutex_);
  alreadyListed_ = std::move(shopIds);
}

bool FieldWalk::WillAsk(std::int32_t shopId) {
  const std::int32_t current = TextToInt(ui_.ShopIdText());
  std::lock_guard lock(mutex_);
  return shopId > current && (!lastShopId_ || shopId <= *lastShopId_) &&
         alreadyListed_.count(shopId) == 0;
}

WorkSource::Next FieldWalk::NextShop() {
  const std::int32_t current = TextToInt(ui_.ShopIdText());
  std::lock_guard lock(mutex_);
  if (current == std::numeric_limits<std::int32_t>::max() ||
      (lastShopId_ && current >= *lastShopId_)) {
    return Next{Next::Kind::End, 0, false};
  }
  const std::int32_t next = current + 1;
  if (alreadyListed_.erase(next) > 0) return Next{Next::Kind::PassedBy, next, false};
  return Next{Next::Kind::Shop, next, false};
}

}  // namespace shopwalk
