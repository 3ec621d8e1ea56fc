// The page-match guard over the synthetic marketplace's pages, read with the engine's markers:
// it stays quiet over the normal mix of shops, absent shops and shops missing a field, and
// trips within its window after each kind of page change, naming every untrustworthy answer.
#include "collect/page_match_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "collect/markers.h"
#include "collect/text.h"
#include "tests/support/shop_pages.h"

namespace shopwalk {
namespace {

using pages::PageChange;
using Kind = PageChange::Kind;

// How the engine reads the pages of `shopId` under `change`, as its task reads them: the
// notice, the home page's markers, then the rating page's.
struct Reading {
  HomeAnswer answer = HomeAnswer::NoFields;
  bool ratingEmpty = false;
};
Reading Read(std::int32_t shopId, const PageChange& change) {
  const Markers& m = GetMarkers();
  const auto home = pages::ChangedDemoPage(pages::ShopHost(shopId), "/", change);
  if (!home) return {};
  if (FindText(home->body, m.noShopNotice) != -1) return {HomeAnswer::NoShop};
  if (TextBetween(home->body, m.messengerLeft, m.messengerRight).empty()) return {};
  const std::string token = TextBetween(home->body, m.ratingLinkPrefix, m.ratingTokenRight);
  if (token.empty()) return {};
  if (TextBetween(home->body, m.shopNameLeft, m.shopNameRight).empty()) return {};
  const auto rating = pages::ChangedDemoPage(pages::RatingHost(), "/user-rate-" + token, change);
  const std::string body = rating ? rating->body : std::string();
  const bool empty = TextBetween(body, m.openingDateLeft, m.openingDateRight).empty() &&
                     TextBetween(body, m.reputationLeft, m.reputationRight).empty();
  return {HomeAnswer::Row, empty};
}

// Walks IDs `first` to `last` through the guard; the first ID whose answer tripped it.
std::optional<std::int32_t> Walk(PageMatchGuard& guard, std::int32_t first, std::int32_t last,
                                 const PageChange& change) {
  for (std::int32_t id = first; id <= last; ++id) {
    const Reading reading = Read(id, change);
    if (guard.Answered(id, reading.answer, reading.ratingEmpty).tripped != PageMismatch::None) {
      return id;
    }
  }
  return std::nullopt;
}

// The store's history of a walk over IDs `first` to `last` of the marketplace under `change`
// (none: unchanged); with `latest`, its latest answers as a store gives them.
PageMatchHistory HistoryOf(std::int32_t first, std::int32_t last, const PageChange& change = {},
                           bool latest = false) {
  PageMatchHistory history;
  std::vector<std::pair<std::int32_t, HomeAnswer>> answers;
  for (std::int32_t id = first; id <= last; ++id) {
    const Reading reading = Read(id, change);
    answers.emplace_back(id, reading.answer);
    if (latest) history.latest.push_back({id, reading.answer, reading.ratingEmpty});
    if (reading.answer != HomeAnswer::NoShop) ++history.withoutNotice;
    if (reading.answer == HomeAnswer::NoFields) ++history.noFields;
    if (reading.answer == HomeAnswer::Row) {
      ++history.rows;
      if (reading.ratingEmpty) ++history.ratingEmpty;
      history.highestShopId = id;
    }
  }
  if (history.latest.size() > 200) {
    history.latest.erase(history.latest.begin(), history.latest.end() - 200);
  }
  for (const auto& [id, answer] : answers) {
    if (id > history.highestShopId.value_or(first - 1)) continue;
    ++history.belowHighest;
    if (answer == HomeAnswer::NoShop) ++history.noShopBelowHighest;
  }
  return history;
}

TEST(PageMatchGuardTest, NormalMixNeverTrips) {
  // Fresh, and with the history of an earlier walk, over stretches in several places.
  for (const std::int32_t start : {1, 1'000'000, 109'400'000}) {
    PageMatchGuard fresh;
    EXPECT_EQ(Walk(fresh, start, start + 20'000, {}), std::nullopt) << start;
    PageMatchGuard continued({}, HistoryOf(start - 5'000, start - 1));
    EXPECT_EQ(Walk(continued, start, start + 20'000, {}), std::nullopt) << start;
    EXPECT_TRUE(continued.Suspects().empty());
  }
}

struct ChangeCase {
  const char* name;
  PageChange change;
};

class ChangeKindTest : public ::testing::TestWithParam<ChangeCase> {};

// After a change at `at`, the guard trips within its window, and every answer of the changed
// IDs up to the trip and after it that gave no row (or a row without its rating page's fields)
// is among the suspects: none of them counts as final.
TEST_P(ChangeKindTest, TripsWithinWindowAndNamesEveryChangedAnswer) {
  constexpr std::int32_t Start = 2'000'000;
  constexpr std::int32_t At = Start + 3'000;
  PageChange change = GetParam().change;
  change.fromId = At;
  for (const bool withHistory : {false, true}) {
    SCOPED_TRACE(withHistory ? "with history" : "fresh");
    PageMatchGuard guard({},
                         withHistory ? HistoryOf(Start - 5'000, Start - 1) : PageMatchHistory{});
    const std::optional<std::int32_t> trippedAt = Walk(guard, Start, At + 1'000, change);
    ASSERT_TRUE(trippedAt.has_value());
    EXPECT_GE(*trippedAt, At);
    EXPECT_LT(*trippedAt - At, PageMatchLimits{}.window);
    // Answers after the trip are suspects too.
    for (std::int32_t id = *trippedAt + 1; id <= *trippedAt + 50; ++id) {
      const Reading reading = Read(id, change);
      const PageMatchGuard::Verdict verdict =
          guard.Answered(id, reading.answer, reading.ratingEmpty);
      EXPECT_EQ(verdict.tripped, PageMismatch::None);
      const std::vector<std::int32_t> now = guard.Suspects();
      EXPECT_EQ(verdict.suspect, std::find(now.begin(), now.end(), id) != now.end()) << id;
    }
    const std::vector<std::int32_t> list = guard.Suspects();
    const std::set<std::int32_t> suspects(list.begin(), list.end());
    for (std::int32_t id = At; id <= *trippedAt + 50; ++id) {
      const std::optional<pages::Shop> shop = pages::DemoShop(id);
      const Reading before = Read(id, {});
      const Reading after = Read(id, change);
      // What the change took away: a row, or the notice of an absent shop.
      const bool lost =
          (before.answer == HomeAnswer::Row &&
           (after.answer != HomeAnswer::Row || after.ratingEmpty != before.ratingEmpty)) ||
          (before.answer == HomeAnswer::NoShop && after.answer != HomeAnswer::NoShop);
      if (lost) {
        EXPECT_EQ(suspects.count(id), 1u) << id << (shop ? " shop" : " no shop");
      }
    }
  }
}

// A run cut off (killed, or stopped) after the change but before its guard tripped left its
// answers of the changed pages on record as if final. The next run's window starts with the
// store's latest answers: it trips on the change, and names those answers too.
TEST_P(ChangeKindTest, ARunCutOffAfterTheChangeLeavesItsAnswersToTheNextRunsWindow) {
  constexpr std::int32_t Start = 3'000'000;
  constexpr std::int32_t At = Start + 3'000;
  constexpr std::int32_t CutOff = At + 30;
  PageChange change = GetParam().change;
  change.fromId = At;
  {
    PageMatchGuard first({}, HistoryOf(Start - 5'000, Start - 1));
    ASSERT_FALSE(Walk(first, Start, CutOff, change).has_value()) << "tripped before the cut";
  }
  PageMatchGuard next({}, HistoryOf(Start - 5'000, CutOff, change, true));
  ASSERT_TRUE(Walk(next, CutOff + 1, At + 1'000, change).has_value());
  const std::vector<std::int32_t> list = next.Suspects();
  const std::set<std::int32_t> suspects(list.begin(), list.end());
  for (std::int32_t id = At; id <= CutOff; ++id) {
    const Reading before = Read(id, {});
    const Reading after = Read(id, change);
    const bool lost =
        (before.answer == HomeAnswer::Row &&
         (after.answer != HomeAnswer::Row || after.ratingEmpty != before.ratingEmpty)) ||
        (before.answer == HomeAnswer::NoShop && after.answer != HomeAnswer::NoShop);
    if (lost) {
      EXPECT_EQ(suspects.count(id), 1u) << id;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, ChangeKindTest,
    ::testing::Values(ChangeCase{"HomeLayout", {Kind::Layout, 0, true, false}},
                      ChangeCase{"RatingLayout", {Kind::Layout, 0, false, true}},
                      ChangeCase{"BothLayouts", {Kind::Layout, 0, true, true}},
                      ChangeCase{"Verification", {Kind::Verification}},
                      ChangeCase{"Utf8", {Kind::Utf8}},
                      ChangeCase{"RewordedNotice", {Kind::RewordedNotice}}),
    [](const ::testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.name); });

// The notice on every page: below the highest shop the store knows, a fault that trips the
// guard; above it (and in a fresh store), the top of the marketplace, walked as always.
TEST(PageMatchGuardTest, NoticeOnShopsTripsOnlyBelowTheHighestKnownShop) {
  const PageChange change{Kind::NoticeOnShops, 0};
  PageMatchGuard revisit({}, HistoryOf(3'000'000, 3'010'000));
  const std::optional<std::int32_t> trippedAt = Walk(revisit, 3'000'000, 3'001'000, change);
  ASSERT_TRUE(trippedAt.has_value());
  EXPECT_LT(*trippedAt - 3'000'000, PageMatchLimits{}.window);
  EXPECT_EQ(revisit.Tripped(), PageMismatch::NoticeOnShops);

  PageMatchGuard top({}, HistoryOf(3'000'000, 3'010'000));
  EXPECT_EQ(Walk(top, 3'010'001, 3'020'000, change), std::nullopt);
  PageMatchGuard fresh;
  EXPECT_EQ(Walk(fresh, 3'000'000, 3'010'000, change), std::nullopt);
}

// A share is judged against what was seen before: a marketplace where most pages never carried
// the fields does not trip the guard for being itself, while a jump beyond it does; a store's
// counts that cannot be true count as no history.
TEST(PageMatchGuardTest, JudgesAgainstTheShareSeenBefore) {
  PageMatchHistory mostlyEmpty;
  mostlyEmpty.withoutNotice = 10'000;
  mostlyEmpty.noFields = 6'000;
  PageMatchGuard guard({}, mostlyEmpty);
  for (std::int32_t id = 1; id <= 1'000; ++id) {
    // Nine in ten without fields: above the floor, within the rise.
    const HomeAnswer answer = id % 10 == 0 ? HomeAnswer::Row : HomeAnswer::NoFields;
    ASSERT_EQ(guard.Answered(id, answer).tripped, PageMismatch::None) << id;
  }
  EXPECT_TRUE(guard.Suspects().empty());

  PageMatchHistory impossible;
  impossible.withoutNotice = 100;
  impossible.noFields = 500;
  PageMatchGuard trusting({}, impossible);
  EXPECT_FALSE(trusting.ShareBefore().homeFields.has_value());
  std::optional<std::int32_t> tripped;
  for (std::int32_t id = 1; id <= 200 && !tripped; ++id) {
    if (trusting.Answered(id, HomeAnswer::NoFields).tripped != PageMismatch::None) tripped = id;
  }
  EXPECT_EQ(tripped, PageMatchLimits{}.window);
  EXPECT_EQ(trusting.Tripped(), PageMismatch::HomeFields);
}

// Shops asked again from the record are mostly those that gave no fields before: their answers
// never trip the guard, but are not trusted either once the guard trips on the walk's own pages.
TEST(PageMatchGuardTest, ShopsAskedAgainStayOutOfTheWindowUntilItTrips) {
  PageMatchGuard guard;
  for (std::int32_t id = 1; id <= 300; ++id) {
    ASSERT_EQ(guard.Answered(id, HomeAnswer::NoFields, false, true).tripped, PageMismatch::None);
  }
  EXPECT_FALSE(guard.WindowShares().homeFields.has_value());
  std::optional<std::int32_t> tripped;
  for (std::int32_t id = 1'000; id <= 1'300 && !tripped; ++id) {
    if (guard.Answered(id, HomeAnswer::NoFields).tripped != PageMismatch::None) tripped = id;
  }
  ASSERT_TRUE(tripped.has_value());
  const std::vector<std::int32_t> suspects = guard.Suspects();
  EXPECT_EQ(suspects.size(), 300u + static_cast<std::size_t>(*tripped - 1'000 + 1));
  EXPECT_TRUE(guard.Answered(5'000, HomeAnswer::NoFields, false, true).suspect);
}

TEST(PageMatchGuardTest, WindowOfZeroSwitchesItOff) {
  PageMatchLimits off;
  off.window = 0;
  PageMatchGuard guard(off);
  for (std::int32_t id = 1; id <= 1'000; ++id) {
    ASSERT_FALSE(guard.Answered(id, HomeAnswer::NoFields).suspect);
  }
  EXPECT_EQ(guard.Tripped(), PageMismatch::None);
}

}  // namespace
}  // namespace shopwalk
