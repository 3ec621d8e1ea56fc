#include "tests/support/page_repairs.h"

namespace shopwalk::test {
namespace {

// The home page's new markup: the name and the messenger in attributes (the rating link is still
// the rating page's address). A lone double quote is written quoted, with its escape.
constexpr const char* HomeLayoutMarkers =
    "Shop_Name_Left=data-shop=\"\n"
    "Shop_Name_Right=\"\\\"\"\n"
    "Messenger_Left=data-nick=\"\n"
    "Messenger_Right=\"\\\"\"\n";
constexpr const char* RatingLayoutMarkers =
    "Opening_Date_Left=data-start=\"\n"
    "Opening_Date_Right=\"\\\"\"\n"
    "Reputation_Left=data-credit=\"\n"
    "Reputation_Right=\"\\\"\"\n";

}  // namespace

std::vector<PageRepair> PageRepairs(std::int32_t fromId) {
  using Kind = pages::PageChange::Kind;
  return {
      {{Kind::Layout, fromId, true, false}, "HomeLayout", HomeLayoutMarkers},
      {{Kind::Layout, fromId, true, true},
       "HomeAndRatingLayout",
       std::string(HomeLayoutMarkers) + RatingLayoutMarkers},
      {{Kind::Verification, fromId}, "Verification", ""},
      {{Kind::Utf8, fromId}, "Utf8", "Encoding=UTF-8\n"},
      {{Kind::RewordedNotice, fromId}, "RewordedNotice", "No_Shop_Notice=不存在或已关闭\n"},
  };
}

pages::PageChange EveryPage(pages::PageChange change) {
  change.fromId = 0;
  return change;
}

}  // namespace shopwalk::test
