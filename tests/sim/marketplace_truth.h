// What the simulated marketplace holds, drawn from the seed: which shop IDs are shops (with their
// names, owners, rating pages) and which are not, and the answer the walk must record for each:
// a row with exactly these fields, "no shop", or "no fields". In a walk shared by several nodes
// each node's marketplace puts its node's mark in the shop names, so a row tells which node
// collected it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "collect/shop_record.h"
#include "tests/support/shop_pages.h"

namespace shopwalk::sim {

enum class Expected { Row, NoShop, NoFields };

class MarketplaceTruth {
 public:
  explicit MarketplaceTruth(std::uint64_t seed);

  // The shop at `id`, as its pages show it (nothing: no shop there).
  std::optional<pages::Shop> ShopAt(std::int32_t id) const;
  Expected ExpectedAt(std::int32_t id) const;
  // The row the walk records for a shop that makes one, as the marketplace of `node` shows it (-1:
  // a walk of one node, no mark).
  ShopRecord RowAt(std::int32_t id, int node) const;

  // The pages: the home page of shop host `id` and the rating page at `path` ("/user-rate-...");
  // nothing for a rating page that does not exist. GBK bytes.
  std::string HomePage(std::int32_t id, int node) const;
  std::optional<std::string> RatingPage(const std::string& path, int node) const;
  // The shop whose rating page lives at `path`, if any.
  std::optional<std::int32_t> ShopOfRatingPath(const std::string& path) const;

  // The node whose mark a shop name (GBK, as recorded) carries; nothing without one.
  static std::optional<int> NodeMarkOf(const std::string& name);

 private:
  std::uint64_t seed_;
};

}  // namespace shopwalk::sim
