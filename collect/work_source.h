// Where a walk's shop IDs come from when it is not the shop-ID field: the dispatcher asks a work
// source for the next ID on every pass instead of advancing the field. A walk shared by several
// machines takes its IDs this way from the blocks its node holds, and the failed shops due for a
// retry that it claimed. Calls come from the dispatcher thread only.
#pragma once

#include <cstdint>

namespace shopwalk {

class WorkSource {
 public:
  virtual ~WorkSource() = default;

  struct Next {
    enum class Kind {
      // Hand out `shopId`.
      Shop,
      // Nothing to hand out now (claiming more work, the shared store out of reach, ...): ask
      // again on the next pass.
      Wait,
      // The walk has no more IDs to hand out; it ends once the shops handed out are answered.
      End,
    };
    Kind kind = Kind::Wait;
    std::int32_t shopId = 0;
    // A failed shop on record tried again: it does not move the walk's place.
    bool retryOfFailed = false;
  };

  virtual Next NextShop() = 0;
};

}  // namespace shopwalk
