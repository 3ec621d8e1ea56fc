// Where the engine keeps what a run finds, beside the window's list, so nothing collected is lost
// when the program ends without warning. The engine reports every answer it gets and the walk's
// place; a store writes them down in that order. An implementation must accept calls from any
// thread, must not block for long (it queues, and writes elsewhere), and keeps the order of the
// calls: an answer reported before a place is never written after it.
//
// Every shop ID has at most one answer on record besides its row: the latest of "no shop", "no
// fields" and "failed". A row, once collected, is kept; a later answer for the same ID does not
// remove it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "collect/page_match_guard.h"
#include "collect/shop_record.h"

namespace shopwalk {

// What the walk learned of a shop ID that gave no row.
enum class ShopOutcome : int {
  // The marketplace says the shop does not exist.
  NoShop = 1,
  // The shop's pages lack a field the row needs (messenger, rating link or name).
  NoFields = 2,
  // The pages were never answered after the last try, or the client refused them. Reported
  // through ResultSink::Failed, which carries the reason and the tries.
  Failed = 3,
};

// A shop failed for good, as recorded.
struct FailedShop {
  std::int32_t shopId = 0;
  // Tries made, as the engine counts them (kept as given).
  int attempts = 0;
  // Why the last try failed, for the user (bytes kept as given).
  std::string reason;
};

class ResultSink {
 public:
  virtual ~ResultSink() = default;

  // A row was appended to the list (calls come in list order). A shop collected again keeps one
  // row on record, with the latest values; the shop leaves the failed list.
  virtual void RowAppended(const ShopRecord& record) = 0;
  // A shop ID was answered without a row; the shop leaves the failed list. `outcome` is NoShop or
  // NoFields; Failed (or any other value) is recorded as Failed with no tries and no reason.
  virtual void Answered(std::int32_t shopId, ShopOutcome outcome) = 0;
  // A shop failed for good: pages never answered after its last try, or refused. A shop failing
  // again gets the new tries and reason and becomes the newest failure.
  virtual void Failed(const FailedShop& shop) = 0;
  // The walk's place moved: the text the shop-ID field would be saved with (every shop ID up to
  // it that the run handed out has been reported above). Bytes kept as given.
  virtual void PlaceMoved(const std::string& place) = 0;

  // Failed shops on record that a new run tries first, oldest failure first. Every failure
  // reported before the call is included, unless writing is failing at the time (then the ones
  // still waiting to be written are not).
  virtual std::vector<FailedShop> FailedShops() = 0;

  // The shop's answer is not to be trusted: the pages stopped matching the markers while it came
  // (collect/page_match_guard.h), so it is no final answer and the next run asks the shop again
  // before new shops (ShopsToRevisit). A row, an answer or a failure for the shop that comes
  // later replaces the mark. By default it is kept as a failure on record with no tries, which
  // the next run tries again first as well.
  virtual void ToRevisit(std::int32_t shopId) {
    Failed(FailedShop{shopId, 0, std::string(RevisitReason)});
  }
  // Shops marked to revisit, to be asked again first by a new run (after the failed shops); by
  // default none besides the failed shops.
  virtual std::vector<std::int32_t> ShopsToRevisit() { return {}; }
  // What the sink's earlier runs saw of the pages, for the guard's share seen before; by default
  // nothing.
  virtual PageMatchHistory PageHistory() { return {}; }
  // The reason a shop marked to revisit is kept with when a sink keeps it as a failure.
  static constexpr std::string_view RevisitReason = "pages no longer match";

  // Whether reports wait to be written beyond what the sink means to hold (its writing fell
  // behind or fails, or its server is out of reach): the dispatcher pauses handing out shop IDs
  // while it is. Reports that come anyway are still accepted. Any thread may ask.
  virtual bool Congested() const { return false; }
};

}  // namespace shopwalk
