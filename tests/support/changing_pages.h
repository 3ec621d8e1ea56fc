// The synthetic marketplace (pages::DemoShop) served by a test marketplace, with a page change
// the test switches on and off while a walk goes on: a layout change, a verification page, a
// switch to UTF-8, a reworded notice, the notice on every page (pages::PageChange). The shops
// stay those of DemoShop whatever the pages say, so a test checks a walk's list against Truth.
//
// Safe from any thread: a change applies to every request read after Change or Revert returns.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "tests/support/shop_pages.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk::test {

class ChangingPages {
 public:
  // Serves the synthetic marketplace through `market`'s fallback generator; `market` must
  // outlive this object, which takes the generator away again when it goes.
  explicit ChangingPages(TestMarketplace& market);
  ~ChangingPages();
  ChangingPages(const ChangingPages&) = delete;
  ChangingPages& operator=(const ChangingPages&) = delete;

  void Change(const pages::PageChange& change);
  // The pages read as before again (the markers were fixed).
  void Revert() { Change({}); }
  pages::PageChange Current() const;

  // The shops of IDs `first` to `last` that make a row with the built-in markers, by ID: what
  // a walk over that range lists once the pages read as before.
  static std::map<std::int32_t, pages::Shop> Truth(std::int32_t first, std::int32_t last);

 private:
  TestMarketplace& market_;
  mutable std::mutex mutex_;
  pages::PageChange change_;
};

}  // namespace shopwalk::test
