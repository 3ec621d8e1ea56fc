// How a user repairs each change of the synthetic marketplace's pages (pages::PageChange): the
// markers.ini that cuts the changed pages again (a new layout, UTF-8, a reworded notice), or
// nothing to write when the marketplace itself goes back (a verification page).
#pragma once

#include <string>
#include <vector>

#include "tests/support/shop_pages.h"

namespace shopwalk::test {

struct PageRepair {
  // The change, its name for a test's name.
  pages::PageChange change;
  std::string name;
  // markers.ini's text (UTF-8) that fits the changed pages; empty: the change is taken back.
  std::string markersIni;
};

// One repair for each change kind a walk must hold on: a new layout of the home pages and of
// both kinds of pages, a verification page, UTF-8, a reworded notice. `fromId`: where the change
// begins.
std::vector<PageRepair> PageRepairs(std::int32_t fromId);

// `change` on the pages of every shop ID: how the marketplace serves its pages once it has
// changed them (a walk meets a change at the ID it was at; a shop below asked later meets it too).
pages::PageChange EveryPage(pages::PageChange change);

}  // namespace shopwalk::test
