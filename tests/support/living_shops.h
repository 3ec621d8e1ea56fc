// The synthetic marketplace (pages::DemoShop) up to a top, and living above and below it: shops
// open above the newest one, are renamed, change their reputation, close and open again when the
// test says so (events, never wall time). Each change applies to every request read after its
// call returns, and is kept in order, so a test checks a walk's list (Listing, Openings) and the
// history a refresh records (Changes) against this truth. A page change (pages::PageChange) may
// be laid over the living shops' pages as ChangingPages does over the fixed ones.
//
// Safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/shop_pages.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk::test {

class LivingShops {
 public:
  // One change of the marketplace, as the test made it. `before` and `after` are the field's
  // values (the name or the reputation); empty for an opening, a closing and a reopening.
  struct Change {
    enum class Kind { Opened, Renamed, Reputation, Closed, Reopened };
    Kind kind = Kind::Opened;
    std::int32_t shopId = 0;
    std::string before;
    std::string after;
  };

  // Serves the living marketplace through `market`'s fallback generator: IDs up to `top` are
  // DemoShop's, IDs above it have no shop until one opens there. `market` must outlive this
  // object, which takes the generator away again when it goes.
  LivingShops(TestMarketplace& market, std::int32_t top);
  ~LivingShops();
  LivingShops(const LivingShops&) = delete;
  LivingShops& operator=(const LivingShops&) = delete;

  // The newest shop's ID: the highest ID given to a shop so far (a closed shop keeps its ID, so
  // it stays the newest). At first the highest DemoShop ID up to `top` (`top` when none is
  // within 10,000 IDs below it).
  std::int32_t Newest() const;
  // Opens a shop `gap` IDs above the one after the newest (gap 0: at Newest() + 1) and returns
  // it: every field on its pages (pages::NewShop), so it makes a row. Nothing when that ID would
  // pass the largest shop ID or `gap` is negative.
  std::optional<pages::Shop> Open(std::int32_t gap = 0);
  // Changes an open shop's name or reputation (an empty reputation: its rating page carries
  // none). False, changing nothing, when no shop is open at `shopId`.
  bool Rename(std::int32_t shopId, const std::string& name);
  bool SetReputation(std::int32_t shopId, const std::string& reputation);
  // The shop's pages answer "no such shop" from now on; false when no shop is open there.
  bool Close(std::int32_t shopId);
  // A closed shop answers again, as it was when it closed; false when it is not closed.
  bool Reopen(std::int32_t shopId);

  // Lays `change` over every page served from now on (Kind::None: the pages read as usual).
  void ChangePages(const pages::PageChange& change);

  // The shop open at `shopId` now, as its pages show it; nothing when none is open there.
  std::optional<pages::Shop> ShopAt(std::int32_t shopId) const;
  // The open shops of IDs `first` to `last` that make a row with the built-in markers, as they
  // are now: what a walk or a refresh over that range lists once its answers are in.
  std::map<std::int32_t, pages::Shop> Listing(std::int32_t first, std::int32_t last) const;
  // The shops opened so far, in the order they opened, as they opened.
  std::vector<pages::Shop> Openings() const;
  // Every change made so far, in order.
  std::vector<Change> Changes() const;

 private:
  std::optional<pages::Shop> ShopAtLocked(std::int32_t shopId) const;
  // The shop open at `shopId`, copied into the living table so it can change; null when none.
  pages::Shop* LivingShop(std::int32_t shopId);
  std::optional<Page> Serve(const std::string& host, const std::string& path) const;

  TestMarketplace& market_;
  const std::int32_t top_;
  mutable std::mutex mutex_;
  std::int32_t newest_;
  // Shops opened above the top, and shops of DemoShop that changed, as they are now.
  std::map<std::int32_t, pages::Shop> living_;
  std::set<std::int32_t> closed_;
  std::vector<pages::Shop> openings_;
  std::vector<Change> changes_;
  pages::PageChange pageChange_;
};

}  // namespace shopwalk::test
