// The report queue on its own, driving a writer of the test's: what reaches a batch, in what
// order and when, how failures are retried and told, and when the walk is held.
#include "results/report_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tests/support/manual_clock.h"

namespace shopwalk {
namespace {

using std::chrono::milliseconds;

// A guard against hanging on a fault, never a measure of speed.
constexpr milliseconds Patience{20000};

// A short text per report, to compare batches with.
std::string Describe(const Report& report) {
  return std::visit(
      Overloaded{
          [](const reports::Row& row) { return "row " + std::to_string(row.record.shopId); },
          [](const reports::Answer& answer) { return "answer " + std::to_string(answer.shopId); },
          [](const reports::Failure& failure) {
            return "failure " + std::to_string(failure.shop.shopId);
          },
          [](const reports::Place& place) { return "place " + place.place; },
          [](const reports::BeginRun& begin) { return "begin " + begin.place; },
          [](const reports::ContinueRun& next) { return "continue " + std::to_string(next.runId); },
          [](const reports::EndRun&) { return std::string("end"); },
          [](const reports::KeptDictionary& kept) {
            return "dictionary " + std::to_string(kept.dictionary.id);
          },
          [](const reports::KeptPage& kept) { return "page " + std::to_string(kept.page.shopId); },
          [](const reports::Revisit& mark) { return "revisit " + std::to_string(mark.shopId); },
          [](const reports::Closed& closed) { return "closed " + std::to_string(closed.shopId); },
      },
      report);
}

// Keeps every batch it is given; fails the next `failures` writes; the place of a batch is its
// last place or beginning of a run.
class RecordingWriter final : public BatchWriter {
 public:
  Expected<Written, StoreProblem> WriteBatch(std::span<QueuedReport> batch) override {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const QueuedReport& queued : batch) texts.push_back(Describe(queued.report));
    tries_.push_back(texts);
    changed_.notify_all();
    if (failures_ > 0) {
      --failures_;
      return MakeUnexpected(StoreProblem{StoreProblem::Kind::Full, "test", "the disk is full"});
    }
    for (const QueuedReport& queued : batch) {
      if (const auto* place = std::get_if<reports::Place>(&queued.report)) place_ = place->place;
      if (const auto* begin = std::get_if<reports::BeginRun>(&queued.report)) {
        place_ = begin->place;
      }
    }
    return Written{place_};
  }
  void Committed(std::span<const QueuedReport> batch) override {
    std::lock_guard lock(mutex_);
    committed_ += batch.size();
  }
  void Between() override {
    std::lock_guard lock(mutex_);
    ++between_;
    changed_.notify_all();
  }

  void FailNext(int failures) {
    std::lock_guard lock(mutex_);
    failures_ = failures;
  }
  bool WaitForTries(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, Patience, [&] { return tries_.size() >= count; });
  }
  bool WaitForBetween(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, Patience, [&] { return between_ >= count; });
  }
  std::vector<std::vector<std::string>> Tries() const {
    std::lock_guard lock(mutex_);
    return tries_;
  }
  std::size_t Committed() const {
    std::lock_guard lock(mutex_);
    return committed_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<std::string>> tries_;
  std::optional<std::string> place_;
  std::size_t committed_ = 0;
  int failures_ = 0;
  int between_ = 0;
};

// What the trouble listener heard: each problem's reason and unwritten rows ("" for the
// all-clear).
class TroubleLog {
 public:
  explicit TroubleLog(ReportQueue& queue) {
    queue.OnTrouble([this](const std::optional<StoreProblem>& problem) {
      std::lock_guard lock(mutex_);
      told_.push_back(
          problem ? problem->reason + " (" + std::to_string(problem->unwrittenRows) + ")" : "");
      changed_.notify_all();
    });
  }
  bool WaitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, Patience, [&] { return told_.size() >= count; });
  }
  std::vector<std::string> Told() const {
    std::lock_guard lock(mutex_);
    return told_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> told_;
};

ShopRecord Row(std::int32_t shopId) {
  ShopRecord record;
  record.shopId = shopId;
  return record;
}

// Reports wait for a flush (or a full batch), so a test decides what one batch holds; a failed
// write is tried again at once.
ReportQueueSettings FlushedSettings() {
  ReportQueueSettings settings;
  settings.commitDelay = std::chrono::hours(1);
  settings.placeDelay = std::chrono::hours(1);
  settings.retryDelay = milliseconds(1);
  return settings;
}

TEST(ReportQueueTest, APlaceReplacedWithinItsRunAndBatchIsNotWrittenButCountsAsWritten) {
  RecordingWriter writer;
  ReportQueue queue("test", FlushedSettings(), RealClock());
  queue.Start(writer);
  queue.Push(reports::Place{"a"});
  queue.Push(reports::Place{"b"});
  queue.Push(reports::BeginRun{RunKind::CommandLine, "c"});
  queue.Push(reports::Row{Row(4)});
  queue.Push(reports::Place{"d"});
  queue.Push(reports::Place{"e"});
  queue.Push(reports::EndRun{true});
  queue.Push(reports::Place{"f"});
  EXPECT_FALSE(queue.DurablePlace().has_value());
  ASSERT_TRUE(queue.Flush(Patience));

  const auto tries = writer.Tries();
  ASSERT_EQ(tries.size(), 1U);
  EXPECT_EQ(tries[0],
            (std::vector<std::string>{"place b", "begin c", "row 4", "place e", "end", "place f"}));
  EXPECT_EQ(queue.Backlog().reports, 0U);
  EXPECT_EQ(queue.DurablePlace(), "f");
  // The writer heard of the commit before Flush returned.
  EXPECT_EQ(writer.Committed(), 6U);
}

TEST(ReportQueueTest, AFailedBatchIsTriedAgainWholeBeforeLaterReportsAndToldOnChanges) {
  RecordingWriter writer;
  ReportQueueSettings settings = FlushedSettings();
  settings.holdRowsWhileFailing = true;
  ReportQueue queue("test", settings, RealClock());
  TroubleLog trouble(queue);
  writer.FailNext(1000000);
  queue.Start(writer);
  queue.Push(reports::Row{Row(7)});
  queue.Push(reports::Row{Row(3)});
  queue.Push(reports::Failure{FailedShop{5, 2, "timed out"}});
  EXPECT_FALSE(queue.Congested());
  EXPECT_FALSE(queue.Flush(milliseconds(0)));  // wakes the writer

  // From the first failure until a write works, rows wait: the walk is held, and the backlog
  // says why and which rows.
  ASSERT_TRUE(trouble.WaitFor(1));
  ASSERT_TRUE(writer.WaitForTries(3));
  EXPECT_TRUE(queue.Congested());
  const StoreBacklog failing = queue.Backlog();
  ASSERT_TRUE(failing.problem.has_value());
  EXPECT_EQ(failing.problem->unwrittenRows, 2U);
  EXPECT_EQ(failing.rows, 2U);
  EXPECT_EQ(failing.lowestRow, 3);
  EXPECT_EQ(failing.highestRow, 7);
  queue.Push(reports::Row{Row(9)});
  writer.FailNext(0);
  ASSERT_TRUE(queue.Flush(Patience));
  EXPECT_FALSE(queue.Congested());
  EXPECT_FALSE(queue.Backlog().problem.has_value());

  const auto tries = writer.Tries();
  ASSERT_GE(tries.size(), 4U);
  const std::vector<std::string> first = {"row 7", "row 3", "failure 5"};
  for (std::size_t i = 0; i + 1 < tries.size(); ++i) EXPECT_EQ(tries[i], first) << "try " << i;
  EXPECT_EQ(tries.back(), std::vector<std::string>{"row 9"});
  // Many failures of one problem are told once, again only when the unwritten rows change; the
  // all-clear once.
  const auto told = trouble.Told();
  ASSERT_GE(told.size(), 2U);
  EXPECT_EQ(told.front(), "the disk is full (2)");
  for (std::size_t i = 1; i + 1 < told.size(); ++i) EXPECT_EQ(told[i], "the disk is full (3)");
  EXPECT_EQ(told.back(), "");
}

TEST(ReportQueueTest, ClosingGivesUpOnWritesThatKeepFailingAndSaysHowManyAreLost) {
  RecordingWriter writer;
  ReportQueueSettings settings = FlushedSettings();
  settings.closeTimeout = milliseconds(0);
  ReportQueue queue("test", settings, RealClock());
  TroubleLog trouble(queue);
  writer.FailNext(1000000);
  queue.Start(writer);
  queue.Push(reports::Row{Row(1)});
  queue.Push(reports::Answer{2, ShopOutcome::NoShop});
  queue.Close();
  const auto told = trouble.Told();
  ASSERT_FALSE(told.empty());
  EXPECT_NE(told.back().find("2 reports could not be written and are lost"), std::string::npos)
      << told.back();
  // Nothing is written after closing.
  queue.Push(reports::Row{Row(3)});
  EXPECT_EQ(queue.Backlog().reports, 3U);
}

TEST(ReportQueueTest, TheWalkIsHeldOnceTheBoundOfWaitingReportsIsReached) {
  RecordingWriter writer;
  ReportQueueSettings settings = FlushedSettings();
  settings.maxWaitingReports = 3;
  ReportQueue queue("test", settings, RealClock());
  queue.Start(writer);
  queue.Push(reports::Answer{1, ShopOutcome::NoShop});
  queue.Push(reports::Answer{2, ShopOutcome::NoFields});
  EXPECT_FALSE(queue.Congested());
  queue.Push(reports::Place{"3"});
  EXPECT_TRUE(queue.Congested());
  ASSERT_TRUE(queue.Flush(Patience));
  EXPECT_FALSE(queue.Congested());
}

TEST(ReportQueueTest, AQueueNeverStartedRefusesReportsAndSaysSoOnce) {
  ReportQueue queue("store.db", FlushedSettings(), RealClock());
  TroubleLog trouble(queue);
  EXPECT_TRUE(queue.Flush(milliseconds(0)));
  queue.Push(reports::Row{Row(1)});
  queue.Push(reports::Row{Row(2)});
  ASSERT_EQ(trouble.Told().size(), 1U);
  EXPECT_NE(trouble.Told()[0].find("opened for reading"), std::string::npos);
  EXPECT_FALSE(queue.Flush(milliseconds(0)));
  EXPECT_EQ(queue.Backlog().reports, 0U);
}

// Rows are written within the commit delay even when an answer, which may wait for the longer
// place delay, was queued before them.
TEST(ReportQueueTest, ARowQueuedBehindAnAnswerIsWrittenWithinTheCommitDelay) {
  test::ManualClock clock;
  RecordingWriter writer;
  ReportQueueSettings settings;
  settings.commitDelay = milliseconds(100);
  settings.placeDelay = milliseconds(1000);
  ReportQueue queue("test", settings, clock);
  queue.Start(writer);
  queue.Push(reports::Answer{1, ShopOutcome::NoShop});
  ASSERT_TRUE(clock.WaitForIdleWaiters(1, Patience));
  queue.Push(reports::Row{Row(2)});
  clock.Advance(milliseconds(100));
  ASSERT_TRUE(writer.WaitForTries(1));
  EXPECT_EQ(writer.Tries()[0], (std::vector<std::string>{"answer 1", "row 2"}));

  // An answer alone waits for the place delay: nothing is written before it.
  queue.Push(reports::Answer{3, ShopOutcome::NoFields});
  ASSERT_TRUE(writer.WaitForBetween(1));
  ASSERT_TRUE(clock.WaitForIdleWaiters(1, Patience));
  clock.Advance(milliseconds(999));
  ASSERT_TRUE(clock.WaitForIdleWaiters(1, Patience));
  EXPECT_EQ(writer.Tries().size(), 1U);
  clock.Advance(milliseconds(1));
  ASSERT_TRUE(writer.WaitForTries(2));
  queue.Close();
}

TEST(ReportQueueTest, APokeRunsTheWritersOwnWorkWithNothingQueued) {
  RecordingWriter writer;
  ReportQueue queue("test", FlushedSettings(), RealClock());
  queue.Start(writer);
  queue.Poke();
  ASSERT_TRUE(writer.WaitForBetween(1));
  EXPECT_TRUE(writer.Tries().empty());
  queue.Push(reports::Row{Row(1)});
  ASSERT_TRUE(queue.Flush(Patience));
  // And after each commit.
  ASSERT_TRUE(writer.WaitForBetween(2));
}

TEST(ReportQueueTest, AnAnswerOtherThanNoShopOrNoFieldsIsAFailureWithoutTriesOrReason) {
  EXPECT_EQ(Describe(ReportOfAnswer(4, ShopOutcome::NoShop)), "answer 4");
  EXPECT_EQ(Describe(ReportOfAnswer(4, ShopOutcome::NoFields)), "answer 4");
  for (ShopOutcome other : {ShopOutcome::Failed, static_cast<ShopOutcome>(99)}) {
    const Report report = ReportOfAnswer(4, other);
    const auto* failure = std::get_if<reports::Failure>(&report);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->shop.shopId, 4);
    EXPECT_EQ(failure->shop.attempts, 0);
    EXPECT_EQ(failure->shop.reason, "");
  }
}

}  // namespace
}  // namespace shopwalk
