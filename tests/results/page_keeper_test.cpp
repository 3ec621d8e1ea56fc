// Pages kept as a walk answers them: every answered home and rating page comes back from the store
// byte for byte, with the dictionary reported before the first page packed with it, whether the
// run trains a dictionary or ends before it could; workers keep pages at once.
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "results/page_keeper.h"
#include "tests/collect/engine_fixture.h"
#include "tests/support/changing_pages.h"
#include "tests/support/memory_kept_pages.h"

namespace shopwalk::test {
namespace {

using Key = std::pair<std::int32_t, PageKind>;

// Every kept page unpacked, by shop and kind; a page that does not unpack fails the test.
std::map<Key, std::string> Unpacked(MemoryKeptPages& store) {
  std::map<Key, std::string> pages;
  const auto visited =
      store.ForEachKeptPage(0, std::numeric_limits<std::int32_t>::max(),
                            [&pages](const PackedPage& page, const PageDictionary* dictionary) {
                              const auto bytes = UnpackPage(page, dictionary);
                              if (!bytes) {
                                ADD_FAILURE() << page.shopId << ": " << bytes.error().reason;
                                return;
                              }
                              EXPECT_EQ(bytes->size(), page.pageBytes) << page.shopId;
                              pages[{page.shopId, page.kind}] = *bytes;
                            });
  EXPECT_TRUE(visited.has_value());
  return pages;
}

// The dictionary, when there is one, comes before every page packed with it, and once.
void ExpectDictionaryFirst(MemoryKeptPages& store) {
  std::set<std::uint32_t> dictionaries;
  for (const MemoryKeptPages::Report& report : store.Reports()) {
    if (report.dictionary) {
      EXPECT_TRUE(dictionaries.insert(report.dictionaryId).second) << "dictionary kept twice";
    } else if (report.dictionaryId != 0) {
      EXPECT_TRUE(dictionaries.contains(report.dictionaryId))
          << report.shopId << " was kept before its dictionary";
    }
  }
}

struct WalkCase {
  const char* name;
  std::int32_t shops;
  // Whether the run's pages give a dictionary (at the hundredth page, or at Finish when the run
  // ends before it with enough pages to train on).
  bool dictionary;
};

class PageKeeperWalkTest : public EngineTest, public ::testing::WithParamInterface<WalkCase> {
 protected:
  static constexpr std::int32_t Start = 5'000'000;
};

TEST_P(PageKeeperWalkTest, EveryAnsweredPageComesBackByteForByte) {
  const std::int32_t last = Start + GetParam().shops;
  ChangingPages served(market);
  MemoryKeptPages store;
  auto keeper = PageKeeper::Open(store);
  ASSERT_TRUE(keeper.has_value());
  collector.SetPace(std::chrono::milliseconds(0));
  collector.SetEnginePolicy(EnginePolicy::CommandLine(0));
  collector.SetPageSink(keeper->get());
  ui.SetShopIdText(std::to_string(Start));
  ui.SetThreadCountText("6");
  collector.SetLastShopId(last);
  collector.OnStartClicked();
  ASSERT_TRUE(WaitFor([&] { return collector.WalkEnded(); }));
  ASSERT_TRUE(EndRun());
  (*keeper)->Finish();
  (*keeper)->Finish();

  const std::map<Key, std::string> kept = Unpacked(store);
  ExpectDictionaryFirst(store);
  std::set<std::uint32_t> dictionaries;
  for (const MemoryKeptPages::Report& report : store.Reports()) {
    if (!report.dictionary) dictionaries.insert(report.dictionaryId);
  }
  EXPECT_EQ(dictionaries,
            std::set<std::uint32_t>{GetParam().dictionary ? (*keeper)->DictionaryId() : 0u});

  // Every home page of the range and the rating page of every shop that makes a row, as the
  // marketplace sent them (GBK bytes, the notice page of an ID without a shop too).
  for (std::int32_t id = Start + 1; id <= last; ++id) {
    const auto home = kept.find({id, PageKind::Home});
    ASSERT_NE(home, kept.end()) << id;
    EXPECT_EQ(home->second, pages::DemoPage(pages::ShopHost(id), "/").value_or("?")) << id;
    const std::optional<pages::Shop> shop = pages::DemoShop(id);
    const auto rating = kept.find({id, PageKind::Rating});
    if (shop && pages::MakesRow(*shop)) {
      ASSERT_NE(rating, kept.end()) << id;
    }
    if (rating != kept.end()) {
      ASSERT_TRUE(shop.has_value()) << id;
      EXPECT_EQ(rating->second,
                pages::DemoPage(pages::RatingHost(), pages::RatingPath(*shop)).value_or("?"))
          << id;
    }
  }
  for (const auto& [key, page] : kept) {
    EXPECT_GT(key.first, Start);
    EXPECT_LE(key.first, last);
  }
  const PageKeeper::Figures figures = (*keeper)->Kept();
  EXPECT_EQ(figures.pagesKept, figures.pagesAnswered);
  EXPECT_EQ(figures.pagesKept, kept.size());
}

INSTANTIATE_TEST_SUITE_P(Runs, PageKeeperWalkTest,
                         ::testing::Values(WalkCase{"Trained", 400, true},
                                           WalkCase{"EndsBeforeTraining", 30, true},
                                           WalkCase{"TooShortForADictionary", 3, false}),
                         [](const ::testing::TestParamInfo<WalkCase>& info) {
                           return std::string(info.param.name);
                         });

// Workers hand pages in at once, some while the dictionary is trained: each page is kept once,
// whole, and none is packed with a dictionary the store has not been told of.
TEST(PageKeeperTest, PagesFromManyThreadsAtOnceAreEachKeptWhole) {
  MemoryKeptPages store;
  auto keeper = PageKeeper::Open(store, {.trainingPages = 50});
  ASSERT_TRUE(keeper.has_value());
  constexpr int Threads = 4;
  constexpr std::int32_t PerThread = 60;
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([&keeper, t] {
      for (std::int32_t i = 0; i < PerThread; ++i) {
        const std::int32_t id = t * PerThread + i + 1;
        (*keeper)->PageAnswered(id, PageKind::Home,
                                pages::DemoPage(pages::ShopHost(id), "/").value());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  (*keeper)->Finish();
  ExpectDictionaryFirst(store);
  const std::map<Key, std::string> kept = Unpacked(store);
  ASSERT_EQ(kept.size(), static_cast<std::size_t>(Threads * PerThread));
  for (const auto& [key, page] : kept) {
    EXPECT_EQ(page, pages::DemoPage(pages::ShopHost(key.first), "/").value()) << key.first;
  }
  EXPECT_EQ(store.Reports().size(), kept.size() + 1);
}

// Large pages end the gathering early: memory stays bounded whatever the pages' size, and a store
// that cannot give a dictionary id gives no keeper.
TEST(PageKeeperTest, LargePagesEndTheGatheringAndAStoreWithoutIdsGivesNoKeeper) {
  MemoryKeptPages store;
  auto keeper = PageKeeper::Open(store, {.trainingPages = 100, .trainingBytes = 64 * 1024});
  ASSERT_TRUE(keeper.has_value());
  const std::string filler(8 * 1024, 'x');
  std::size_t reported = 0;
  for (std::int32_t id = 1; id <= 8; ++id) {
    (*keeper)->PageAnswered(id, PageKind::Home,
                            pages::DemoPage(pages::ShopHost(id), "/").value() + filler);
    reported = store.Reports().size();
  }
  // Eight pages of 8 KiB and more reach the 64 KiB: all were reported without Finish.
  EXPECT_GE(reported, 8u);
  EXPECT_EQ(Unpacked(store).size(), 8u);

  MemoryKeptPages failing;
  failing.FailNewDictionaryId(StoreProblem{StoreProblem::Kind::Full, "db", "disk full"});
  const auto none = PageKeeper::Open(failing);
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error().reason, "disk full");
}

}  // namespace
}  // namespace shopwalk::test
