// The cases every results store honours, run against each backend: an SQLite file, and a
// PostgreSQL database on a server of the suite's own. Rows, answers, places, failures, runs,
// recovery after closing, reads that fail, the bound on what waits to be written, and kept pages.
// What one backend does not offer is named where it is left out, with why.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "results/page_packer.h"
#include "results/pg/pg.h"
#include "results/pg/pg_store.h"
#include "results/sqlite/sqlite.h"
#include "results/sqlite/sqlite_store.h"
#include "results/store.h"
#include "tests/results/pg_test_support.h"
#include "tests/results/store_test_support.h"
#include "tests/support/manual_clock.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/shop_pages.h"

namespace shopwalk {
namespace {

using test::AllRows;
using test::IdsOf;
using test::RecordText;
using test::RecordTexts;
using test::SampleRecord;

// A kept page as read back: its place and its unpacked bytes (or why it would not unpack).
struct ReadPage {
  std::int32_t shopId = 0;
  PageKind kind = PageKind::Home;
  std::uint32_t dictionaryId = 0;
  std::size_t pageBytes = 0;
  std::string page;
  bool operator==(const ReadPage&) const = default;
};
void PrintTo(const ReadPage& page, std::ostream* out) {
  *out << "{shop " << page.shopId << ", kind " << static_cast<int>(page.kind) << ", dictionary "
       << page.dictionaryId << ", " << page.pageBytes << " bytes, read " << page.page.size() << "}";
}

std::vector<ReadPage> KeptPagesOf(KeptPageStore& store, std::int32_t from, std::int32_t to) {
  std::vector<ReadPage> read;
  const auto visited =
      store.ForEachKeptPage(from, to, [&](const PackedPage& packed, const PageDictionary* dict) {
        if (packed.dictionaryId != 0) {
          EXPECT_NE(dict, nullptr) << packed.shopId;
          if (dict != nullptr) {
            EXPECT_EQ(dict->id, packed.dictionaryId);
          }
        }
        auto page = UnpackPage(packed, dict);
        read.push_back({packed.shopId, packed.kind, packed.dictionaryId, packed.pageBytes,
                        page ? *page : "unpacking failed: " + page.error().reason});
      });
  EXPECT_TRUE(visited) << visited.error().reason;
  return read;
}

// A packed page of `packedBytes` bytes (not a zstd frame: the budget only counts them).
PackedPage PageOfSize(std::int32_t shopId, std::size_t packedBytes) {
  return PackedPage{shopId, PageKind::Home, 0, packedBytes, std::string(packedBytes, 'p')};
}

std::vector<std::int32_t> KeptShops(KeptPageStore& store) {
  std::vector<std::int32_t> shops;
  EXPECT_TRUE(store.ForEachKeptPage(0, 1000, [&](const PackedPage& page, const PageDictionary*) {
    shops.push_back(page.shopId);
  }));
  return shops;
}

constexpr auto Patience = std::chrono::seconds(60);

// A store file in a folder of the case's own.
class SqliteBackend {
 public:
  // A run left without its end comes back to be continued.
  static constexpr bool OffersInterruptedRuns = true;
  // Held writes fail (the file is locked) and are tried again, rather than wait.
  static constexpr bool HeldWritesFail = true;

  std::unique_ptr<ResultStore> Walking() { return test::WalkingStore(path_); }
  // Its times and waits on `clock`.
  std::unique_ptr<ResultStore> Walking(Clock& clock) {
    auto opened = SqliteStore::OpenForWalking(path_, clock);
    EXPECT_TRUE(opened) << opened.error().reason;
    return opened ? std::move(*opened) : nullptr;
  }
  std::unique_ptr<ResultStore> Reading() { return test::ReadingStore(path_); }
  // The store by its location, as the program opens it.
  Expected<StoreHandle, StoreProblem> Open(const StoreOptions& options) {
    return OpenStore(path_, StoreMode::Walking, options);
  }
  const std::string& Location() const { return path_; }
  // Every shop ID may be reported.
  void HandOut(ResultStore& /*store*/, std::int32_t /*last*/) {}
  void HandOut(const StoreHandle& /*store*/, std::int32_t /*last*/) {}

  // Another program holds the file's write lock until `Release`, as a long transaction would.
  class WriteHold {
   public:
    explicit WriteHold(const std::string& path) {
      EXPECT_TRUE(connection_.Open(path, sqlite::Connection::Access::ReadWriteCreate));
      EXPECT_TRUE(connection_.Execute("BEGIN EXCLUSIVE"));
    }
    void Release() { EXPECT_TRUE(connection_.Execute("ROLLBACK")); }

   private:
    sqlite::Connection connection_;
  };
  std::unique_ptr<WriteHold> HoldWrites() { return std::make_unique<WriteHold>(path_); }
  // Another program removes the table of rows.
  void DropRows() {
    sqlite::Connection connection;
    ASSERT_TRUE(connection.Open(path_, sqlite::Connection::Access::ReadWriteCreate));
    ASSERT_TRUE(connection.Execute("DROP TABLE shops"));
  }

 private:
  test::ScratchDirectory dir_;
  std::string path_ = dir_.File("results.db");
};

// A fresh database on the suite's server, walked as one node of a shared walk from shop ID 1.
class PgBackend {
 public:
  // Leases: a node that dies leaves no run to put back; its blocks are claimed again by lease
  // (see results/pg_store.h), so Interrupted offers none.
  static constexpr bool OffersInterruptedRuns = false;
  // Held writes wait for the lock.
  static constexpr bool HeldWritesFail = false;

  std::unique_ptr<ResultStore> Walking(Clock& clock = RealClock()) {
    results::WalkRequest request;
    request.from = 1;
    PgStoreSettings settings = test::QuickSettings();
    settings.blockSize = 100;
    return test::WalkingPgStore(uri_, request, settings, clock);
  }
  std::unique_ptr<ResultStore> Reading() {
    auto opening = PgStore::OpenForReading(uri_);
    EXPECT_TRUE(opening) << opening.error().reason;
    return std::move(*opening);
  }
  Expected<StoreHandle, StoreProblem> Open(StoreOptions options) {
    options.from = 1;
    options.blockSize = 100;
    return OpenStore(uri_, StoreMode::Walking, options);
  }
  std::string Location() const { return pg::RedactedUri(uri_); }
  void HandOut(const StoreHandle& store, std::int32_t last) {
    ASSERT_NE(store.Walk(), nullptr);
    HandOutFrom(*store.Walk(), last);
  }

  // Another session holds the table of answers locked until `Release`, as a long transaction
  // would: the node's writes wait for it.
  class WriteHold {
   public:
    explicit WriteHold(const std::string& uri) : connection_(test::Connect(uri)) {
      EXPECT_TRUE(connection_.Execute("BEGIN"));
      EXPECT_TRUE(connection_.Execute("LOCK TABLE shopwalk.outcomes IN ACCESS EXCLUSIVE MODE"));
    }
    void Release() { EXPECT_TRUE(connection_.Execute("ROLLBACK")); }

   private:
    pg::Connection connection_;
  };
  std::unique_ptr<WriteHold> HoldWrites() { return std::make_unique<WriteHold>(uri_); }
  void DropRows() {
    pg::Connection connection = test::Connect(uri_);
    ASSERT_TRUE(connection.Execute("DROP TABLE shopwalk.shops"));
  }
  // A node writes only what it was handed out: takes shop IDs 1 to `last` from the walk, as the
  // dispatcher would, without reporting them.
  void HandOut(ResultStore& store, std::int32_t last) {
    HandOutFrom(dynamic_cast<PgStore&>(store), last);
  }

 private:
  static void HandOutFrom(WorkSource& shared, std::int32_t last) {
    std::int32_t next = 1;
    const auto deadline = std::chrono::steady_clock::now() + Patience;
    while (next <= last && std::chrono::steady_clock::now() < deadline) {
      const WorkSource::Next given = shared.NextShop();
      if (given.kind == WorkSource::Next::Kind::Shop) {
        ASSERT_EQ(given.shopId, next);
        ++next;
      } else {
        ASSERT_NE(given.kind, WorkSource::Next::Kind::End);
        std::this_thread::yield();
      }
    }
    ASSERT_GT(next, last) << "the walk handed out too little in time";
  }

  std::string uri_ = test::FreshDatabase();
};

template <typename Backend>
class StoreContractTest : public ::testing::Test {
 protected:
  Backend backend_;
};

using Backends = ::testing::Types<SqliteBackend, PgBackend>;
class BackendNames {
 public:
  template <typename T>
  static std::string GetName(int /*index*/) {
    return std::is_same_v<T, SqliteBackend> ? "Sqlite" : "Pg";
  }
};
TYPED_TEST_SUITE(StoreContractTest, Backends, BackendNames);

TYPED_TEST(StoreContractTest, RowsComeBackByteForByteOnePerShopWithItsLatestValues) {
  auto store = this->backend_.Walking();
  ASSERT_NE(store, nullptr);
  this->backend_.HandOut(*store, 6);
  store->RowAppended(SampleRecord(5));
  store->RowAppended(SampleRecord(2));
  store->RowAppended(SampleRecord(3, "old"));
  store->RowAppended(SampleRecord(3, "new"));
  ASSERT_TRUE(store->Flush(Patience));

  const std::vector<ShopRecord> rows = AllRows(*store);
  EXPECT_EQ(IdsOf(rows), (std::vector<std::int32_t>{2, 3, 5}));
  EXPECT_EQ(RecordTexts(rows),
            RecordTexts({SampleRecord(2), SampleRecord(3, "new"), SampleRecord(5)}));
  EXPECT_EQ(store->Summary().value().rows, 3U);
}

TYPED_TEST(StoreContractTest, AnswersMarkTheWalkedRangeAndNeverRemoveARow) {
  auto store = this->backend_.Walking();
  ASSERT_NE(store, nullptr);
  this->backend_.HandOut(*store, 9);
  store->Answered(1, ShopOutcome::NoShop);
  store->RowAppended(SampleRecord(4));
  store->Answered(4, ShopOutcome::NoFields);
  store->Answered(9, ShopOutcome::NoFields);
  ASSERT_TRUE(store->Flush(Patience));

  const StoreSummary summary = store->Summary().value();
  EXPECT_EQ(summary.rows, 1U);
  EXPECT_EQ(summary.failed, 0U);
  EXPECT_EQ(summary.lowestWalked, 1);
  EXPECT_EQ(summary.highestWalked, 9);
  // The newest shop is the highest with a row, with when it was first seen.
  EXPECT_EQ(summary.newestShop, 4);
  EXPECT_TRUE(summary.newestFirstSeenUnixMs.has_value());
  EXPECT_EQ(IdsOf(AllRows(*store)), std::vector<std::int32_t>{4});
}

// A failure counts by its reason until the shop is answered or collected; an answer with any
// outcome but NoShop or NoFields is a failure without tries or reason.
TYPED_TEST(StoreContractTest, FailuresCountByReasonUntilAnsweredAndOtherOutcomesAreFailures) {
  auto store = this->backend_.Walking();
  ASSERT_NE(store, nullptr);
  this->backend_.HandOut(*store, 8);
  store->Failed(FailedShop{4, 3, "timed out"});
  store->Failed(FailedShop{5, 3, "timed out"});
  store->Failed(FailedShop{6, 1, "refused"});
  store->Failed(FailedShop{7, 2, "timed out"});
  store->Answered(5, ShopOutcome::NoShop);
  store->RowAppended(SampleRecord(7));
  store->Answered(8, ShopOutcome::Failed);
  ASSERT_TRUE(store->Flush(Patience));

  const StoreSummary summary = store->Summary().value();
  EXPECT_EQ(summary.failed, 3U);
  const std::vector<std::pair<std::string, std::size_t>> reasons = {
      {"", 1}, {"refused", 1}, {"timed out", 1}};
  EXPECT_EQ(summary.failureReasons, reasons);
  EXPECT_EQ(summary.rows, 1U);
}

TYPED_TEST(StoreContractTest, APlaceIsARunsAndDurableOnceWritten) {
  auto store = this->backend_.Walking();
  ASSERT_NE(store, nullptr);
  // Outside a run a place is not kept.
  store->PlaceMoved("7");
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_FALSE(store->DurablePlace().has_value());
  EXPECT_FALSE(store->LastPlace(RunKind::Window).value().has_value());

  store->BeginRun(RunKind::Window, "10");
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(store->DurablePlace(), "10");
  store->PlaceMoved("12");
  store->PlaceMoved("15");
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(store->DurablePlace(), "15");
  EXPECT_EQ(store->LastPlace(RunKind::Window).value(), "15");

  store->EndRun(true);
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(store->LastPlace(RunKind::Window).value(), "15");
  EXPECT_EQ(store->Summary().value().runs, 1U);
  EXPECT_FALSE(store->Interrupted(RunKind::Window).value().has_value());
}

TYPED_TEST(StoreContractTest, ARunWithoutItsEndIsInterruptedWhereTheBackendOffersIt) {
  auto store = this->backend_.Walking();
  ASSERT_NE(store, nullptr);
  this->backend_.HandOut(*store, 3);
  store->BeginRun(RunKind::Window, "0");
  store->RowAppended(SampleRecord(2));
  store->RowAppended(SampleRecord(1));
  store->PlaceMoved("3");
  ASSERT_TRUE(store->Flush(Patience));
  store.reset();

  auto reading = this->backend_.Reading();
  ASSERT_NE(reading, nullptr);
  EXPECT_EQ(reading->LastPlace(RunKind::Window).value(), "3");
  const std::optional<InterruptedRun> interrupted = reading->Interrupted(RunKind::Window).value();
  if constexpr (TypeParam::OffersInterruptedRuns) {
    ASSERT_TRUE(interrupted.has_value());
    EXPECT_EQ(interrupted->place, "3");
    EXPECT_EQ(IdsOf(interrupted->rows), (std::vector<std::int32_t>{2, 1}));
  } else {
    EXPECT_FALSE(interrupted.has_value());
  }
}

// Closing writes what was reported without a flush; a store opened afterwards finds it all, and
// refuses reports while opened for reading.
TYPED_TEST(StoreContractTest, ClosingWritesWhatWaitsAndAReaderFindsIt) {
  {
    auto store = this->backend_.Walking();
    ASSERT_NE(store, nullptr);
    this->backend_.HandOut(*store, 5);
    store->BeginRun(RunKind::Window, "0");
    store->RowAppended(SampleRecord(1));
    store->Answered(2, ShopOutcome::NoShop);
    store->Failed(FailedShop{3, 2, "reset"});
    store->RowAppended(SampleRecord(5, "x"));
    store->PlaceMoved("5");
  }
  auto reading = this->backend_.Reading();
  ASSERT_NE(reading, nullptr);
  const StoreSummary summary = reading->Summary().value();
  EXPECT_EQ(summary.rows, 2U);
  EXPECT_EQ(summary.failed, 1U);
  EXPECT_EQ(summary.lowestWalked, 1);
  EXPECT_EQ(summary.highestWalked, 5);
  EXPECT_EQ(RecordTexts(AllRows(*reading)), RecordTexts({SampleRecord(1), SampleRecord(5, "x")}));
  EXPECT_EQ(reading->LastPlace(RunKind::Window).value(), "5");

  test::StoreWatcher watcher(*reading);
  reading->RowAppended(SampleRecord(9));
  EXPECT_TRUE(watcher.WaitForTrouble(StoreProblem::Kind::NotWritable));
  EXPECT_FALSE(reading->Flush(Patience));
  EXPECT_EQ(reading->Summary().value().rows, 2U);
}

// A read that fails says why; it never answers as if the store were empty.
TYPED_TEST(StoreContractTest, ReadsThatFailReturnTheProblemNotAnEmptyAnswer) {
  {
    auto store = this->backend_.Walking();
    ASSERT_NE(store, nullptr);
    this->backend_.HandOut(*store, 3);
    store->BeginRun(RunKind::Window, "0");
    store->RowAppended(SampleRecord(1));
    store->Failed(FailedShop{2, 4, "reset"});
    store->RowAppended(SampleRecord(3));
    store->PlaceMoved("3");
  }
  auto reading = this->backend_.Reading();
  ASSERT_NE(reading, nullptr);
  const auto failed = reading->ReadFailedShops();
  ASSERT_TRUE(failed) << failed.error().reason;
  ASSERT_EQ(failed->size(), 1U);
  EXPECT_EQ((*failed)[0].shopId, 2);
  EXPECT_EQ((*failed)[0].attempts, 4);
  EXPECT_EQ((*failed)[0].reason, "reset");

  this->backend_.DropRows();
  std::size_t visited = 0;
  const auto rows = reading->ForEachRow([&](const ShopRecord&) { ++visited; });
  ASSERT_FALSE(rows);
  EXPECT_EQ(visited, 0U);
  EXPECT_EQ(rows.error().path, this->backend_.Location());
  EXPECT_NE(rows.error().reason.find("shops"), std::string::npos) << rows.error().reason;
  const auto summary = reading->Summary();
  ASSERT_FALSE(summary);
  EXPECT_NE(summary.error().reason.find("shops"), std::string::npos) << summary.error().reason;
  // What does not need the rows still reads.
  EXPECT_EQ(reading->LastPlace(RunKind::Window).value(), "3");
}

// Opened with a small bound, the store holds the walk (Congested) once that many reports wait to
// be written, not before; reports that come anyway are kept, and all of them land once writing
// goes on.
TYPED_TEST(StoreContractTest, ReportsUpToTheBoundHoldTheWalkAndAllLandOnceWritesGoOn) {
  constexpr std::int32_t Bound = 5;
  StoreOptions options;
  options.maxWaitingReports = Bound;
  auto opened = this->backend_.Open(options);
  ASSERT_TRUE(opened) << opened.error().reason;
  const StoreHandle& store = *opened;
  this->backend_.HandOut(store, 2 * Bound);
  StoreSink& sink = store.Sink();
  ASSERT_TRUE(sink.Flush(Patience));
  ASSERT_FALSE(sink.Congested());

  auto hold = this->backend_.HoldWrites();
  for (std::int32_t id = 1; id < Bound; ++id) {
    sink.Answered(id, ShopOutcome::NoShop);
    EXPECT_FALSE(sink.Congested()) << id << " reports wait";
  }
  sink.Answered(Bound, ShopOutcome::NoShop);
  EXPECT_TRUE(sink.Congested());
  for (std::int32_t id = Bound + 1; id <= 2 * Bound; ++id) sink.Answered(id, ShopOutcome::NoShop);
  EXPECT_TRUE(sink.Congested());
  EXPECT_EQ(sink.Backlog().reports, 2U * Bound);
  hold->Release();

  ASSERT_TRUE(sink.Flush(Patience));
  EXPECT_FALSE(sink.Congested());
  const StoreSummary summary = store.Reader().Summary().value();
  EXPECT_EQ(summary.lowestWalked, 1);
  EXPECT_EQ(summary.highestWalked, 2 * Bound);
}

// A shop marked to revisit is listed apart from the failed shops, in the order of marking, until a
// row, an answer or a failure for it comes; a mark replaces the shop's answer or failure, and
// outlives the store's closing.
TYPED_TEST(StoreContractTest, AMarkToRevisitStaysApartUntilARowAnAnswerOrAFailureComes) {
  {
    auto store = this->backend_.Walking();
    ASSERT_NE(store, nullptr);
    this->backend_.HandOut(*store, 9);
    store->Answered(1, ShopOutcome::NoFields);
    store->Failed(FailedShop{2, 3, "timed out"});
    store->Answered(3, ShopOutcome::NoShop);
    for (std::int32_t id : {3, 1, 2, 4, 5, 6, 7, 8, 8}) store->ToRevisit(id);
    store->RowAppended(SampleRecord(5));
    store->Answered(6, ShopOutcome::NoShop);
    store->Failed(FailedShop{7, 1, "reset"});
    store->ToRevisit(9);
    store->Answered(9, ShopOutcome::NoFields);
    ASSERT_TRUE(store->Flush(Patience));
    EXPECT_EQ(store->ShopsToRevisit(), (std::vector<std::int32_t>{3, 1, 2, 4, 8}));
    const StoreSummary summary = store->Summary().value();
    EXPECT_EQ(summary.failed, 1u);
    EXPECT_EQ(summary.failureReasons,
              (std::vector<std::pair<std::string, std::size_t>>{{"reset", 1}}));
    EXPECT_EQ(summary.rows, 1u);
    const std::vector<FailedShop> failed = store->ReadFailedShops().value();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].shopId, 7);
  }
  auto reading = this->backend_.Reading();
  ASSERT_NE(reading, nullptr);
  EXPECT_EQ(reading->ShopsToRevisit(), (std::vector<std::int32_t>{3, 1, 2, 4, 8}));
}

// What the rows and answers on record say of the pages, for the page-match guard's share seen
// before: counted at or below the highest row (above it the notice is the top of the marketplace);
// a rating page that gave neither date nor reputation left a row with reputation "0" or none and
// no date; shops marked to revisit and failed shops count for nothing.
TYPED_TEST(StoreContractTest, ThePageHistoryCountsRowsAndAnswersUpToTheHighestRow) {
  auto store = this->backend_.Walking();
  ASSERT_NE(store, nullptr);
  this->backend_.HandOut(*store, 30);
  EXPECT_EQ(store->PageHistory().highestShopId, std::nullopt);
  auto row = [](std::int32_t id, std::string reputation, std::string date) {
    ShopRecord record = SampleRecord(id);
    record.reputation = std::move(reputation);
    record.openingDate = std::move(date);
    return record;
  };
  store->RowAppended(row(2, "15", "2019-04-01"));
  store->RowAppended(row(5, "0", ""));
  store->RowAppended(row(9, "", ""));
  store->RowAppended(row(12, "0", "2020-01-01"));
  store->RowAppended(row(20, "88", ""));
  for (std::int32_t id : {1, 3, 4, 13, 25, 26}) store->Answered(id, ShopOutcome::NoFields);
  for (std::int32_t id : {6, 7, 8, 14, 15, 21, 22, 23}) store->Answered(id, ShopOutcome::NoShop);
  store->Failed(FailedShop{10, 3, "timed out"});
  store->Answered(11, ShopOutcome::NoFields);
  store->ToRevisit(11);
  ASSERT_TRUE(store->Flush(Patience));

  const PageMatchHistory history = store->PageHistory();
  EXPECT_EQ(history.highestShopId, 20);
  EXPECT_EQ(history.rows, 5);
  EXPECT_EQ(history.ratingEmpty, 2);
  EXPECT_EQ(history.noFields, 4);
  EXPECT_EQ(history.withoutNotice, 9);
  EXPECT_EQ(history.noShopBelowHighest, 5);
  EXPECT_EQ(history.belowHighest, 14);

  // The latest answers, for the next run's guard: in rising ID order, above the highest shop
  // marked to revisit (11), each row with whether its rating page gave nothing.
  std::vector<std::tuple<std::int32_t, HomeAnswer, bool>> latest;
  for (const PageMatchHistory::LatestAnswer& answer : history.latest) {
    latest.emplace_back(answer.shopId, answer.answer, answer.ratingEmpty);
  }
  using A = HomeAnswer;
  const std::vector<std::tuple<std::int32_t, HomeAnswer, bool>> expected = {
      {12, A::Row, false},     {13, A::NoFields, false}, {14, A::NoShop, false},
      {15, A::NoShop, false},  {20, A::Row, false},      {21, A::NoShop, false},
      {22, A::NoShop, false},  {23, A::NoShop, false},   {25, A::NoFields, false},
      {26, A::NoFields, false}};
  EXPECT_EQ(latest, expected);
}

// Pages packed with a dictionary and without one come back in shop-ID order (the home page before
// the rating page), each with its dictionary, and unpack to the bytes kept; a page kept again
// replaces the shop's page of its kind. Each walk takes a dictionary id of its own.
TYPED_TEST(StoreContractTest, KeptPagesComeBackInShopOrderWithTheirDictionaryAndWhole) {
  auto store = this->backend_.Walking();
  ASSERT_NE(store, nullptr);
  this->backend_.HandOut(*store, 40);
  const std::uint32_t dictionaryId = store->NewDictionaryId().value();
  const std::uint32_t nextId = store->NewDictionaryId().value();
  EXPECT_NE(dictionaryId, 0u);
  EXPECT_NE(nextId, 0u);
  EXPECT_NE(dictionaryId, nextId);

  // Shops 1 to 30 with their home pages, the even ones with their rating pages too.
  std::vector<ReadPage> expected;
  PagePacker packer(dictionaryId, 20);
  std::vector<PackedPage> packed;
  std::int32_t shopId = 0;
  for (std::int32_t demo = 1; shopId < 30; ++demo) {
    const auto shop = pages::DemoShop(demo);
    if (!shop) continue;
    ++shopId;
    const std::string home = pages::HomePage(*shop);
    for (PackedPage& page : packer.Add(shopId, PageKind::Home, home)) {
      packed.push_back(std::move(page));
    }
    expected.push_back({shopId, PageKind::Home, dictionaryId, home.size(), home});
    if (shopId % 2 == 0) {
      const std::string rating = pages::RatingPage(*shop);
      for (PackedPage& page : packer.Add(shopId, PageKind::Rating, rating)) {
        packed.push_back(std::move(page));
      }
      expected.push_back({shopId, PageKind::Rating, dictionaryId, rating.size(), rating});
    }
  }
  ASSERT_TRUE(packer.Dictionary().has_value());
  store->KeepDictionary(*packer.Dictionary());
  // Kept out of order: they are read back by shop.
  std::reverse(packed.begin(), packed.end());
  for (const PackedPage& page : packed) store->KeepPage(page);
  // Shop 3's home page again, this time without a dictionary (one page trains none).
  PagePacker plain(nextId, 1);
  const auto shop3 = std::find_if(expected.begin(), expected.end(), [](const ReadPage& page) {
    return page.shopId == 3 && page.kind == PageKind::Home;
  });
  ASSERT_NE(shop3, expected.end());
  const std::string again = shop3->page + "<!-- again -->";
  const std::vector<PackedPage> replacing = plain.Add(3, PageKind::Home, again);
  ASSERT_EQ(replacing.size(), 1u);
  EXPECT_EQ(replacing[0].dictionaryId, 0u);
  store->KeepPage(replacing[0]);
  *shop3 = {3, PageKind::Home, 0, again.size(), again};
  ASSERT_TRUE(store->Flush(Patience));

  const std::vector<ReadPage> read = KeptPagesOf(*store, 1, 40);
  EXPECT_EQ(read, expected);
  // Shops 5 to 8 alone.
  const std::vector<ReadPage> some = KeptPagesOf(*store, 5, 8);
  EXPECT_EQ(some, std::vector<ReadPage>(expected.begin() + 6, expected.begin() + 12));

  const KeptPagesSummary summary = store->KeptPages().value();
  EXPECT_EQ(summary.pages, expected.size());
  std::uint64_t pageBytes = 0, packedBytes = replacing[0].bytes.size();
  for (const ReadPage& page : expected) pageBytes += page.page.size();
  for (const PackedPage& page : packed) {
    if (!(page.shopId == 3 && page.kind == PageKind::Home)) packedBytes += page.bytes.size();
  }
  EXPECT_EQ(summary.pageBytes, pageBytes);
  EXPECT_EQ(summary.packedBytes, packedBytes);
  EXPECT_EQ(summary.dropped, 0u);
  store.reset();

  // A store opened for reading reads them and gives no dictionary id.
  auto reading = this->backend_.Reading();
  ASSERT_NE(reading, nullptr);
  EXPECT_EQ(KeptPagesOf(*reading, 1, 40), expected);
  const auto refused = reading->NewDictionaryId();
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, StoreProblem::Kind::NotWritable);
}

// Within a budget the oldest kept pages are dropped first, and counted; a page kept again counts
// once and becomes the newest; a page larger than the whole budget is kept alone.
TYPED_TEST(StoreContractTest, TheBudgetDropsTheOldestKeptPagesFirstAndCountsThem) {
  auto store = this->backend_.Walking();
  ASSERT_NE(store, nullptr);
  this->backend_.HandOut(*store, 10);
  store->SetKeptPagesBudget(450);
  for (std::int32_t id = 1; id <= 4; ++id) store->KeepPage(PageOfSize(id, 100));
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(KeptShops(*store), (std::vector<std::int32_t>{1, 2, 3, 4}));

  store->KeepPage(PageOfSize(1, 100));
  store->KeepPage(PageOfSize(5, 100));
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(KeptShops(*store), (std::vector<std::int32_t>{1, 3, 4, 5}));
  KeptPagesSummary summary = store->KeptPages().value();
  EXPECT_EQ(summary.pages, 4u);
  EXPECT_EQ(summary.packedBytes, 400u);
  EXPECT_EQ(summary.dropped, 1u);

  store->KeepPage(PageOfSize(6, 1000));
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(KeptShops(*store), std::vector<std::int32_t>{6});
  summary = store->KeptPages().value();
  EXPECT_EQ(summary.packedBytes, 1000u);
  EXPECT_EQ(summary.dropped, 5u);

  // Without a budget nothing more is dropped.
  store->SetKeptPagesBudget(0);
  for (std::int32_t id = 7; id <= 10; ++id) store->KeepPage(PageOfSize(id, 100));
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(KeptShops(*store), (std::vector<std::int32_t>{6, 7, 8, 9, 10}));
  EXPECT_EQ(store->KeptPages().value().dropped, 5u);
}

// While writes cannot go on, kept pages and their dictionary wait with the other reports, in
// order; they all land once writing goes on.
TYPED_TEST(StoreContractTest, KeptPagesWaitWhileWritesCannotGoOnAndLandAfterwards) {
  auto store = this->backend_.Walking();
  ASSERT_NE(store, nullptr);
  this->backend_.HandOut(*store, 3);
  test::StoreWatcher watcher(*store);
  auto hold = this->backend_.HoldWrites();
  store->Answered(1, ShopOutcome::NoShop);
  store->KeepDictionary(PageDictionary{store->NewDictionaryId().value(), "dictionary"});
  store->KeepPage(PageOfSize(2, 10));
  store->RowAppended(SampleRecord(2));
  store->KeepPage(PageOfSize(3, 20));
  store->Answered(3, ShopOutcome::NoFields);
  if constexpr (TypeParam::HeldWritesFail) {
    ASSERT_TRUE(watcher.WaitForTrouble(StoreProblem::Kind::InUse));
  }
  EXPECT_EQ(store->Backlog().reports, 6u);
  hold->Release();

  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(store->Backlog().reports, 0u);
  EXPECT_EQ(KeptShops(*store), (std::vector<std::int32_t>{2, 3}));
  const KeptPagesSummary summary = store->KeptPages().value();
  EXPECT_EQ(summary.pages, 2u);
  EXPECT_EQ(summary.packedBytes, 30u);
  EXPECT_EQ(store->Summary().value().rows, 1u);
}

}  // namespace
}  // namespace shopwalk

namespace shopwalk {
namespace {

// What a reading by time gives: the shops' IDs with their times.
struct RowSince {
  std::int32_t shopId = 0;
  std::string name;
  std::int64_t firstSeen = 0, checked = 0, changed = 0;
  std::optional<std::int64_t> closed;
  bool operator==(const RowSince&) const = default;
};
void PrintTo(const RowSince& row, std::ostream* out) {
  *out << "{" << row.shopId << " " << row.name << " seen " << row.firstSeen << " checked "
       << row.checked << " changed " << row.changed << " closed "
       << (row.closed ? std::to_string(*row.closed) : "-") << "}";
}
std::vector<RowSince> RowsSinceOf(ShopHistoryReader& store, RowsSince kind, std::int64_t since) {
  std::vector<RowSince> rows;
  const auto read =
      store.ForEachRowSince(kind, since, [&](const ShopRecord& record, const ShopTimes& times) {
        rows.push_back({record.shopId, record.name, times.firstSeenMs, times.checkedMs,
                        times.changedMs, times.closedMs});
      });
  EXPECT_TRUE(read) << read.error().reason;
  return rows;
}
struct Change {
  std::int32_t shopId = 0;
  int field = 0;
  std::string before, after;
  std::int64_t at = 0;
  ChangeSource source = ChangeSource::Walk;
  bool operator==(const Change&) const = default;
};
void PrintTo(const Change& change, std::ostream* out) {
  *out << "{" << change.shopId << " field " << change.field << " " << change.before << " -> "
       << change.after << " at " << change.at << " by " << static_cast<int>(change.source) << "}";
}
std::vector<Change> ChangesSince(ShopHistoryReader& store, std::int64_t since) {
  std::vector<Change> changes;
  const auto read = store.ForEachChange(since, [&](const ShopChange& change) {
    changes.push_back({change.shopId, change.field, change.oldValue, change.newValue,
                       change.changedMs, change.source});
  });
  EXPECT_TRUE(read) << read.error().reason;
  return changes;
}
std::vector<std::int32_t> RefreshIds(const std::vector<ShopToRefresh>& shops) {
  std::vector<std::int32_t> ids;
  for (const ShopToRefresh& shop : shops) ids.push_back(shop.shopId);
  return ids;
}

// A list kept fresh: the shops due for a refresh come longest unchecked first; a listed shop that
// says "no such shop" is closed (once: a second closing keeps the first time), a row opens it
// again, and both are in the history beside the changed fields; the readings by time select new,
// changed and closed shops on the store's clock. A closing of a shop without a row records
// nothing.
TYPED_TEST(StoreContractTest, ClosingsReopeningsAndChangesAreReadBackByTime) {
  test::ManualClock clock;
  auto store = this->backend_.Walking(clock);
  ASSERT_NE(store, nullptr);
  this->backend_.HandOut(*store, 10);
  constexpr std::int64_t Hour = 3600000;
  const std::int64_t t0 = UnixMs(clock.CalendarNow());
  for (std::int32_t id = 1; id <= 4; ++id) store->RowAppended(SampleRecord(id));
  ASSERT_TRUE(store->Flush(Patience));

  clock.Advance(std::chrono::hours(1));
  store->SetChangeSource(ChangeSource::Refresh);
  const ShopRecord renamed = SampleRecord(2, "renamed");
  store->RowAppended(renamed);
  store->ShopClosed(3);
  ASSERT_TRUE(store->Flush(Patience));

  clock.Advance(std::chrono::hours(1));
  store->RowAppended(SampleRecord(3));  // open again, unchanged
  store->ShopClosed(4);
  store->ShopClosed(9);  // no row: nothing
  ASSERT_TRUE(store->Flush(Patience));
  clock.Advance(std::chrono::minutes(1));
  store->ShopClosed(4);  // closed still: checked now, closed when it closed
  store->SetChangeSource(ChangeSource::Walk);
  store->RowAppended(SampleRecord(5));
  ASSERT_TRUE(store->Flush(Patience));
  const std::int64_t t1 = t0 + Hour, t2 = t0 + 2 * Hour, t3 = t2 + 60000;

  // Longest unchecked first, up to the count; closed shops too, said so.
  const auto due = store->ShopsToRefresh(t3 + 1, std::nullopt);
  ASSERT_TRUE(due) << due.error().reason;
  EXPECT_EQ(RefreshIds(*due), (std::vector<std::int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(RefreshIds(store->ShopsToRefresh(t2, std::nullopt).value()),
            (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(RefreshIds(store->ShopsToRefresh(t3 + 1, 3).value()),
            (std::vector<std::int32_t>{1, 2, 3}));
  for (const ShopToRefresh& shop : *due) {
    EXPECT_EQ(shop.closed, shop.shopId == 4) << shop.shopId;
    EXPECT_EQ(shop.fieldsDigest,
              FieldsDigest(shop.shopId == 2 ? renamed : SampleRecord(shop.shopId)))
        << shop.shopId;
  }

  const std::string four = SampleRecord(4).name, five = SampleRecord(5).name;
  EXPECT_EQ(RowsSinceOf(*store, RowsSince::New, t1),
            (std::vector<RowSince>{{5, five, t3, t3, t3, std::nullopt}}));
  EXPECT_EQ(RowsSinceOf(*store, RowsSince::New, t0).size(), 5u);
  // A new shop is no changed one; a reopening alone changes no field.
  EXPECT_EQ(RowsSinceOf(*store, RowsSince::Changed, t0),
            (std::vector<RowSince>{{2, renamed.name, t0, t1, t1, std::nullopt}}));
  EXPECT_TRUE(RowsSinceOf(*store, RowsSince::Changed, t1 + 1).empty());
  EXPECT_EQ(RowsSinceOf(*store, RowsSince::Closed, t0),
            (std::vector<RowSince>{{4, four, t0, t3, t0, t2}}));
  EXPECT_TRUE(RowsSinceOf(*store, RowsSince::Closed, t2 + 1).empty());

  const std::string open(OpenValue), closed(ClosedValue);
  EXPECT_EQ(ChangesSince(*store, t1),
            (std::vector<Change>{
                {2, ShopNameColumn, SampleRecord(2).name, renamed.name, t1, ChangeSource::Refresh},
                {3, ClosedField, open, closed, t1, ChangeSource::Refresh},
                {3, ClosedField, closed, open, t2, ChangeSource::Refresh},
                {4, ClosedField, open, closed, t2, ChangeSource::Refresh},
            }));
  EXPECT_EQ(ChangesSince(*store, t2).size(), 2u);
  EXPECT_TRUE(ChangesSince(*store, t3 + 1).empty());
}

}  // namespace
}  // namespace shopwalk
