// What the command line does with kept pages, against kept pages in memory: export --pages writes
// each page byte for byte under a name made of the shop ID alone and says clearly when its folder
// cannot take them; reparse cuts the rows again with fixed markers, writes only what is new or
// changed, never loses a row on record, and marks to revisit what still gives nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/kept_page_work.h"
#include "collect/page_cut.h"
#include "results/page_keeper.h"
#include "tests/support/memory_kept_pages.h"
#include "tests/support/memory_sink.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/shop_pages.h"
#include "tests/support/unprivileged.h"

namespace shopwalk::test {
namespace {

using pages::PageChange;
using Kind = PageChange::Kind;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The pages of shop `id` as the marketplace serves them under `change` (home, and rating when the
// shop has a rating page).
struct Served {
  std::string home;
  std::optional<std::string> rating;
};
Served ServedPages(std::int32_t id, const PageChange& change) {
  Served served;
  served.home = pages::ChangedDemoPage(pages::ShopHost(id), "/", change).value().body;
  if (const auto shop = pages::DemoShop(id); shop && shop->hasRatingLink) {
    served.rating =
        pages::ChangedDemoPage(pages::RatingHost(), pages::RatingPath(*shop), change).value().body;
  }
  return served;
}

// IDs of the synthetic marketplace from `from` on: the first `count` that make a row.
std::vector<std::int32_t> RowShops(std::int32_t from, std::size_t count) {
  std::vector<std::int32_t> ids;
  for (std::int32_t id = from; ids.size() < count; ++id) {
    if (const auto shop = pages::DemoShop(id);
        shop && pages::MakesRow(*shop) && shop->hasOpeningDate && !shop->reputation.empty()) {
      ids.push_back(id);
    }
  }
  return ids;
}
std::int32_t NoShopId(std::int32_t from) {
  while (pages::DemoShop(from)) ++from;
  return from;
}

// The row the walk makes of shop `id` with the built-in markers from its usual pages.
ShopRecord UsualRow(std::int32_t id) {
  const Served served = ServedPages(id, {});
  return RowOfCuts(id, CutHomePage(GetMarkers(), served.home),
                   CutRatingPage(GetMarkers(), served.rating.value_or("")));
}

Markers FixedMarkers(const std::string& ini) {
  auto parsed = ParseMarkersIni(ini);
  EXPECT_TRUE(parsed.has_value()) << (parsed ? "" : parsed.error().reason);
  return parsed ? parsed->markers : GetMarkers();
}

class KeptPagesTest : public ::testing::Test {
 protected:
  KeptPagesTest() : keeper(std::move(PageKeeper::Open(kept, {.trainingPages = 10}).value())) {}

  void Keep(std::int32_t id, const std::string& home, const std::optional<std::string>& rating) {
    keeper->PageAnswered(id, PageKind::Home, home);
    if (rating) keeper->PageAnswered(id, PageKind::Rating, *rating);
  }

  MemoryKeptPages kept;
  std::unique_ptr<PageKeeper> keeper;
  ScratchDirectory dir;
};

TEST_F(KeptPagesTest, ExportWritesEveryPageAsSentUnderItsShopIdAlone) {
  // Page text that would be a path, a control sequence or a NUL if it reached a name.
  const std::string hostile = std::string("../../etc/passwd\0\x1b[2J<title>/tmp/x</title>", 40);
  std::map<std::string, std::string> expected;
  for (std::int32_t id = 1; id <= 30; ++id) {
    const std::string home = hostile + std::to_string(id);
    const std::string rating = std::string(1, static_cast<char>(0xFF)) + std::to_string(id * 7);
    Keep(id, home, id % 3 == 0 ? std::optional<std::string>(rating) : std::nullopt);
    expected[std::to_string(id) + "-home.html"] = home;
    if (id % 3 == 0) expected[std::to_string(id) + "-rating.html"] = rating;
  }
  keeper->Finish();
  const std::string out = dir.File("pages");
  ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
  const auto written = WriteKeptPages(kept, out, {5, 12});
  ASSERT_TRUE(written.has_value()) << written.error().reason;
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(out)) {
    files[entry.path().filename().string()] = ReadWhole(entry.path().string());
  }
  std::map<std::string, std::string> inRange;
  for (std::int32_t id = 5; id <= 12; ++id) {
    for (const char* kind : {"-home.html", "-rating.html"}) {
      const auto it = expected.find(std::to_string(id) + kind);
      if (it != expected.end()) inRange.insert(*it);
    }
  }
  EXPECT_EQ(files, inRange);
  EXPECT_EQ(written->files, inRange.size());

  // Written again over the same folder: the files are replaced, not appended to.
  ASSERT_TRUE(WriteKeptPages(kept, out, {5, 12}).has_value());
  EXPECT_EQ(ReadWhole(out + "/6-rating.html"), expected["6-rating.html"]);
}

TEST_F(KeptPagesTest, AFolderThatCannotTakeThePagesIsAClearError) {
  Keep(42, "<html>42</html>", std::nullopt);
  keeper->Finish();
  const auto missing = WriteKeptPages(kept, dir.File("nowhere"));
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().path, dir.File("nowhere"));
  EXPECT_NE(missing.error().reason.find("No such file"), std::string::npos);

  const std::string file = dir.File("a-file");
  std::ofstream(file) << "x";
  const auto notFolder = WriteKeptPages(kept, file);
  ASSERT_FALSE(notFolder.has_value());
  EXPECT_EQ(notFolder.error().reason, "not a folder");

  // A link planted where a page goes is not followed: what it points at stays as it was.
  const std::string planted = dir.File("planted");
  ASSERT_EQ(::mkdir(planted.c_str(), 0755), 0);
  const std::string target = dir.File("target");
  std::ofstream(target) << "keep me";
  ASSERT_EQ(::symlink(target.c_str(), (planted + "/42-home.html").c_str()), 0);
  const auto linked = WriteKeptPages(kept, planted);
  ASSERT_FALSE(linked.has_value());
  EXPECT_EQ(linked.error().path, planted + "/42-home.html");
  EXPECT_EQ(ReadWhole(target), "keep me");

  // A folder the user may not write.
  const std::string locked = dir.File("locked");
  ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  RunUnprivileged([&] {
    const auto refused = WriteKeptPages(kept, locked);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().path, locked + "/42-home.html");
    EXPECT_NE(refused.error().reason.find("Permission denied"), std::string::npos);
  });
}

// After a change of the marketplace's pages the walk kept pages that gave nothing; with markers
// that fit the new pages a re-cut finds every shop again and touches nothing else.
TEST_F(KeptPagesTest, ReparseWithFixedMarkersFindsTheRowsAndLosesNone) {
  const std::vector<std::int32_t> shops = RowShops(9'000'000, 5);
  const std::int32_t absent = NoShopId(9'000'000);
  const std::int32_t walled = NoShopId(absent + 1);
  const std::int32_t before = NoShopId(walled + 1);
  const PageChange ratingLayout{Kind::Layout, 0, false, true};
  std::map<std::int32_t, ShopRecord> stored;
  // shops[0]: its rating page changed layout; the walk listed it with "0" and no date.
  {
    const Served served = ServedPages(shops[0], ratingLayout);
    Keep(shops[0], served.home, served.rating);
    ShopRecord row = UsualRow(shops[0]);
    row.reputation = "0";
    row.openingDate.clear();
    stored[shops[0]] = row;
  }
  // shops[1]: its usual pages, and its row on record as they give it.
  {
    const Served served = ServedPages(shops[1], {});
    Keep(shops[1], served.home, served.rating);
    stored[shops[1]] = UsualRow(shops[1]);
  }
  // shops[2]: changed rating layout, no row on record (the walk marked it to revisit).
  {
    const Served served = ServedPages(shops[2], ratingLayout);
    Keep(shops[2], served.home, served.rating);
  }
  // shops[3]: on record with its date; its kept rating page is a verification page now.
  {
    const Served served = ServedPages(shops[3], {});
    Keep(shops[3], served.home, ServedPages(walled, {Kind::Verification}).home);
    stored[shops[3]] = UsualRow(shops[3]);
  }
  // shops[4]: marked to revisit, its row on record as its pages give it.
  {
    const Served served = ServedPages(shops[4], ratingLayout);
    Keep(shops[4], served.home, served.rating);
    stored[shops[4]] = UsualRow(shops[4]);
  }
  // An ID without a shop whose notice was reworded, and a verification page for an ID.
  Keep(absent, ServedPages(absent, {Kind::RewordedNotice}).home, std::nullopt);
  Keep(walled, ServedPages(walled, {Kind::Verification}).home, std::nullopt);
  // A page of before the change that the fixed markers do not read, its answer not in doubt.
  Keep(before, ServedPages(walled, {Kind::Verification}).home, std::nullopt);
  keeper->Finish();

  MemorySink sink;
  sink.ToRevisit(shops[2]);
  sink.ToRevisit(shops[4]);
  sink.ToRevisit(walled);
  const Markers fixed = FixedMarkers(
      "Opening_Date_Left=\"data-start=\\\"\"\nOpening_Date_Right=\"\\\"\"\n"
      "Reputation_Left=\"data-credit=\\\"\"\nReputation_Right=\"\\\"\"\n"
      "No_Shop_Notice=不存在或已关闭\n");
  const auto figures = ReparseKeptPages(kept, stored, {shops[2], shops[4], walled}, sink, fixed);
  ASSERT_TRUE(figures.has_value());
  EXPECT_EQ(figures->added, 1u);
  EXPECT_EQ(figures->changed, 1u);
  EXPECT_EQ(figures->unchanged, 3u);
  EXPECT_EQ(figures->withoutRow, 2u);
  EXPECT_EQ(figures->toRevisit, 1u);
  EXPECT_EQ(figures->unreadable, 0u);

  std::map<std::int32_t, ShopRecord> rows;
  std::map<std::int32_t, ShopOutcome> answers;
  for (const MemorySink::Event& event : sink.Events()) {
    if (event.kind == MemorySink::Event::Kind::Row) rows[event.shopId] = *event.record;
    if (event.kind == MemorySink::Event::Kind::Answer) answers[event.shopId] = event.outcome;
  }
  // The changed and the new row as the usual pages give them; the marked shop's row written
  // again (its mark goes); nothing written for the unchanged row or over the row with a date.
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[shops[0]].openingDate, UsualRow(shops[0]).openingDate);
  EXPECT_EQ(rows[shops[0]].reputation, UsualRow(shops[0]).reputation);
  EXPECT_EQ(rows[shops[2]].openingDate, UsualRow(shops[2]).openingDate);
  EXPECT_EQ(rows[shops[2]].name, UsualRow(shops[2]).name);
  EXPECT_EQ(rows[shops[4]].openingDate, UsualRow(shops[4]).openingDate);
  EXPECT_EQ(answers, (std::map<std::int32_t, ShopOutcome>{{absent, ShopOutcome::NoShop}}));
  EXPECT_EQ(sink.ShopsToRevisit(), std::vector<std::int32_t>{walled});
}

// A kept page that does not unpack is counted, and the other shops are still cut.
TEST_F(KeptPagesTest, ReparseCountsPagesThatDoNotUnpackAndGoesOn) {
  const std::vector<std::int32_t> shops = RowShops(9'100'000, 2);
  for (const std::int32_t id : shops) {
    const Served served = ServedPages(id, {});
    Keep(id, served.home, served.rating);
  }
  keeper->Finish();
  // A damaged page, packed with a dictionary the store does not have.
  kept.KeepPage(PackedPage{shops[0] - 1, PageKind::Home, 999, 10, "garbage"});
  MemorySink sink;
  const auto figures = ReparseKeptPages(kept, {}, {}, sink, GetMarkers());
  ASSERT_TRUE(figures.has_value());
  EXPECT_EQ(figures->unreadable, 1u);
  EXPECT_EQ(figures->added, 2u);
}

// The walk's place may move over the IDs after it whose home pages were kept, up to the first ID
// without one (never answered, or its page dropped): the next walk asks from there.
TEST_F(KeptPagesTest, ThePlaceMovesOverTheIdsTheKeptPagesAnswerUpToTheFirstGap) {
  for (std::int32_t id = 100; id <= 110; ++id) {
    if (id == 106) continue;
    const Served served = ServedPages(id, {});
    // 103's rating page alone was kept: its home page went.
    if (id != 103) keeper->PageAnswered(id, PageKind::Home, served.home);
    if (served.rating) keeper->PageAnswered(id, PageKind::Rating, *served.rating);
  }
  keeper->Finish();
  MemorySink sink;
  const auto through = [&](std::optional<std::int32_t> place) {
    return ReparseKeptPages(kept, {}, {}, sink, GetMarkers(), {}, place).value().dealtThrough;
  };
  EXPECT_EQ(through(99), 102);
  EXPECT_EQ(through(103), 105);
  EXPECT_EQ(through(106), 110);
  EXPECT_EQ(through(110), std::nullopt);
  EXPECT_EQ(through(std::nullopt), std::nullopt);
}

// Above the walk's place an ID may have been left unanswered while its home page was kept (the
// walk held while the shop's task was under way), and that page may be of before the change the
// markers in force are for: what a marker still matches of it proves nothing, so such a shop is
// asked again. Up to the place every ID has its answer on record: no row is lost there.
TEST_F(KeptPagesTest, AnUnansweredShopAboveThePlaceIsAskedAgainUnlessItsPagesGiveARow) {
  const std::vector<std::int32_t> shops = RowShops(9'200'000, 3);
  const std::int32_t place = shops[0];
  // Old pages, home only: the shop's task had not fetched its rating page.
  for (const std::int32_t id : {shops[0], shops[1]}) Keep(id, ServedPages(id, {}).home, {});
  // Whole pages in the new encoding: a row.
  const Served utf8 = ServedPages(shops[2], {Kind::Utf8});
  Keep(shops[2], utf8.home, utf8.rating);
  keeper->Finish();

  MemorySink sink;
  const auto figures =
      ReparseKeptPages(kept, {}, {}, sink, FixedMarkers("Encoding=UTF-8\n"), {}, place);
  ASSERT_TRUE(figures.has_value());
  EXPECT_EQ(figures->added, 1u);
  EXPECT_EQ(figures->toRevisit, 1u);
  for (const MemorySink::Event& event : sink.Events()) {
    if (event.shopId <= place) continue;
    EXPECT_NE(event.kind, MemorySink::Event::Kind::Answer) << event.shopId << " answered for good";
  }
  EXPECT_EQ(sink.ShopsToRevisit(), std::vector<std::int32_t>{shops[1]});
}

}  // namespace
}  // namespace shopwalk::test
