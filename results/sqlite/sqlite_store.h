// The results store in one SQLite database file (write-ahead log, every commit synced to disk).
//
// Reports are only queued on the reporting thread (results/report_queue.h); one writer thread
// commits them in small transactions, in the order they were reported: a row is durable well
// within a quarter of a second while the disk keeps up. When a write fails (a full disk, an I/O
// error) the writer keeps every report in memory, tells OnTrouble, and tries again every
// RetryDelay until it works. OnDurable (and OnTrouble's all-clear) hear of a commit before a Flush
// waiting for it returns.
//
// Congested() holds the walk once MaxWaitingReports reports wait, and also from a failed write
// until a write works again, while rows wait: a local file that refuses writes (a full disk, an I/O
// error, a lock held by another program) seldom recovers by itself within the walk, and every row
// collected meanwhile would be one more that exists only in memory. Answers and places alone do not
// hold the walk before the bound: the shop IDs they cover are walked again if they are lost, never
// skipped.
//
// One copy walks with a store at a time: opening for walking takes a lock that a second opening
// for walking, in this process or another, is refused (InUse) while the first lives. Opening for
// reading takes no lock and sees the walk's commits as they land.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/clock.h"
#include "results/queued_store.h"
#include "results/report_queue.h"
#include "results/result_store.h"
#include "results/sqlite/sqlite.h"
#include "results/sqlite/walking_lock.h"

namespace shopwalk {

class SqliteStore final : public QueuedStore {
 public:
  // The opened store, or why it could not be opened.
  using Opened = Expected<std::unique_ptr<SqliteStore>, StoreProblem>;

  // Opens the store at `path` (a file name) for walking: creates it when missing (the folder
  // must exist), upgrades a store of an earlier version, and takes the walking lock on the file,
  // whatever name it is reached by (results::WalkingLock). Fails with InUse, naming the holder's
  // process where it can, while another walking copy holds the lock, NotWritable when the folder
  // or the file may not be written (SQLite keeps its log beside the store), Full on a full disk,
  // Corrupt when the file is not a store.
  // Every wait of the store (batching, retries, closing, flushes) and the times it records follow
  // `clock`, which must outlive the store.
  // Congested() holds the walk once `maxWaitingReports` reports wait.
  static Opened OpenForWalking(const std::string& path, Clock& clock = RealClock(),
                               std::size_t maxWaitingReports = MaxWaitingReports);
  // Opens the existing store at `path` for reading: no lock, no writes, no changes to the file.
  // What is reported to it is refused (see ResultStore::OnTrouble). While no walking copy has it
  // open, SQLite creates its shared index beside the store, so a read-only folder gives
  // NotWritable here too.
  static Opened OpenForReading(const std::string& path, Clock& clock = RealClock());

  // A row, a failure or a run's beginning or end is committed at most this long after it was
  // queued (while writing works)...
  static constexpr std::chrono::milliseconds CommitDelay{100};
  // ...answers without a row and places at most this long: they come many times a second, and
  // one commit a second keeps the disk quiet while losing at most a second of the walk's place
  // (those shop IDs are walked again, never skipped).
  static constexpr std::chrono::milliseconds PlaceDelay{1000};
  // ...or as soon as this many reports wait.
  static constexpr std::size_t BatchSize = 2000;
  // The most reports one transaction holds.
  static constexpr std::size_t MaxTransactionReports = 20000;
  // How often a failing write is tried again.
  static constexpr std::chrono::milliseconds RetryDelay{500};
  // How long closing a store keeps trying to write what is still queued when writes fail.
  static constexpr std::chrono::milliseconds CloseTimeout{3000};
  // How long a read waits for earlier reports to be written.
  static constexpr std::chrono::milliseconds ReadWaitLimit{5000};

  // Writes what is queued (trying for up to CloseTimeout while writes fail: what still cannot be
  // written then is lost, and OnTrouble is told how much), then closes the file and releases
  // the walking lock.
  ~SqliteStore() override;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  const std::string& Path() const { return path_; }
  bool ForWalking() const { return walking_; }

  // The failed shops on record (an empty list when they cannot be read: the program reads the
  // store before a run starts, through ReadFailedShops or Interrupted, and shows the problem).
  std::vector<FailedShop> FailedShops() override;
  // Shops marked to revisit, in the order they were marked (none when they cannot be read, as
  // with FailedShops).
  std::vector<std::int32_t> ShopsToRevisit() override;
  // What the rows and answers on record say of the pages, at or below the highest row (nothing
  // when they cannot be read).
  PageMatchHistory PageHistory() override;

  Expected<std::optional<InterruptedRun>, StoreProblem> Interrupted(RunKind kind) override;
  void ContinueRun(std::int64_t runId) override;
  Expected<std::optional<std::string>, StoreProblem> LastPlace(RunKind kind) override;

  Expected<void, StoreProblem> ForEachRow(
      const std::function<void(const ShopRecord&)>& visit) override;
  Expected<StoreSummary, StoreProblem> Summary() override;
  Expected<std::vector<FailedShop>, StoreProblem> ReadFailedShops() override;

  // ShopHistoryReader.
  Expected<std::vector<ShopToRefresh>, StoreProblem> ShopsToRefresh(
      std::int64_t checkedBeforeMs, std::optional<std::size_t> count) override;
  Expected<void, StoreProblem> ForEachRowSince(
      RowsSince kind, std::int64_t sinceMs,
      const std::function<void(const ShopRecord&, const ShopTimes&)>& visit) override;
  Expected<void, StoreProblem> ForEachChange(
      std::int64_t sinceMs, const std::function<void(const ShopChange&)>& visit) override;

  // KeptPageStore. Dictionary ids count on from the highest in the file (one walking copy at a
  // time); a store opened for reading gives none (NotWritable).
  Expected<std::uint32_t, StoreProblem> NewDictionaryId() override;
  Expected<void, StoreProblem> ForEachKeptPage(
      std::int32_t from, std::int32_t to,
      const std::function<void(const PackedPage&, const PageDictionary*)>& visit) override;
  Expected<KeptPagesSummary, StoreProblem> KeptPages() override;

 private:
  // What the writer knows beyond the file; it changes only with a committed transaction.
  struct WriterState {
    std::optional<std::int64_t> currentRun;
    std::int64_t nextSequence = 1;
    std::int64_t nextRunId = 1;
    std::int64_t nextOpenedSeq = 1;
    std::int64_t nextFailurePosition = 1;
    std::int64_t nextRevisitPosition = 1;
    // The current run's place as written (see DurablePlace).
    std::optional<std::string> place;
  };

  struct WriterStatements;

  SqliteStore(std::string path, bool walking, std::size_t maxWaitingReports, Clock& clock);
  Expected<void, StoreProblem> StartWalking();
  Expected<void, StoreProblem> StartReading();
  Expected<void, StoreProblem> OpenReader();

  // BatchWriter.
  Expected<Written, StoreProblem> WriteBatch(std::span<QueuedReport> batch) override;
  sqlite::Status Apply(const QueuedReport& queued, WriterState& state);
  // Drops the oldest kept pages until the packed bytes fit in `budget` (the newest page stays).
  sqlite::Status KeepWithinBudget(std::uint64_t budget);

  StoreProblem ProblemOf(const sqlite::Status& status) const;
  // Why reading `what` failed.
  // The page history's latest answers (PageMatchHistory::latest), in the reader's snapshot.
  sqlite::Status ReadLatestAnswers(std::vector<PageMatchHistory::LatestAnswer>& latest);
  StoreProblem ReadProblem(const char* what, const sqlite::Status& status) const;

  const std::string path_;
  const bool walking_;
  results::WalkingLock lock_;

  // The reading connection, one reader at a time (QueuedStore::Reading).
  sqlite::Connection reader_;

  // The writer thread's own.
  sqlite::Connection writer_;
  std::unique_ptr<WriterStatements> statements_;
  WriterState state_;

  std::atomic<std::uint32_t> nextDictionaryId_{1};
};

}  // namespace shopwalk
