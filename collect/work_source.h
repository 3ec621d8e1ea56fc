// Where a walk's shop IDs come from: the dispatcher asks the walk's work source for the next ID
// on every pass that may hand one out, and shows each ID it hands out in the shop-ID field. The
// walk through the field itself is one (collect/field_walk.h); a walk shared by several machines
// takes its IDs from the blocks its node holds, and the failed shops due for a retry that it
// claimed. Calls come from the dispatcher thread only.
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
      // The walk moves past `shopId` without handing it out (its shop is answered already): the
      // place moves on, and the dispatcher asks again at once.
      PassedBy,
    };
    Kind kind = Kind::Wait;
    std::int32_t shopId = 0;
    // A failed shop on record tried again: it does not move the walk's place.
    bool retryOfFailed = false;
    // An ID this walk asked before (a follow window asked again): its answer is no fair sample
    // of the pages for the page-match guard, which keeps it out of its window.
    bool again = false;
  };

  virtual Next NextShop() = 0;
};

}  // namespace shopwalk
