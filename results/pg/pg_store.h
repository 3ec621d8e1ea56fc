// The results store in a PostgreSQL database, through which several machines share one walk: each
// node (a program walking with the store) takes its shop IDs from the store as a WorkSource and
// reports what it finds as a ResultStore, and no ID is lost or written twice whatever node dies,
// hangs or loses the server for a while.
//
// The data are the SQLite store's (one row per shop with its five texts as bytes, the latest
// answer per ID, failed shops with reason and tries, runs), plus the shared walk (results/pg_walk.h
// says how work is shared by fenced leases and how a node's --from, --to and --count relate to
// the walk it joins).
//
// Threads. Reports are only queued on the calling thread; one writer thread writes them in small
// transactions, in the order they came, each under the lease its shop ID was handed out with. A
// keeper thread claims work ahead of need (the next block is ready before the current one runs
// out), renews the node's leases, keeps the node's last-seen time and rate, and finds the walk's
// end. Each has its own connection and opens it again with back-off when it is lost (a server
// restarted, a network gone); meanwhile reports wait in memory and NextShop says Wait. Nothing
// reported is dropped while the node holds the shop's lease: it is written once the server is
// back. Reports for IDs the node does not hold (never handed out by it, or of a lease it lost to
// another node) are not written: the IDs' holder writes them. Congested() says when more reports
// wait (queued or being written) than the setting allows; the dispatcher then pauses (reports that
// come anyway are kept). A server out of reach alone does not hold the walk: the node rides it out
// in memory up to that bound, as servers restart and networks come back.
//
// A node's walk ends (NextShop says End) once the shared walk is over: its cursor passed the
// shared end, every block is done, no failed shop is due for a retry and none is being retried
// (its answer could make it due again). Failed shops due later than that are left for a later
// walk. A session of the node left inside a transaction longer than a lease (the node froze in
// the middle of a write) is ended by the server, so its locks never keep its blocks from others.
//
// Runs and recovery in a shared walk: a run is the node's own (BeginRun, PlaceMoved, EndRun are
// recorded with the node); Interrupted never offers a run to put back, since a dead node's blocks
// are claimed again by lease, and ContinueRun starts no run: the store offers the whole RunJournal
// and honours these two by doing nothing, so that a walk of one machine and a shared one go through
// the same steps. FailedShops lists none for the engine: failed shops come back through NextShop
// (retryOfFailed) under a lease of their own, one node at a time (ReadFailedShops lists them).
// LastPlace(CommandLine) is the current walk's place: every ID of it up to there has an outcome.
//
// A node opened for rewriting (reparse: rows cut again from kept pages) walks nothing: it claims
// with ClaimToRewrite the IDs it writes (finished blocks, blocks whose lease ran out, failed shops
// no node is trying again) under leases of its own, renewed by its keeper and let go when it
// closes; IDs another node holds stay that node's, and its reports of them are dropped.
//
// Every member may be called from any thread (NextShop from the dispatcher's only) and none
// throws (ForEachRow passes on what its visitor throws).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/clock.h"
#include "collect/work_source.h"
#include "results/pg/pg.h"
#include "results/pg/pg_walk.h"
#include "results/queued_store.h"
#include "results/report_queue.h"
#include "results/result_store.h"

namespace shopwalk {

// How a node shares the walk. Values out of their bounds are replaced by sound ones (see
// PgStoreSettings::Normalized).
struct PgStoreSettings {
  // IDs in a block of a new walk (an existing walk keeps its own).
  int blockSize = 1000;
  // How long a claim holds, and how often the node renews its leases (at most a third of it).
  std::chrono::milliseconds lease{60000};
  std::chrono::milliseconds renewEvery{10000};
  // A failed shop is due for a retry this long after it failed, and claimed for retries at most
  // this many times.
  std::chrono::milliseconds failedRetryDelay{std::chrono::minutes(5)};
  int failedRetryRounds = 3;
  // Failed shops claimed at once.
  int failedClaimBatch = 20;
  // How often a node with nothing to claim looks again (for expired leases and the walk's end).
  std::chrono::milliseconds idleClaimEvery{1000};
  // Congested() while this many reports wait to be written.
  std::size_t maxWaitingReports = MaxWaitingReports;
  // A report is written at most this long after it came (while the server is reachable), answers
  // without a row and places at most placeDelay (see results/report_queue.h), or as soon as this
  // many wait; a transaction holds at most maxTransactionReports.
  std::chrono::milliseconds commitDelay{50};
  std::chrono::milliseconds placeDelay{1000};
  std::size_t batchSize = 500;
  std::size_t maxTransactionReports = 2000;
  // Opening a lost connection again: the first wait, doubled up to the longest.
  std::chrono::milliseconds reconnectFirst{100};
  std::chrono::milliseconds reconnectLongest{5000};
  // How long making a connection may take.
  std::chrono::milliseconds connectTimeout{10000};
  // How long closing keeps trying to write what waits, and to let the node's leases go.
  std::chrono::milliseconds closeTimeout{5000};
  // How long a read waits for earlier reports to be written.
  std::chrono::milliseconds readWaitLimit{5000};
  // The rate the node was asked to walk at (IDs a second), for status displays; 0: none given.
  double pacedRate = 0;

  // These settings with every value in its bounds: blockSize 1 to 1,000,000; lease at least
  // 300 ms; renewEvery at least 50 ms and at most a third of the lease; placeDelay at least
  // commitDelay; other lengths at least 1 ms (failedRetryDelay at least 0); counts at least 1.
  PgStoreSettings Normalized() const;
};

// What a node has done with its leases, for tests and status.
struct PgStoreCounters {
  std::uint64_t blocksClaimed = 0;
  std::uint64_t blocksDone = 0;
  std::uint64_t failedShopsClaimed = 0;
  // Leases found taken by another node (at a renewal or a fenced write).
  std::uint64_t leasesLost = 0;
  // Reports not written: the node did not hold the shop's lease.
  std::uint64_t reportsNotHeld = 0;
};

class PgStore final : public QueuedStore, public SharedWalk {
 public:
  // The opened store, or why it could not be opened.
  using Opened = Expected<std::unique_ptr<PgStore>, StoreProblem>;

  // Opens the store at `uri` (a libpq connection URI) for walking: creates or upgrades the layout,
  // joins the current walk or begins one (`request`), registers the node and starts claiming.
  // Fails (Other) when the server cannot be reached, when the walk request cannot be met, or when
  // the database holds a newer layout; Corrupt when its schema "shopwalk" is something else's;
  // NotWritable when the user may not create or write the tables.
  // The node's own timing (batching, reconnecting, renewing, claiming, closing, flushes) follows
  // `clock`, which must outlive the store; the leases themselves run on the server's time.
  static Opened OpenForWalking(const std::string& uri, const results::WalkRequest& request,
                               const PgStoreSettings& settings = {}, Clock& clock = RealClock());
  // Opens the store for reading (status, export): no layout changes, no node, no claims. What is
  // reported to it is refused (see ResultStore::OnTrouble). A database without a store, or with
  // an older layout, fails.
  static Opened OpenForReading(const std::string& uri, const PgStoreSettings& settings = {},
                               Clock& clock = RealClock());
  // Opens the store for rewriting what walks found (reparse): as for walking, but the node joins
  // no walk and claims nothing by itself (NextShop says End): it registers with the latest walk
  // and writes only the IDs ClaimToRewrite gives it, renewing those leases until it closes.
  static Opened OpenForRewriting(const std::string& uri, const PgStoreSettings& settings = {},
                                 Clock& clock = RealClock());

  // Writes what is queued (trying for up to closeTimeout while the server is out of reach),
  // lets the node's unfinished leases go so that other nodes claim them at once, and marks the
  // node stopped.
  ~PgStore() override;
  PgStore(const PgStore&) = delete;
  PgStore& operator=(const PgStore&) = delete;

  // The URI without its password.
  const std::string& Location() const { return location_; }
  bool ForWalking() const { return walking_; }
  // The walk this node joined (empty when opened for reading).
  const results::JoinedWalk& Walk() const { return walk_; }
  // SharedWalk: the same, with the node's lease.
  const JoinedSharedWalk& Joined() const override { return joined_; }
  std::int64_t NodeId() const { return nodeId_; }
  PgStoreCounters Counters() const;
  const PgStoreSettings& Settings() const { return settings_; }

  // WorkSource.
  Next NextShop() override;

  // StoreReader. ReadFailedShops lists every failed shop on record, also those out of retries.
  Expected<void, StoreProblem> ForEachRow(
      const std::function<void(const ShopRecord&)>& visit) override;
  Expected<StoreSummary, StoreProblem> Summary() override;
  Expected<std::vector<FailedShop>, StoreProblem> ReadFailedShops() override;

  // ShopHistoryReader. The times are those of the reports (the node's clock), or the server's for
  // rows written before they were.
  Expected<std::vector<ShopToRefresh>, StoreProblem> ShopsToRefresh(
      std::int64_t checkedBeforeMs, std::optional<std::size_t> count) override;
  Expected<void, StoreProblem> ForEachRowSince(
      RowsSince kind, std::int64_t sinceMs,
      const std::function<void(const ShopRecord&, const ShopTimes&)>& visit) override;
  Expected<void, StoreProblem> ForEachChange(
      std::int64_t sinceMs, const std::function<void(const ShopChange&)>& visit) override;

  // SharedWalk (also when opened for reading).
  Expected<std::optional<SharedWalkSummary>, StoreProblem> WalkSummary() override;
  Expected<void, StoreProblem> NodeHeld(const std::string& reason) override;
  // Opened for rewriting: claims (see SharedWalk); may be called more than once (ranges held
  // already stay held). Otherwise nothing held.
  Expected<RewriteClaim, StoreProblem> ClaimToRewrite(std::int32_t from, std::int32_t to) override;

  // RunJournal: a shared walk has no run to put back, so Interrupted always says none (a failed
  // read still returns its problem) and ContinueRun starts no run.
  Expected<std::optional<InterruptedRun>, StoreProblem> Interrupted(RunKind kind) override;
  void ContinueRun(std::int64_t runId) override;
  Expected<std::optional<std::string>, StoreProblem> LastPlace(RunKind kind) override;

  // KeptPageStore: a kept page is a report of its shop, written under its lease like the others;
  // dictionary ids come from a sequence, so nodes never share one. A store opened for reading
  // gives no dictionary id (NotWritable).
  Expected<std::uint32_t, StoreProblem> NewDictionaryId() override;
  Expected<void, StoreProblem> ForEachKeptPage(
      std::int32_t from, std::int32_t to,
      const std::function<void(const PackedPage&, const PageDictionary*)>& visit) override;
  Expected<KeptPagesSummary, StoreProblem> KeptPages() override;

  // ResultSink: reports go through QueuedStore, fenced by the lease of their shop ID. None:
  // failed shops come back through NextShop (see above).
  std::vector<FailedShop> FailedShops() override;
  // Shops marked to revisit, in the order they were marked (none when they cannot be read). A
  // mark waits on the failed list, due at once: NextShop hands it out like a failed shop, under a
  // lease of its own, without spending its rounds. A mark for a shop whose lease the node no
  // longer holds is still written (a mark is never lost).
  std::vector<std::int32_t> ShopsToRevisit() override;
  // What the rows and answers of every node on record say of the pages, at or below the highest
  // row (nothing when they cannot be read).
  PageMatchHistory PageHistory() override;

  // StoreSink (QueuedStore's): Backlog's problem is the writer's (claiming and renewing are not
  // writing); OnTrouble's listener is also told, from the keeper's thread, when claiming or
  // renewing cannot reach the server.

 private:
  // A lease the node holds, and what it handed out under it.
  struct HeldLease {
    results::Lease lease;
    // IDs still to hand out, in order.
    std::deque<std::int32_t> toHandOut;
    // Handed out and not yet reported.
    std::unordered_set<std::int32_t> outstanding;
    // Every ID handed out under it (to forget them when the lease ends).
    std::vector<std::int32_t> handedOut;
    // Reports queued under it and not yet written.
    std::size_t unwritten = 0;
    // Until when the node may hand out its IDs (the last renewal plus the lease, less a margin).
    Clock::TimePoint validUntil;
    // Times its missing IDs were handed out again.
    int rounds = 0;
    bool lost = false;
    // Its finish is being written.
    bool finishing = false;
    // Claimed to rewrite: nothing to hand out or finish; held until the store closes.
    bool rewrite = false;
  };
  // IDs a rewriting block lease covers (part of a block, less IDs others hold).
  struct RewriteSpan {
    std::int64_t lastId = 0;
    std::int64_t epoch = 0;
  };

  PgStore(std::string uri, bool walking, bool rewriting, const PgStoreSettings& settings,
          Clock& clock);
  // Opens the writer and creates or upgrades the layout (walking and rewriting).
  Expected<void, StoreProblem> OpenWriter();
  // Opens the keeper and starts the writer and keeper threads.
  Expected<void, StoreProblem> StartThreads();
  Expected<void, StoreProblem> StartWalking(const results::WalkRequest& request);
  Expected<void, StoreProblem> StartRewriting();
  // Under mutex_: the epoch of the rewriting lease that covers `shopId`, or 0.
  std::int64_t RewriteEpochOf(std::int32_t shopId) const;
  Expected<void, StoreProblem> StartReading();
  StoreProblem ProblemOf(const pg::Status& status) const;

  // Reporting: queues a report of a shop under the lease it was handed out with (nothing when the
  // node does not hold it).
  void QueueShopReport(Report report, std::int32_t shopId) override;

  // BatchWriter: the writer thread's.
  Expected<Written, StoreProblem> WriteBatch(std::span<QueuedReport> batch) override;
  void Committed(std::span<const QueuedReport> batch) override;
  // Writes the finish of leases whose every ID was handed out, reported and written.
  void Between() override;
  Clock::TimePoint NextTry() const override { return writerReconnect_.nextTry; }
  // Settings of a session of ours, set once it is opened.
  pg::Status PrepareSession(pg::Connection& connection) const;
  // Opening a lost connection again, with back-off: when the next try may be, how long the one
  // after it waits, and why the last try failed (until one works).
  struct Reconnect {
    Clock::TimePoint nextTry;
    std::chrono::milliseconds delay;
    std::optional<StoreProblem> lastProblem;
  };
  Reconnect FirstReconnect() const;
  // Opens `connection` again when it is lost and `reconnect` allows a try. Fails with why the
  // last try failed: this one, or, while the back-off allows none yet, the one before.
  Expected<void, StoreProblem> EnsureConnected(pg::Connection& connection, Reconnect& reconnect,
                                               const char* what);
  // Writes one report of a batch; whether the lease it was written under held (true also for a
  // report with no lease to hold).
  Expected<bool, pg::Status> Apply(const QueuedReport& queued, const results::Lease& lease);
  // Under mutex_: leases ready for Between to finish.
  std::vector<results::Lease> TakeCompleteLeases();

  // The keeper.
  void KeepLoop();
  bool NeedsClaim() const;  // under mutex_
  // Claims one unit of work; false when there was nothing to claim.
  Expected<bool, pg::Status> ClaimOnce();
  pg::Status Renew();
  void ReleaseAll();
  void AddLease(const results::Lease& lease, std::vector<std::int32_t> ids);  // under mutex_
  void LoseLease(std::int64_t epoch);                                         // under mutex_
  void ForgetLease(std::int64_t epoch);                                       // under mutex_

  // Reading (inside QueuedStore::Reading). Opens the reader when it is not open.
  pg::Status EnsureReader();
  // Reads the current shared walk on the reader, inside the caller's transaction.
  pg::Status ReadSharedWalk(std::optional<SharedWalkSummary>& out);
  // Why reading `what` failed; a lost connection is closed, to be opened again by the next read.
  StoreProblem ReadProblem(const char* what, const pg::Status& status);

  const std::string uri_;
  const std::string location_;
  const bool walking_;
  const bool rewriting_;
  const PgStoreSettings settings_;
  Clock& clock_;
  results::JoinedWalk walk_;
  JoinedSharedWalk joined_;
  std::int64_t nodeId_ = 0;

  // Leases and hand-out.
  mutable std::mutex mutex_;
  std::condition_variable keeperWakeup_;
  std::map<std::int64_t, HeldLease> leases_;  // by epoch
  std::deque<std::int64_t> handOrder_;        // epochs with IDs to hand out, in claim order
  std::unordered_map<std::int32_t, std::int64_t> fenceOf_;  // handed-out ID -> epoch
  std::map<std::int64_t, RewriteSpan> rewriteSpans_;        // by first ID, apart
  bool keeperReachable_ = false;
  bool walkOver_ = false;
  bool endGiven_ = false;
  // The store is closing: no more claims.
  bool closing_ = false;
  bool keeperStopping_ = false;
  PgStoreCounters counters_;
  // Reports written under a lease (for the node's rate).
  std::uint64_t answeredWritten_ = 0;

  // The writer thread's own.
  pg::Connection writer_;
  Reconnect writerReconnect_;
  // Leases a write of the last batch found taken by another node.
  std::vector<std::int64_t> refusedEpochs_;
  std::optional<std::int64_t> currentRun_;
  // The current run's place as written by the transaction under way or the last one.
  std::optional<std::string> writerPlace_;
  // How the packed bytes of kept pages changed in the batch being written.
  std::int64_t keptPagesDelta_ = 0;

  // The keeper thread's own.
  pg::Connection keeper_;
  std::thread keeperThread_;

  // Reading, one reader at a time (QueuedStore::Reading).
  pg::Connection reader_;
};

}  // namespace shopwalk
