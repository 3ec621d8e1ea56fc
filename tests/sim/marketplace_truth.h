// What the simulated marketplace holds, drawn from the seed: which shop IDs are shops (with their
// names, owners, rating pages) and which are not, and the answer the walk must record for each:
// a row with exactly these fields, "no shop", or "no fields". In a walk shared by several nodes
// each node's marketplace puts its node's mark in the shop names, so a row tells which node
// collected it.
//
// A walk that follows the top sees the marketplace live: shops open above the newest one and
// listed shops are renamed, each at its moment (ShopEvent). Every question then takes the moment
// it is asked about, in milliseconds from the walk's start; asked without one, the truth is the
// marketplace's at the end, after every event.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "collect/shop_record.h"
#include "tests/support/shop_pages.h"

namespace shopwalk::sim {

enum class Expected { Row, NoShop, NoFields };

// A change of the live marketplace: a shop opens at `id` (above every shop before it), or the
// shop at `id` takes a new name, `atMs` after the walk's start.
struct ShopEvent {
  enum class Kind { Open, Rename };
  Kind kind = Kind::Open;
  std::int32_t id = 0;
  std::int64_t atMs = 0;
};

class MarketplaceTruth {
 public:
  // The end of the walk: every event has happened.
  static constexpr std::int64_t AtEnd = std::numeric_limits<std::int64_t>::max();

  // `lastId`, with events: the marketplace's top when the walk starts; no ID above it is a shop
  // until an event opens it. Without events the IDs go on as drawn.
  explicit MarketplaceTruth(std::uint64_t seed, std::vector<ShopEvent> events = {},
                            std::int32_t lastId = 0);

  // The shop at `id`, as its pages show it at `atMs` (nothing: no shop there).
  std::optional<pages::Shop> ShopAt(std::int32_t id, std::int64_t atMs = AtEnd) const;
  Expected ExpectedAt(std::int32_t id, std::int64_t atMs = AtEnd) const;
  // The row the walk records for a shop that makes one, as the marketplace of `node` shows it (-1:
  // a walk of one node, no mark).
  ShopRecord RowAt(std::int32_t id, int node, std::int64_t atMs = AtEnd) const;
  // Every row the shop made over the walk, oldest first (one per name it had).
  std::vector<ShopRecord> RowsOver(std::int32_t id) const;
  // When the shop at `id` opened (nothing: it was there from the start, or never opens).
  std::optional<std::int64_t> OpenedAt(std::int32_t id) const;
  // The newest shop (the highest ID that is one) at `atMs`, at or below `lastId` when nothing
  // has opened yet; nothing without events.
  std::optional<std::int32_t> NewestShopAt(std::int64_t atMs) const;

  // The pages: the home page of shop host `id` and the rating page at `path` ("/user-rate-...");
  // nothing for a rating page that does not exist. GBK bytes.
  std::string HomePage(std::int32_t id, int node, std::int64_t atMs = AtEnd) const;
  std::optional<std::string> RatingPage(const std::string& path, int node,
                                        std::int64_t atMs = AtEnd) const;
  // The shop whose rating page lives at `path`, if any.
  std::optional<std::int32_t> ShopOfRatingPath(const std::string& path,
                                               std::int64_t atMs = AtEnd) const;

  // The node whose mark a shop name (GBK, as recorded) carries; nothing without one.
  static std::optional<int> NodeMarkOf(const std::string& name);

 private:
  std::optional<pages::Shop> DrawnShopAt(std::int32_t id) const;

  std::uint64_t seed_;
  std::vector<ShopEvent> events_;
  std::int32_t lastId_ = 0;
};

// The highest shop (making a row or not) at or below `lastId` of the walk drawn from `seed`, and
// the longest run of IDs without a shop between `firstId` and it.
struct DrawnTop {
  std::int32_t newestShop = 0;
  int longestGap = 0;
};
DrawnTop TopOfDrawnShops(std::uint64_t seed, std::int32_t firstId, std::int32_t lastId);

}  // namespace shopwalk::sim
