// A walk of shopwalk-cli across a change of the marketplace's pages: it ends with exit code 4
// and says why, and once the pages read as before the next walk into the same store lists every
// shop of the range, as the marketplace's truth says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/cli_fixture.h"
#include "tests/support/changing_pages.h"

namespace shopwalk::test {
namespace {

using pages::PageChange;
using Kind = PageChange::Kind;

class PageGuardCliTest : public CliTest, public ::testing::WithParamInterface<Kind> {};

TEST_P(PageGuardCliTest, AWalkAcrossAChangeExitsWithFourAndTheNextLosesNoShop) {
  ChangingPages changing(market);
  changing.Change({GetParam(), 5'300});
  const Finished held = Cli({"walk", "--from", "5000", "--to", "6000", "--rate", "0", "--db", db});
  ASSERT_EQ(held.code, 4) << held.errors;
  EXPECT_NE(held.errors.find("held: pages no longer match"), std::string::npos) << held.errors;
  // It held within the window: nothing near the end of the range was asked.
  const std::set<std::int32_t> asked = RequestedShopIds(market);
  ASSERT_FALSE(asked.empty());
  EXPECT_LT(*asked.rbegin(), 5'300 + 300);

  changing.Revert();
  const Finished next = Cli({"walk", "--to", "6000", "--rate", "0", "--db", db});
  ASSERT_EQ(next.code, 0) << next.errors;
  EXPECT_EQ(StoredShops(db), ShopsListedBetween(5000, 6000));
}

std::string KindName(const ::testing::TestParamInfo<Kind>& info) {
  switch (info.param) {
    case Kind::Verification:
      return "Verification";
    case Kind::Utf8:
      return "Utf8";
    case Kind::RewordedNotice:
      return "RewordedNotice";
    case Kind::Layout:
      return "HomeLayout";
    default:
      return "Other";
  }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, PageGuardCliTest,
                         ::testing::Values(Kind::Verification, Kind::Utf8, Kind::RewordedNotice,
                                           Kind::Layout),
                         KindName);

}  // namespace
}  // namespace shopwalk::test
