// The one queue between the threads that report to a results store and the store's writer: it
// stamps each report, holds it until it is due, gathers batches, hands each to the backend's
// BatchWriter as one transaction, retries a failed one until it works (or the store closes),
// and tells the listeners of trouble and of rows made durable. Both backends run on it; what
// differs between them (the transaction, the fences, the SQL) is the BatchWriter's.
//
// Timing. A row, a failure or a run's beginning or end is written at most `commitDelay` after it
// was pushed, answers without a row, places and kept pages at most `placeDelay` (they come many
// times a second: one commit a second keeps the database quiet while losing at most that much of
// the walk's place, whose shop IDs are walked again, never skipped); sooner when `batchSize`
// reports wait or someone flushes or reads. A transaction holds at most `maxTransactionReports`.
// Within one batch a place that a later place of the same run replaces is never seen, so it is
// dropped before the batch is written. Every wait follows the Clock given.
//
// Failure. A failed batch is kept whole (nothing of it counts as written) and tried again every
// `retryDelay` (or at the writer's NextTry, whichever is later), in order, before anything
// pushed after it. Closing keeps trying for up to `closeTimeout`; what still cannot be written
// then is lost, and the trouble listener is told how much.
//
// Congestion. Congested() once `maxWaitingReports` reports wait (queued or being written), and
// with `holdRowsWhileFailing` also from a failed write until one works again while rows wait.
//
// A queue that was never started (a store opened for reading) refuses what is pushed to it and
// tells the trouble listener once (NotWritable, on the pushing thread); its Flush says whether
// anything was refused. Every member may be called from any thread, except as noted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/expected.h"
#include "results/report.h"
#include "results/result_store.h"
#include "results/store_listeners.h"
#include "results/store_problem.h"

namespace shopwalk {

// A report as queued.
struct QueuedReport {
  Report report;
  // When it is to be committed at the latest.
  Clock::TimePoint due;
  // When it was reported: Unix time in milliseconds.
  std::int64_t unixMs = 0;
  // The fence it is written under: the epoch of the lease its shop ID was handed out with (0:
  // none). Only the writer gives it a meaning.
  std::int64_t fence = 0;
  // A number the writer keeps with the report across tries of its batch (0 until it sets one).
  std::int64_t writerTag = 0;
};

// What one backend does with a batch. Every member is called on the queue's writer thread only,
// never with the queue's lock held (a writer may push, poke or read the queue's figures).
class BatchWriter {
 public:
  // A batch committed: the current run's place as the database holds it now (nothing outside a
  // run, or a continued run whose place has not moved), the store's DurablePlace from now on.
  struct Written {
    std::optional<std::string> place;
  };

  virtual ~BatchWriter() = default;
  // Writes `batch` in one transaction, in order, or nothing of it (then the problem; the same
  // batch comes again). It may set writerTag on the reports.
  virtual Expected<Written, StoreProblem> WriteBatch(std::span<QueuedReport> batch) = 0;
  // After a commit, before anyone waiting for it (Flush, a read) hears of it.
  virtual void Committed(std::span<const QueuedReport> /*batch*/) {}
  // Work of the writer's own between batches: after each commit, and when the queue is poked.
  virtual void Between() {}
  // The earliest a failed batch may be tried again (e.g. the next try at reconnecting).
  virtual Clock::TimePoint NextTry() const { return Clock::TimePoint::min(); }
};

struct ReportQueueSettings {
  std::chrono::milliseconds commitDelay{100};
  std::chrono::milliseconds placeDelay{1000};
  std::size_t batchSize = 2000;
  std::size_t maxTransactionReports = 20000;
  std::chrono::milliseconds retryDelay{500};
  std::chrono::milliseconds closeTimeout{3000};
  std::size_t maxWaitingReports = MaxWaitingReports;
  bool holdRowsWhileFailing = false;
};

class ReportQueue {
 public:
  // `location` names the store in the problems the queue makes itself. `clock` must outlive it.
  ReportQueue(std::string location, const ReportQueueSettings& settings, Clock& clock);
  // Close().
  ~ReportQueue();
  ReportQueue(const ReportQueue&) = delete;
  ReportQueue& operator=(const ReportQueue&) = delete;

  // Starts the writer thread on `writer`, which must outlive Close(). Once only.
  void Start(BatchWriter& writer);
  // Writes what is queued (trying for up to closeTimeout while writes fail) and stops the writer
  // thread. Nothing pushed afterwards is written. Idempotent.
  void Close();

  // Queues `report` (stamped with the clock's times), to be written under `fence`.
  void Push(Report report, std::int64_t fence = 0);
  // Wakes the writer for BatchWriter::Between, also when nothing is queued.
  void Poke();

  // Writes everything pushed so far and waits until it is durable (or `timeout` passes); true
  // when all of it is.
  bool Flush(std::chrono::milliseconds timeout);
  // Before a read: waits until what was pushed before the call is written, writing fails, or
  // `limit` passes.
  void CatchUp(std::chrono::milliseconds limit);
  bool Congested() const;
  StoreBacklog Backlog() const;
  // The place of the last commit (see BatchWriter::Written).
  std::optional<std::string> DurablePlace() const;

  void OnTrouble(StoreListeners::TroubleListener listener);
  void OnDurable(StoreListeners::DurableListener listener);
  // Trouble outside writing (claiming, renewing: nothing when it is over). The listener hears the
  // writer's problem while there is one, else this one, and only when what it heard changes.
  void SetOtherProblem(const std::optional<StoreProblem>& problem);

 private:
  void WriteLoop();
  // Takes the next transaction's reports off the queue, dropping superseded places (under
  // mutex_); returns how many it took.
  std::size_t TakeBatch(std::vector<QueuedReport>& batch);
  void SetProblem(bool fromWriter, const std::optional<StoreProblem>& problem);

  const std::string location_;
  const ReportQueueSettings settings_;
  Clock& clock_;
  BatchWriter* writer_ = nullptr;
  StoreListeners listeners_;

  mutable std::mutex mutex_;
  std::condition_variable wakeup_;
  std::condition_variable progress_;
  std::deque<QueuedReport> queue_;
  // The earliest `due` among the queued reports (max when none).
  Clock::TimePoint earliestDue_ = Clock::TimePoint::max();
  std::uint64_t reported_ = 0;     // reports pushed so far
  std::uint64_t written_ = 0;      // reports committed so far
  std::uint64_t flushWanted_ = 0;  // reports a Flush or a read waits for
  bool poked_ = false;
  bool troubled_ = false;  // the last write failed
  // Why it failed (while troubled_), with the rows then unwritten.
  std::optional<StoreProblem> problem_;
  // Shop IDs of the rows pushed and not yet committed (queued or being written).
  std::multiset<std::int32_t> unwrittenRows_;
  std::optional<std::string> durablePlace_;
  bool stopping_ = false;
  Clock::TimePoint closeDeadline_;
  std::uint64_t refused_ = 0;  // reports pushed to a queue never started

  // What the listener was told: the writer's and the other problem.
  std::mutex problemMutex_;
  std::optional<StoreProblem> writerProblem_;
  std::optional<StoreProblem> otherProblem_;

  // The writer thread's own.
  std::uint64_t durableRows_ = 0;
  std::thread thread_;
};

}  // namespace shopwalk
