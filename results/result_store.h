// The results store: every collected row and every answer of a walk, written down as they come,
// so that a crash, a kill or a power cut loses nothing that was reported durable, and the next
// start can put the interrupted run's list back and resume without skipping a shop ID.
//
// A store is opened for walking (one walking copy at a time: a second is refused) or for reading
// (any number, also while a walk writes); results/store.h opens one by its location. What a caller
// needs is split: the engine reports through StoreSink, the program (the window, the command line)
// drives runs and recovery through RunJournal and reads through StoreReader; a walk shared through
// a database also offers SharedWalk.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/expected.h"
#include "collect/result_sink.h"
#include "collect/shop_record.h"
#include "collect/work_source.h"
#include "results/kept_pages.h"
#include "results/report.h"
#include "results/store_problem.h"

namespace shopwalk {

// The most reports a store holds unwritten before it holds the walk (ResultSink::Congested):
// both stores use it (the PostgreSQL store as its setting's default).
inline constexpr std::size_t MaxWaitingReports = 10000;

// What a store holds in memory, reported and not yet durable.
struct StoreBacklog {
  // Reports of every kind (rows, answers, failures, places, runs).
  std::uint64_t reports = 0;
  // Rows among them, and the lowest and highest of their shop IDs (nothing without rows).
  std::uint64_t rows = 0;
  std::optional<std::int32_t> lowestRow, highestRow;
  // Why the last write failed, while writing fails (nothing while it works).
  std::optional<StoreProblem> problem;
};

// The last run of a kind when it did not end cleanly: what its list held and where it was.
struct InterruptedRun {
  std::int64_t runId = 0;
  // The run's rows in the order they were appended to its list, with each shop's values as
  // stored now (a shop collected again since shows its latest values).
  std::vector<ShopRecord> rows;
  // The place: every shop ID the run handed out up to it has its answer on record.
  std::string place;
};

// A node of a shared walk, as registered (see results/pg_store.h).
struct WalkNodeSummary {
  std::int64_t nodeId = 0;
  std::string host;
  std::int64_t pid = 0;
  // Unix time in milliseconds.
  std::int64_t startedUnixMs = 0;
  std::int64_t lastSeenUnixMs = 0;
  // It ended cleanly (a node that died only stops being seen).
  bool stopped = false;
  // Shop IDs answered a second, as it measured last; the rate it was asked for (0: none given).
  double rate = 0;
  double pacedRate = 0;
  // Blocks it holds under a lease that has not expired, and blocks it finished.
  std::size_t blocksHeld = 0;
  std::size_t blocksDone = 0;
  // Why it stopped on its own (the pages no longer matched the markers), as recorded with
  // SharedWalk::NodeHeld; empty otherwise.
  std::string heldReason;
};

// The walk shared by several machines through one store: the current (latest) walk.
struct SharedWalkSummary {
  std::int64_t walkId = 0;
  std::int32_t firstId = 0;
  // The shared end; nothing: up to the highest shop ID.
  std::optional<std::int32_t> endId;
  // Where the next new block starts.
  std::int64_t nextNewId = 0;
  // Every ID of the walk up to here has an outcome (firstId - 1 when none has).
  std::int64_t place = 0;
  bool finished = false;
  int blockSize = 0;
  std::size_t blocksDone = 0;
  // Unfinished blocks under a live lease, and unfinished blocks whose lease expired (to be
  // claimed again).
  std::size_t blocksHeld = 0;
  std::size_t blocksExpired = 0;
  // Failed shops (of any walk) waiting for a retry: not yet due, due now, being retried under a
  // lease; and failed shops out of retry rounds.
  std::size_t failedWaiting = 0;
  std::size_t failedDue = 0;
  std::size_t failedRetrying = 0;
  std::size_t failedExhausted = 0;
  // Nodes of this walk, latest registered first.
  std::vector<WalkNodeSummary> nodes;
};

// A summary for status displays.
struct StoreSummary {
  std::size_t runs = 0;
  std::size_t rows = 0;  // shops with a row (one per shop)
  // The lowest and highest shop IDs with a row or an answer on record.
  std::optional<std::int32_t> lowestWalked, highestWalked;
  std::size_t failed = 0;
  // Failed shops by reason, most frequent first (equally frequent ones by reason).
  std::vector<std::pair<std::string, std::size_t>> failureReasons;
  // The newest shop with a row (the highest shop ID) and when it was first seen (Unix
  // milliseconds; nothing when the store does not know).
  std::optional<std::int32_t> newestShop;
  std::optional<std::int64_t> newestFirstSeenUnixMs;
};

// Where the engine's reports go and how they become durable: the part of a store a walk writes
// through. Congested() (see ResultSink) once MaxWaitingReports reports wait to be written (queued
// or being written, unless the store was opened with another bound); each store's header says when
// else.
class StoreSink : public ResultSink {
 public:
  // Writes everything reported so far and waits until it is durable (or `timeout` passes);
  // true when all of it is.
  virtual bool Flush(std::chrono::milliseconds timeout) = 0;
  // What waits to be written now. Cheap (no reading, no waiting): any thread may ask, a listener
  // too.
  virtual StoreBacklog Backlog() = 0;
  // The walk's place as last made durable by this object (a run begun with its first place, or a
  // place moved), nothing before one was (a continued run has none until its place moves). The
  // store commits reports in their order, so every shop ID the run handed out up to this place
  // has its outcome durable: a place saved elsewhere (config.ini) goes no further than this one.
  // Any thread, a listener too.
  virtual std::optional<std::string> DurablePlace() = 0;
  // Called (on the writer's thread) when a write fails, again whenever the problem or the number
  // of unwritten rows changes, and with an empty problem when writing works again; while writes
  // fail nothing reported is dropped: it waits in memory and is retried. A store opened for reading
  // refuses what is reported to it and says so here (NotWritable) on the reporting thread. A
  // listener must not call Flush or the reading members, nor destroy the store. Setting a listener
  // replaces the one before.
  virtual void OnTrouble(std::function<void(const std::optional<StoreProblem>&)> listener) = 0;
  // Called (on the writer's thread) after each commit with the number of rows reported so far
  // (RowAppended calls on this object) that are now durable. Same rules as OnTrouble.
  virtual void OnDurable(std::function<void(std::uint64_t durableRows)> listener) = 0;
  // What collects the rows reported from now on (ChangeSource::Walk until set): the store records
  // it with each change of a shop's fields. Any thread; rows reported before keep theirs.
  virtual void SetChangeSource(ChangeSource source) = 0;
  // The shop answered "no such shop" though it is listed: its row is kept, marked closed (checked
  // and closed at the time of the report, by the current change source); a shop closed already
  // keeps its closing time, and a shop without a row is left alone. A later row opens it again.
  // Any thread; queued in order with the other reports.
  virtual void ShopClosed(std::int32_t shopId) = 0;
};

// Runs, and putting an interrupted one back. A run lasts from BeginRun or ContinueRun until EndRun;
// what is reported in between belongs to it. A run that never got EndRun is interrupted: its
// program died, or the next BeginRun or ContinueRun came first. A kind's last run is the one begun
// or continued last. Outside a run, rows and answers are still kept (a row then belongs to no run's
// list), but a place is not: it is always a run's place. The reads say why they failed: a store
// that cannot be read never looks like one without a run.
class RunJournal {
 public:
  virtual ~RunJournal() = default;

  // The last run of `kind` if it was interrupted (the current run too, as it has not ended);
  // nothing when it was not.
  virtual Expected<std::optional<InterruptedRun>, StoreProblem> Interrupted(RunKind kind) = 0;
  // Starts a new run of `kind` (starting from `place`, its first place).
  virtual void BeginRun(RunKind kind, const std::string& place) = 0;
  // Goes on with an interrupted run: its rows are the start of the list again, and new rows are
  // appended after them. An unknown `runId` starts no run.
  virtual void ContinueRun(std::int64_t runId) = 0;
  // The run ended cleanly; `placeSaved` says whether its place went to config.ini (the window's
  // closing question) and is recorded, so a later start never contradicts the user's answer.
  // Outside a run it does nothing.
  virtual void EndRun(bool placeSaved) = 0;
  // The place of the last run of `kind` (interrupted or not); nothing when there was none.
  virtual Expected<std::optional<std::string>, StoreProblem> LastPlace(RunKind kind) = 0;
};

// Reading what a store holds. A read sees everything reported before the call (unless writing is
// failing, then what is written) as one consistent snapshot, also while a walk writes. A read that
// fails returns its problem (the store out of reach, locked, damaged): never an empty answer.
class StoreReader {
 public:
  virtual ~StoreReader() = default;

  // Every row (one per shop) in shop-ID order. `visit` must not call the store's reading members.
  // On a failure part of the rows may have been visited already.
  virtual Expected<void, StoreProblem> ForEachRow(
      const std::function<void(const ShopRecord&)>& visit) = 0;
  virtual Expected<StoreSummary, StoreProblem> Summary() = 0;
  // The failed shops on record, oldest failure first.
  virtual Expected<std::vector<FailedShop>, StoreProblem> ReadFailedShops() = 0;
};

// When a shop was first seen, last checked, last changed (a field's bytes) and closed, in Unix
// milliseconds of the clock the store was opened with.
struct ShopTimes {
  std::int64_t firstSeenMs = 0;
  std::int64_t checkedMs = 0;
  std::int64_t changedMs = 0;
  // Nothing while the shop is open.
  std::optional<std::int64_t> closedMs;
  // What collected its row last.
  ChangeSource checkedBy = ChangeSource::Walk;
};

// One change in a shop's history: a field's bytes (old and new, exactly as stored: GBK from the
// pages), or the shop closing or opening again (ClosedField, "open" and "closed").
struct ShopChange {
  std::int32_t shopId = 0;
  // ResultColumn (ShopNameColumn .. ShopAddressColumn) or ClosedField.
  int field = 0;
  std::string oldValue;
  std::string newValue;
  std::int64_t changedMs = 0;
  ChangeSource source = ChangeSource::Walk;
};
// The history's field number for a shop closing ("open" to "closed") or opening again.
inline constexpr int ClosedField = 6;
inline constexpr std::string_view OpenValue = "open";
inline constexpr std::string_view ClosedValue = "closed";

// A digest of a row's five fields (their bytes and lengths): two rows with the same digest hold the
// same fields but for a chance of about one in 2^64. For telling a row collected again from the
// one on record without keeping the fields.
inline std::uint64_t FieldsDigest(const ShopRecord& record) {
  std::uint64_t digest = 14695981039346656037ULL;  // FNV-1a
  const auto mix = [&digest](std::string_view bytes) {
    for (std::size_t shift = 0; shift < 64; shift += 8) {
      digest = (digest ^ ((bytes.size() >> shift) & 0xFF)) * 1099511628211ULL;
    }
    for (const char c : bytes) {
      digest = (digest ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
  };
  for (std::string_view field :
       {std::string_view(record.name), std::string_view(record.reputation),
        std::string_view(record.messenger), std::string_view(record.openingDate),
        std::string_view(record.address)}) {
    mix(field);
  }
  return digest;
}

// A listed shop due for a refresh, as the store holds it now.
struct ShopToRefresh {
  std::int32_t shopId = 0;
  bool closed = false;
  // FieldsDigest of its row.
  std::uint64_t fieldsDigest = 0;
};

// Which rows a reading by time selects.
enum class RowsSince {
  New,      // first seen at or after the time
  Changed,  // a field changed at or after the time (new shops are not counted as changed)
  Closed,   // closed at or after the time, and closed still
};

// Reading a shop list's freshness and history. Same promises as StoreReader.
class ShopHistoryReader {
 public:
  virtual ~ShopHistoryReader() = default;

  // Up to `count` listed shops (open or closed) last checked before `checkedBeforeMs`, the
  // longest unchecked first (equally old ones by shop ID); every such shop without a count.
  // Whether each is closed, and its row's digest, come with it.
  virtual Expected<std::vector<ShopToRefresh>, StoreProblem> ShopsToRefresh(
      std::int64_t checkedBeforeMs, std::optional<std::size_t> count) = 0;
  // Every row `kind` selects since `sinceMs`, in shop-ID order, with its times. `visit` must not
  // call the store's reading members; on a failure part of the rows may have been visited.
  virtual Expected<void, StoreProblem> ForEachRowSince(
      RowsSince kind, std::int64_t sinceMs,
      const std::function<void(const ShopRecord&, const ShopTimes&)>& visit) = 0;
  // Every change recorded at or after `sinceMs`, in the order they were recorded. As above.
  virtual Expected<void, StoreProblem> ForEachChange(
      std::int64_t sinceMs, const std::function<void(const ShopChange&)>& visit) = 0;
};

// A store: what every location offers (a walk's sink, its runs, reading, kept pages). Every member
// may be called from any thread; none throws (ForEachRow and ForEachKeptPage pass on what their
// visitors throw).
class ResultStore : public StoreSink,
                    public RunJournal,
                    public StoreReader,
                    public ShopHistoryReader,
                    public KeptPageStore {};

// The walk a node joined, as the store that shares it tells it.
struct JoinedSharedWalk {
  std::int64_t walkId = 0;
  std::int64_t firstId = 0;
  // The shared end after joining; nothing: up to the highest shop ID.
  std::optional<std::int64_t> endId;
  // This node began the walk.
  bool created = false;
  // A first ID was asked for but the walk existed already, with another one.
  bool fromIgnored = false;
  // A node not seen within a lease is taken for gone.
  std::chrono::milliseconds lease{0};
};

// A walk shared by several machines through one store: the store hands out the shop IDs (as the
// walk's WorkSource) and tells how the whole walk stands. Only a database store offers it.
class SharedWalk : public WorkSource {
 public:
  // Shop IDs a node claimed to write again (the rows cut again from kept pages), and those it
  // left alone. Each list is in ID order, its ranges both ends included and apart.
  struct IdRange {
    std::int32_t first = 0;
    std::int32_t last = 0;
  };
  struct RewriteClaim {
    // Held by this node under leases of its own (renewed while it is open, let go when it closes):
    // what it writes of these IDs lands unless it loses the lease; what it writes of others is
    // dropped, as for any node.
    std::vector<IdRange> held;
    // Held by a walking node (a block, or a failed shop tried again): never written by this one.
    std::vector<IdRange> busy;
  };

  virtual const JoinedSharedWalk& Joined() const = 0;
  // The current (latest) shared walk: a few small queries, for displays that ask now and then;
  // nothing when no walk was begun.
  virtual Expected<std::optional<SharedWalkSummary>, StoreProblem> WalkSummary() = 0;
  // Records why this node stopped on its own (the page-match guard held its walk), for status
  // displays: printable ASCII of it, at most MaxHeldReasonBytes. Fails opened for reading.
  virtual Expected<void, StoreProblem> NodeHeld(const std::string& reason) = 0;
  static constexpr std::size_t MaxHeldReasonBytes = 200;
  // Opened for rewriting (StoreMode::Rewriting): claims the IDs from `from` to `to` that a walk
  // handed out already (its blocks, finished or with a lease that ran out, and its failed shops no
  // node is trying again), so that this node alone writes them until it closes. IDs no walk handed
  // out are in neither list. Opened otherwise: nothing held (a walking node writes what it was
  // handed out). The store's problem when the claim cannot be made (nothing is then held).
  virtual Expected<RewriteClaim, StoreProblem> ClaimToRewrite(std::int32_t from,
                                                              std::int32_t to) = 0;
};

}  // namespace shopwalk
