// What the results store keeps: rows, answers, failed shops and runs, and how they come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <random>
#include <thread>

#include "results/sqlite/sqlite_store.h"
#include "tests/results/store_test_support.h"
#include "tests/support/scratch_directory.h"

namespace shopwalk {
namespace {

using test::AllRows;
using test::IdsOf;
using test::RecordText;
using test::RecordTexts;
using test::SampleRecord;
using test::ScratchDirectory;
using test::StoredRange;
using test::WalkingStore;

constexpr auto Patience = std::chrono::seconds(60);

TEST(StoreRecordsTest, RowsComeBackByteForByteAfterReopening) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  std::vector<ShopRecord> reported;
  for (std::int32_t id : {7, 109428413, 3, 2147483647, 1}) reported.push_back(SampleRecord(id));
  ShopRecord empty;
  empty.shopId = 12;
  reported.push_back(empty);
  ShopRecord large = SampleRecord(40, std::string(100000, '\x80'));
  reported.push_back(large);
  {
    auto store = WalkingStore(path);
    ASSERT_TRUE(store);
    store->BeginRun(RunKind::Window, "0");
    for (const ShopRecord& record : reported) store->RowAppended(record);
    // Read back through the walking copy before anything was flushed.
    auto run = store->Interrupted(RunKind::Window).value();
    ASSERT_TRUE(run);
    EXPECT_EQ(RecordTexts(run->rows), RecordTexts(reported));
  }
  auto store = WalkingStore(path);
  ASSERT_TRUE(store);
  auto run = store->Interrupted(RunKind::Window).value();
  ASSERT_TRUE(run);
  EXPECT_EQ(RecordTexts(run->rows), RecordTexts(reported));
  EXPECT_EQ(run->rows[5].name, "");
  EXPECT_EQ(run->rows[6].name.size(), large.name.size());

  std::vector<ShopRecord> byId = reported;
  std::sort(byId.begin(), byId.end(),
            [](const ShopRecord& a, const ShopRecord& b) { return a.shopId < b.shopId; });
  EXPECT_EQ(RecordTexts(AllRows(*store)), RecordTexts(byId));
}

TEST(StoreRecordsTest, AShopCollectedAgainKeepsOneRowWithItsLatestValues) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  auto store = WalkingStore(path);
  ASSERT_TRUE(store);
  store->BeginRun(RunKind::Window, "0");
  store->RowAppended(SampleRecord(5));
  store->RowAppended(SampleRecord(6));
  store->BeginRun(RunKind::Window, "0");
  ShopRecord again = SampleRecord(5, "again");
  again.reputation = "99";
  store->RowAppended(again);

  std::vector<ShopRecord> rows = AllRows(*store);
  ASSERT_EQ(IdsOf(rows), (std::vector<std::int32_t>{5, 6}));
  EXPECT_EQ(RecordText(rows[0]), RecordText(again));
  EXPECT_EQ(store->Summary().value().rows, 2u);
  // The row belongs to the run that collected it last; each run's list keeps its own order.
  EXPECT_EQ(test::ShopRuns(path),
            (std::vector<std::pair<std::int64_t, std::optional<std::int64_t>>>{{5, 2}, {6, 1}}));
  auto run = store->Interrupted(RunKind::Window).value();
  ASSERT_TRUE(run);
  EXPECT_EQ(run->runId, 2);
  EXPECT_EQ(IdsOf(run->rows), (std::vector<std::int32_t>{5}));
}

TEST(StoreRecordsTest, AnswersBecomeMergedRangesWhateverTheirOrder) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  auto store = WalkingStore(path);
  ASSERT_TRUE(store);
  // 1..100 with no shop, 101..150 without fields, in a shuffled order.
  std::vector<std::int32_t> ids(150);
  std::iota(ids.begin(), ids.end(), 1);
  std::shuffle(ids.begin(), ids.end(), std::mt19937(20240607));
  for (std::int32_t id : ids) {
    store->Answered(id, id <= 100 ? ShopOutcome::NoShop : ShopOutcome::NoFields);
  }
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(test::StoredRanges(path), (std::vector<StoredRange>{{1, 100, 1}, {101, 150, 2}}));

  // Another answer splits a range; a row takes its ID out; answering again merges them back.
  store->Answered(50, ShopOutcome::NoFields);
  store->RowAppended(SampleRecord(120));
  store->Answered(1, ShopOutcome::NoShop);
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(test::StoredRanges(path),
            (std::vector<StoredRange>{
                {1, 49, 1}, {50, 50, 2}, {51, 100, 1}, {101, 119, 2}, {121, 150, 2}}));
  store->Answered(50, ShopOutcome::NoShop);
  store->Answered(1, ShopOutcome::NoFields);
  store->Answered(151, ShopOutcome::NoFields);
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(test::StoredRanges(path),
            (std::vector<StoredRange>{{1, 1, 2}, {2, 100, 1}, {101, 119, 2}, {121, 151, 2}}));
  // The row stays when its ID is answered later: a collected row is never thrown away.
  store->Answered(120, ShopOutcome::NoFields);
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(test::StoredRanges(path),
            (std::vector<StoredRange>{{1, 1, 2}, {2, 100, 1}, {101, 151, 2}}));
  EXPECT_EQ(IdsOf(AllRows(*store)), (std::vector<std::int32_t>{120}));

  StoreSummary summary = store->Summary().value();
  EXPECT_EQ(summary.lowestWalked, 1);
  EXPECT_EQ(summary.highestWalked, 151);
}

TEST(StoreRecordsTest, FailedShopsComeOldestFirstUntilAnsweredOrCollected) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  {
    auto store = WalkingStore(path);
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->FailedShops().empty());
    store->Answered(3, ShopOutcome::NoShop);
    store->Failed({5, 6, "timed out"});
    store->Failed({3, 6, "refused"});
    store->Failed({9, 2, std::string("\xb3\xac\xca\xb1", 4)});
    store->Failed({5, 7, "timed out again"});
    std::vector<FailedShop> failed = store->FailedShops();
    ASSERT_EQ(failed.size(), 3u);
    EXPECT_EQ(failed[0].shopId, 3);
    EXPECT_EQ(failed[1].shopId, 9);
    EXPECT_EQ(failed[1].reason, std::string("\xb3\xac\xca\xb1", 4));
    EXPECT_EQ(failed[2].shopId, 5);
    EXPECT_EQ(failed[2].attempts, 7);
    EXPECT_EQ(failed[2].reason, "timed out again");
    // A failed ID leaves its answer range.
    EXPECT_TRUE(test::StoredRanges(path).empty());
  }
  auto store = WalkingStore(path);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->FailedShops().size(), 3u);
  store->RowAppended(SampleRecord(3));
  store->Answered(9, ShopOutcome::NoFields);
  store->Answered(11, ShopOutcome::Failed);
  store->Failed({12, 1, "timed out again"});
  std::vector<FailedShop> failed = store->FailedShops();
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed[0].shopId, 5);
  EXPECT_EQ(failed[1].shopId, 11);
  EXPECT_EQ(failed[1].attempts, 0);
  EXPECT_EQ(failed[1].reason, "");
  EXPECT_EQ(failed[2].shopId, 12);

  StoreSummary summary = store->Summary().value();
  EXPECT_EQ(summary.failed, 3u);
  EXPECT_EQ(summary.failureReasons,
            (std::vector<std::pair<std::string, std::size_t>>{{"timed out again", 2}, {"", 1}}));
  EXPECT_EQ(summary.lowestWalked, 3);
  EXPECT_EQ(summary.highestWalked, 12);
}

TEST(StoreRecordsTest, AnInterruptedRunComesBackAndContinues) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  {
    auto store = WalkingStore(path);
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->Interrupted(RunKind::Window).value());
    EXPECT_FALSE(store->LastPlace(RunKind::Window).value());
    store->BeginRun(RunKind::Window, "100");
    store->RowAppended(SampleRecord(102));
    store->Answered(101, ShopOutcome::NoShop);
    store->RowAppended(SampleRecord(103));
    store->PlaceMoved("103");
    // The program ends here without ending the run.
  }
  std::int64_t runId = 0;
  {
    auto store = WalkingStore(path);
    ASSERT_TRUE(store);
    EXPECT_FALSE(store->Interrupted(RunKind::CommandLine).value());
    auto run = store->Interrupted(RunKind::Window).value();
    ASSERT_TRUE(run);
    runId = run->runId;
    EXPECT_EQ(IdsOf(run->rows), (std::vector<std::int32_t>{102, 103}));
    EXPECT_EQ(run->place, "103");
    EXPECT_EQ(store->LastPlace(RunKind::Window).value(), "103");

    store->ContinueRun(runId);
    store->RowAppended(SampleRecord(104));
    store->RowAppended(SampleRecord(102, "changed"));
    store->PlaceMoved("105");
  }
  {
    auto store = WalkingStore(path);
    ASSERT_TRUE(store);
    auto run = store->Interrupted(RunKind::Window).value();
    ASSERT_TRUE(run);
    EXPECT_EQ(run->runId, runId);
    // The same shop twice in one list, both times with its latest values.
    EXPECT_EQ(IdsOf(run->rows), (std::vector<std::int32_t>{102, 103, 104, 102}));
    EXPECT_EQ(RecordText(run->rows[0]), RecordText(SampleRecord(102, "changed")));
    EXPECT_EQ(run->place, "105");

    store->ContinueRun(runId);
    store->PlaceMoved("110");
    store->EndRun(true);
    EXPECT_FALSE(store->Interrupted(RunKind::Window).value());
    EXPECT_EQ(store->LastPlace(RunKind::Window).value(), "110");

    // A command-line run is apart: the window's runs do not see it.
    store->BeginRun(RunKind::CommandLine, "5000");
    store->PlaceMoved(std::string("50\xff\x01", 4));
  }
  auto store = WalkingStore(path);
  ASSERT_TRUE(store);
  EXPECT_FALSE(store->Interrupted(RunKind::Window).value());
  EXPECT_EQ(store->LastPlace(RunKind::Window).value(), "110");
  auto run = store->Interrupted(RunKind::CommandLine).value();
  ASSERT_TRUE(run);
  EXPECT_TRUE(run->rows.empty());
  EXPECT_EQ(run->place, std::string("50\xff\x01", 4));
  EXPECT_EQ(store->Summary().value().runs, 2u);

  std::vector<test::StoredRun> runs = test::StoredRuns(path);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].kind, 1);
  EXPECT_TRUE(runs[0].ended);
  EXPECT_TRUE(runs[0].cleanEnd);
  EXPECT_EQ(runs[0].placeSaved, 1);
  EXPECT_EQ(runs[1].kind, 2);
  EXPECT_FALSE(runs[1].ended);
  EXPECT_FALSE(runs[1].placeSaved);
}

TEST(StoreRecordsTest, RunsEndCutOffOrCleanAndOutsideARunNoPlaceIsKept) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  auto store = WalkingStore(path);
  ASSERT_TRUE(store);
  // Outside a run: the row is kept, in no run's list; the place has nowhere to go.
  store->RowAppended(SampleRecord(1));
  store->PlaceMoved("1");
  store->EndRun(true);
  store->BeginRun(RunKind::Window, "10");
  store->RowAppended(SampleRecord(11));
  // A new run before the last one ended cuts that one off.
  store->BeginRun(RunKind::Window, "20");
  store->RowAppended(SampleRecord(21));
  store->EndRun(false);
  // An unknown run is not continued: what follows is outside a run.
  store->ContinueRun(77);
  store->RowAppended(SampleRecord(31));
  store->PlaceMoved("31");
  ASSERT_TRUE(store->Flush(Patience));

  std::vector<test::StoredRun> runs = test::StoredRuns(path);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].place, "10");
  EXPECT_TRUE(runs[0].ended);
  EXPECT_FALSE(runs[0].cleanEnd);
  EXPECT_FALSE(runs[0].placeSaved);
  EXPECT_EQ(runs[1].place, "20");
  EXPECT_TRUE(runs[1].cleanEnd);
  EXPECT_EQ(runs[1].placeSaved, 0);
  EXPECT_EQ(test::ShopRuns(path),
            (std::vector<std::pair<std::int64_t, std::optional<std::int64_t>>>{
                {1, std::nullopt}, {11, 1}, {21, 2}, {31, std::nullopt}}));
  EXPECT_FALSE(store->Interrupted(RunKind::Window).value());

  // The run cut off can still be continued.
  store->ContinueRun(1);
  store->RowAppended(SampleRecord(12));
  auto run = store->Interrupted(RunKind::Window).value();
  ASSERT_TRUE(run);
  EXPECT_EQ(run->runId, 1);
  EXPECT_EQ(IdsOf(run->rows), (std::vector<std::int32_t>{11, 12}));
}

TEST(StoreRecordsTest, ReportsFromManyThreadsAllLandAndAreCountedDurable) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  auto store = WalkingStore(path);
  ASSERT_TRUE(store);
  test::StoreWatcher watcher(*store);
  store->BeginRun(RunKind::CommandLine, "0");
  constexpr int Threads = 8;
  constexpr int PerThread = 600;
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < PerThread; ++i) {
        std::int32_t id = t * PerThread + i + 1;
        if (i % 3 == 0) {
          store->Answered(id, ShopOutcome::NoShop);
        } else if (i % 3 == 1) {
          store->RowAppended(SampleRecord(id));
        } else {
          store->Failed({id, 3, "thread " + std::to_string(t)});
        }
        if (i % 50 == 0) store->PlaceMoved(std::to_string(id));
        if (i % 100 == 0) (void)store->Summary().value();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(store->Flush(Patience));

  constexpr std::size_t Rows = Threads * PerThread / 3;
  EXPECT_EQ(watcher.DurableRows(), Rows);
  std::vector<std::uint64_t> counts = watcher.DurableCounts();
  EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
  StoreSummary summary = store->Summary().value();
  EXPECT_EQ(summary.rows, Rows);
  EXPECT_EQ(summary.failed, Rows);
  EXPECT_EQ(summary.lowestWalked, 1);
  EXPECT_EQ(summary.highestWalked, Threads * PerThread);
  EXPECT_EQ(test::StoredRanges(path).size(), Rows);
  auto run = store->Interrupted(RunKind::CommandLine).value();
  ASSERT_TRUE(run);
  EXPECT_EQ(run->rows.size(), Rows);
  for (const ShopRecord& row : AllRows(*store)) {
    EXPECT_EQ(RecordText(row), RecordText(SampleRecord(row.shopId)));
  }
}

TEST(StoreRecordsTest, AStoreOpenedForReadingRefusesReportsAndSaysSo) {
  ScratchDirectory dir;
  std::string path = dir.File("results.db");
  {
    auto store = WalkingStore(path);
    ASSERT_TRUE(store);
    store->BeginRun(RunKind::Window, "0");
    store->RowAppended(SampleRecord(1));
  }
  auto reader = test::ReadingStore(path);
  ASSERT_TRUE(reader);
  EXPECT_FALSE(reader->ForWalking());
  test::StoreWatcher watcher(*reader);
  EXPECT_TRUE(reader->Flush(Patience));
  reader->RowAppended(SampleRecord(2));
  reader->EndRun(true);
  EXPECT_FALSE(reader->Flush(Patience));
  std::vector<std::optional<StoreProblem>> told = watcher.Told();
  ASSERT_EQ(told.size(), 1u);
  ASSERT_TRUE(told[0]);
  EXPECT_EQ(told[0]->kind, StoreProblem::Kind::NotWritable);
  EXPECT_EQ(told[0]->path, path);
  EXPECT_EQ(IdsOf(AllRows(*reader)), (std::vector<std::int32_t>{1}));
  EXPECT_TRUE(reader->Interrupted(RunKind::Window).value());
}

}  // namespace
}  // namespace shopwalk
