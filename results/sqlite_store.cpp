#include "results/sqlite_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <system_error>
#include <utility>

#include "base/contained_error.h"
#include "results/answer_ranges.h"
#include "results/schema.h"

namespace shopwalk {
namespace {

// How long a connection waits for another's lock (a checkpoint, a reader starting up).
constexpr std::chrono::milliseconds BusyTimeout{5000};

std::string SystemWords(int error) {
  return std::error_code(error, std::generic_category()).message();
}

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsPermissionError(int error) {
  return error == EACCES || error == EPERM || error == EROFS;
}

bool IsNoSpaceError(int error) {
  return error == ENOSPC || error == EDQUOT;
}

StoreProblem::Kind KindOfSystemError(int error) {
  if (IsPermissionError(error)) return StoreProblem::Kind::NotWritable;
  if (IsNoSpaceError(error)) return StoreProblem::Kind::Full;
  return StoreProblem::Kind::Other;
}

bool SameProblem(const StoreProblem& a, const StoreProblem& b) {
  return a.kind == b.kind && a.path == b.path && a.reason == b.reason &&
         a.unwrittenRows == b.unwrittenRows;
}

std::int32_t ToShopId(std::int64_t value) {
  return static_cast<std::int32_t>(value);
}

// Why the walking lock of the store at `path` was not taken.
StoreProblem LockProblem(const std::string& path, const results::WalkingLock::Refusal& refusal) {
  if (refusal.error == EWOULDBLOCK) {
    const std::string holder =
        refusal.holder ? " (process " + std::to_string(*refusal.holder) + ")" : "";
    return StoreProblem{StoreProblem::Kind::InUse, path,
                        "another copy of the program" + holder +
                            " is walking with this store (it holds " + refusal.file + ")"};
  }
  if (refusal.error == ELOOP) {
    return StoreProblem{
        StoreProblem::Kind::Other, path,
        "the lock file is a symbolic link, which is not followed (" + refusal.file + ")"};
  }
  return StoreProblem{KindOfSystemError(refusal.error), path,
                      SystemWords(refusal.error) + " (" + refusal.file + ")"};
}

}  // namespace

// The writer's prepared statements, on the writer's connection.
struct SqliteStore::WriterStatements {
  sqlite::Statement upsertShop, appendRunRow, removeFailed, upsertFailed, setPlace, insertRun,
      cutOffRun, endRun, reopenRun, runExists, lastSequence;
  results::AnswerRanges ranges;

  sqlite::Status Prepare(sqlite::Connection& connection) {
    for (auto [statement, sql] : {
             std::pair{&upsertShop,
                       "INSERT INTO shops (shop_id, name, reputation, messenger, opening_date, "
                       "address, collected_ms, run_id) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) "
                       "ON CONFLICT (shop_id) DO UPDATE SET name = excluded.name, "
                       "reputation = excluded.reputation, messenger = excluded.messenger, "
                       "opening_date = excluded.opening_date, address = excluded.address, "
                       "collected_ms = excluded.collected_ms, run_id = excluded.run_id"},
             // OR REPLACE: a transaction written again after a commit that reported failure
             // but reached the disk puts the same rows in the same places.
             std::pair{
                 &appendRunRow,
                 "INSERT OR REPLACE INTO run_rows (run_id, seq, shop_id) VALUES (?1, ?2, ?3)"},
             std::pair{&removeFailed, "DELETE FROM failed_shops WHERE shop_id = ?1"},
             std::pair{&upsertFailed,
                       "INSERT INTO failed_shops (shop_id, attempts, reason, failed_ms, position) "
                       "VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (shop_id) DO UPDATE SET "
                       "attempts = excluded.attempts, reason = excluded.reason, "
                       "failed_ms = excluded.failed_ms, position = excluded.position"},
             std::pair{&setPlace, "UPDATE runs SET place = ?2 WHERE run_id = ?1"},
             std::pair{
                 &insertRun,
                 "INSERT OR REPLACE INTO runs (run_id, kind, started_ms, ended_ms, clean_end, "
                 "place, place_saved, opened_seq) VALUES (?1, ?2, ?3, NULL, 0, ?4, NULL, ?5)"},
             std::pair{&cutOffRun,
                       "UPDATE runs SET ended_ms = ?2 WHERE run_id = ?1 AND ended_ms IS NULL"},
             std::pair{&endRun,
                       "UPDATE runs SET ended_ms = ?2, clean_end = 1, place_saved = ?3 "
                       "WHERE run_id = ?1"},
             std::pair{&reopenRun,
                       "UPDATE runs SET ended_ms = NULL, clean_end = 0, place_saved = NULL, "
                       "opened_seq = ?2 WHERE run_id = ?1"},
             std::pair{&runExists, "SELECT 1 FROM runs WHERE run_id = ?1"},
             std::pair{&lastSequence,
                       "SELECT coalesce(max(seq), 0) FROM run_rows WHERE run_id = ?1"},
         }) {
      if (auto status = connection.Prepare(sql, *statement); !status) return status;
    }
    return ranges.Prepare(connection);
  }
};

namespace {

// Binds the values in order to ?1, ?2, ... and runs the statement.
class Binder {
 public:
  explicit Binder(sqlite::Statement& statement) : statement_(statement) { statement_.Reset(); }
  Binder& Int(std::int64_t value) {
    if (status_) status_ = statement_.BindInt64(++index_, value);
    return *this;
  }
  Binder& Bytes(std::string_view bytes) {
    if (status_) status_ = statement_.BindBlob(++index_, bytes);
    return *this;
  }
  Binder& Null() {
    if (status_) status_ = statement_.BindNull(++index_);
    return *this;
  }
  sqlite::Status Run() { return status_ ? statement_.Run() : status_; }
  // The first column of the first row as an integer; nothing when there is no row.
  sqlite::Status QueryInt64(std::optional<std::int64_t>& value) {
    value.reset();
    if (!status_) return status_;
    sqlite::Status status;
    if (statement_.NextRow(status)) {
      value = statement_.ColumnInt64(0);
      statement_.Reset();
    }
    return status;
  }

 private:
  sqlite::Statement& statement_;
  sqlite::Status status_;
  int index_ = 0;
};

ShopRecord RecordFromColumns(const sqlite::Statement& row) {
  ShopRecord record;
  record.shopId = ToShopId(row.ColumnInt64(0));
  record.name = row.ColumnBytes(1);
  record.reputation = row.ColumnBytes(2);
  record.messenger = row.ColumnBytes(3);
  record.openingDate = row.ColumnBytes(4);
  record.address = row.ColumnBytes(5);
  return record;
}

}  // namespace

SqliteStore::SqliteStore(std::string path, bool walking, Clock& clock)
    : path_(std::move(path)), walking_(walking), clock_(clock) {}

SqliteStore::~SqliteStore() {
  if (writerThread_.joinable()) {
    {
      std::lock_guard lock(queueMutex_);
      stopping_ = true;
      closeDeadline_ = clock_.After(CloseTimeout);
    }
    writerWakeup_.notify_all();
    writerThread_.join();
  }
  // The writing connection closes last: it checkpoints the log into the store and removes it.
  reader_ = sqlite::Connection();
  statements_.reset();
}

SqliteStore::Opening SqliteStore::Problem(StoreProblem problem) {
  Opening opening;
  opening.problem = std::move(problem);
  return opening;
}

SqliteStore::Opening SqliteStore::OpenForWalking(const std::string& path, Clock& clock) {
  if (path.empty()) return Problem({StoreProblem::Kind::Other, path, "no file name was given"});
  try {
    std::unique_ptr<SqliteStore> store(new SqliteStore(path, true, clock));
    if (auto problem = store->StartWalking()) return Problem(std::move(*problem));
    Opening opening;
    opening.store = std::move(store);
    return opening;
  } catch (const std::exception& error) {
    return Problem({StoreProblem::Kind::Other, path, error.what()});
  }
}

SqliteStore::Opening SqliteStore::OpenForReading(const std::string& path, Clock& clock) {
  if (path.empty()) return Problem({StoreProblem::Kind::Other, path, "no file name was given"});
  try {
    std::unique_ptr<SqliteStore> store(new SqliteStore(path, false, clock));
    if (auto problem = store->StartReading()) return Problem(std::move(*problem));
    Opening opening;
    opening.store = std::move(store);
    return opening;
  } catch (const std::exception& error) {
    return Problem({StoreProblem::Kind::Other, path, error.what()});
  }
}

StoreProblem SqliteStore::ProblemOf(const sqlite::Status& status) const {
  StoreProblem problem{StoreProblem::Kind::Other, path_, status.Describe()};
  int systemError = status.SystemError();
  switch (status.PrimaryCode()) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      problem.kind = StoreProblem::Kind::Corrupt;
      break;
    case SQLITE_FULL:
      problem.kind = StoreProblem::Kind::Full;
      break;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      problem.kind = StoreProblem::Kind::NotWritable;
      break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      problem.kind = StoreProblem::Kind::InUse;
      break;
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
      problem.kind = KindOfSystemError(systemError);
      break;
    default:
      break;
  }
  return problem;
}

std::optional<StoreProblem> SqliteStore::StartWalking() {
  if (results::WalkingLock::Refusal refusal; !lock_.Take(path_, refusal)) {
    return LockProblem(path_, refusal);
  }
  // SQLite keeps its log and its shared index in files beside the store.
  std::string folder = FolderOf(path_);
  if (::access(folder.c_str(), W_OK) != 0) {
    int folderError = errno;
    return StoreProblem{KindOfSystemError(folderError), path_,
                        SystemWords(folderError) + " (the folder " + folder + ")"};
  }

  if (auto status = writer_.Open(path_, sqlite::Connection::Access::ReadWriteCreate); !status) {
    return ProblemOf(status);
  }
  if (writer_.IsReadOnly()) {
    return StoreProblem{StoreProblem::Kind::NotWritable, path_, SystemWords(EACCES)};
  }
  if (auto status = writer_.SetBusyTimeout(BusyTimeout); !status) return ProblemOf(status);

  results::SchemaState schema = results::SchemaState::Empty;
  std::int64_t version = 0;
  if (auto status = results::InspectSchema(writer_, schema, version); !status) {
    return ProblemOf(status);
  }
  if (std::string unusable = results::DescribeUnusableSchema(schema, version); !unusable.empty()) {
    return StoreProblem{schema == results::SchemaState::Foreign ? StoreProblem::Kind::Corrupt
                                                                : StoreProblem::Kind::Other,
                        path_, unusable};
  }
  std::string journal;
  if (auto status = writer_.QueryBytes("PRAGMA journal_mode = WAL", journal); !status) {
    return ProblemOf(status);
  }
  if (journal != "wal") {
    return StoreProblem{StoreProblem::Kind::Other, path_,
                        "the store cannot keep a write-ahead log (journal mode " + journal + ")"};
  }
  // FULL: every commit reaches the disk before it counts as durable, so a power cut loses
  // nothing OnDurable reported (NORMAL would lose the commits since the last checkpoint).
  if (auto status = writer_.Execute("PRAGMA synchronous = FULL"); !status) return ProblemOf(status);
  {
    sqlite::Transaction transaction(writer_);
    if (auto status = transaction.Begin(sqlite::Transaction::Mode::Immediate); !status) {
      return ProblemOf(status);
    }
    // Read again under the write lock: another program may have changed the file meanwhile.
    if (auto status = results::InspectSchema(writer_, schema, version); !status) {
      return ProblemOf(status);
    }
    if (auto status = results::CreateOrUpgradeSchema(writer_, schema, version); !status) {
      return ProblemOf(status);
    }
    if (auto status = transaction.Commit(); !status) return ProblemOf(status);
  }
  std::int64_t lastRun = 0, lastOpened = 0, lastFailure = 0;
  if (auto status = writer_.QueryInt64("SELECT coalesce(max(run_id), 0) FROM runs", lastRun);
      !status) {
    return ProblemOf(status);
  }
  if (auto status = writer_.QueryInt64("SELECT coalesce(max(opened_seq), 0) FROM runs", lastOpened);
      !status) {
    return ProblemOf(status);
  }
  if (auto status =
          writer_.QueryInt64("SELECT coalesce(max(position), 0) FROM failed_shops", lastFailure);
      !status) {
    return ProblemOf(status);
  }
  state_.nextRunId = lastRun + 1;
  state_.nextOpenedSeq = lastOpened + 1;
  state_.nextFailurePosition = lastFailure + 1;
  statements_ = std::make_unique<WriterStatements>();
  if (auto status = statements_->Prepare(writer_); !status) return ProblemOf(status);

  if (auto problem = OpenReader()) return problem;
  writerThread_ = std::thread([this] { WriteLoop(); });
  return std::nullopt;
}

std::optional<StoreProblem> SqliteStore::StartReading() {
  if (auto problem = OpenReader()) return problem;
  results::SchemaState schema = results::SchemaState::Empty;
  std::int64_t version = 0;
  if (auto status = results::InspectSchema(reader_, schema, version); !status) {
    return ProblemOf(status);
  }
  switch (schema) {
    case results::SchemaState::Current:
      return std::nullopt;
    case results::SchemaState::Empty:
      return StoreProblem{StoreProblem::Kind::Corrupt, path_, "the file holds no results store"};
    case results::SchemaState::Foreign:
      return StoreProblem{StoreProblem::Kind::Corrupt, path_,
                          results::DescribeUnusableSchema(schema, version)};
    case results::SchemaState::Older:
      return StoreProblem{StoreProblem::Kind::Other, path_,
                          "the store has an earlier layout (" + std::to_string(version) +
                              "); opening it for walking upgrades it"};
    case results::SchemaState::Newer:
      break;
  }
  return StoreProblem{StoreProblem::Kind::Other, path_,
                      results::DescribeUnusableSchema(schema, version)};
}

std::optional<StoreProblem> SqliteStore::OpenReader() {
  if (auto status = reader_.Open(path_, sqlite::Connection::Access::ReadOnly); !status) {
    return ProblemOf(status);
  }
  if (auto status = reader_.SetBusyTimeout(BusyTimeout); !status) return ProblemOf(status);
  return std::nullopt;
}

// Reporting: queue and return.

void SqliteStore::Queue(Report report) {
  if (!walking_) {
    bool first = false;
    {
      std::lock_guard lock(queueMutex_);
      first = refused_++ == 0;
    }
    if (first) {
      listeners_.TellTrouble(
          StoreProblem{StoreProblem::Kind::NotWritable, path_,
                       "the store was opened for reading; reports to it are not kept"});
    }
    return;
  }
  report.queuedAt = clock_.Now();
  report.unixMs = UnixMs(clock_.CalendarNow());
  const bool mayWait = report.type == Report::Type::Answer || report.type == Report::Type::Place;
  report.due = report.queuedAt + (mayWait ? PlaceDelay : CommitDelay);
  bool wake = false;
  {
    std::lock_guard lock(queueMutex_);
    // The writer learns of an earlier deadline than the one it waits for.
    wake = queue_.empty() || queue_.size() + 1 == BatchSize || report.due < earliestDue_;
    earliestDue_ = queue_.empty() ? report.due : std::min(earliestDue_, report.due);
    if (report.type == Report::Type::Row) unwrittenRows_.insert(report.record.shopId);
    queue_.push_back(std::move(report));
    ++reported_;
  }
  if (wake) writerWakeup_.notify_one();
}

void SqliteStore::RowAppended(const ShopRecord& record) {
  Report report;
  report.type = Report::Type::Row;
  report.record = record;
  Queue(std::move(report));
}

void SqliteStore::Answered(std::int32_t shopId, ShopOutcome outcome) {
  Report report;
  if (outcome == ShopOutcome::NoShop || outcome == ShopOutcome::NoFields) {
    report.type = Report::Type::Answer;
    report.value = static_cast<std::int64_t>(outcome);
  } else {
    report.type = Report::Type::Failure;
  }
  report.id = shopId;
  Queue(std::move(report));
}

void SqliteStore::Failed(const FailedShop& shop) {
  Report report;
  report.type = Report::Type::Failure;
  report.id = shop.shopId;
  report.value = shop.attempts;
  report.text = shop.reason;
  Queue(std::move(report));
}

void SqliteStore::PlaceMoved(const std::string& place) {
  Report report;
  report.type = Report::Type::Place;
  report.text = place;
  Queue(std::move(report));
}

void SqliteStore::BeginRun(RunKind kind, const std::string& place) {
  Report report;
  report.type = Report::Type::BeginRun;
  report.value = static_cast<std::int64_t>(kind);
  report.text = place;
  Queue(std::move(report));
}

void SqliteStore::ContinueRun(std::int64_t runId) {
  Report report;
  report.type = Report::Type::ContinueRun;
  report.id = runId;
  Queue(std::move(report));
}

void SqliteStore::EndRun(bool placeSaved) {
  Report report;
  report.type = Report::Type::EndRun;
  report.value = placeSaved ? 1 : 0;
  Queue(std::move(report));
}

bool SqliteStore::Congested() const {
  std::lock_guard lock(queueMutex_);
  return reported_ - written_ >= MaxWaitingReports || (troubled_ && !unwrittenRows_.empty());
}

StoreBacklog SqliteStore::Backlog() {
  std::lock_guard lock(queueMutex_);
  StoreBacklog backlog;
  backlog.reports = reported_ - written_;
  backlog.rows = unwrittenRows_.size();
  if (!unwrittenRows_.empty()) {
    backlog.lowestRow = *unwrittenRows_.begin();
    backlog.highestRow = *unwrittenRows_.rbegin();
  }
  if (troubled_) backlog.problem = problem_;
  return backlog;
}

std::optional<std::string> SqliteStore::DurablePlace() {
  std::lock_guard lock(queueMutex_);
  return durablePlace_;
}

bool SqliteStore::Flush(std::chrono::milliseconds timeout) {
  std::unique_lock lock(queueMutex_);
  if (!walking_) return refused_ == 0;
  std::uint64_t target = reported_;
  if (written_ >= target) return true;
  flushWanted_ = std::max(flushWanted_, target);
  writerWakeup_.notify_one();
  return clock_.WaitFor(lock, progress_, timeout, [&] { return written_ >= target; });
}

void SqliteStore::OnTrouble(std::function<void(const std::optional<StoreProblem>&)> listener) {
  listeners_.OnTrouble(std::move(listener));
}

void SqliteStore::OnDurable(std::function<void(std::uint64_t durableRows)> listener) {
  listeners_.OnDurable(std::move(listener));
}

// The writer.

void SqliteStore::TakeBatch(std::vector<Report>& batch) {
  std::size_t count = std::min(queue_.size(), MaxTransactionReports);
  batch.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    batch.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  earliestDue_ = Clock::TimePoint::max();
  for (const Report& report : queue_) earliestDue_ = std::min(earliestDue_, report.due);
}

void SqliteStore::WriteLoop() {
  std::vector<Report> batch;
  for (;;) {
    {
      std::unique_lock lock(queueMutex_);
      if (batch.empty()) {
        writerWakeup_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        // Gather: until a report is due, enough wait, or someone waits. An earlier deadline
        // than the one waited for wakes the writer, which then waits for that one.
        for (;;) {
          const Clock::TimePoint due = earliestDue_;
          const bool woken = clock_.WaitUntil(lock, writerWakeup_, due, [&] {
            return stopping_ || queue_.size() >= BatchSize || flushWanted_ > written_ ||
                   earliestDue_ < due;
          });
          if (!woken || earliestDue_ >= due) break;
        }
        TakeBatch(batch);
      }
    }
    std::optional<StoreProblem> problem = WriteBatch(batch);
    if (!problem) {
      std::uint64_t rows = 0;
      for (const Report& report : batch) rows += report.type == Report::Type::Row ? 1 : 0;
      durableRows_ += rows;
      // The listeners hear of the commit before a Flush waiting for it returns.
      if (lastProblem_) {
        lastProblem_.reset();
        listeners_.TellTrouble(std::nullopt);
      }
      listeners_.TellDurable(durableRows_);
      {
        std::lock_guard lock(queueMutex_);
        written_ += batch.size();
        troubled_ = false;
        problem_.reset();
        Committed(batch);
      }
      progress_.notify_all();
      batch.clear();
      continue;
    }

    bool giveUp = false;
    std::size_t unwritten = 0;
    {
      std::lock_guard lock(queueMutex_);
      troubled_ = true;
      giveUp = stopping_ && clock_.Now() >= closeDeadline_;
      unwritten = batch.size() + queue_.size();
      problem->unwrittenRows = unwrittenRows_.size();
      problem_ = problem;
    }
    progress_.notify_all();
    if (giveUp) {
      problem->reason += "; closing the store, " + std::to_string(unwritten) +
                         " reports could not be written and are lost";
      listeners_.TellTrouble(problem);
      return;
    }
    if (!lastProblem_ || !SameProblem(*lastProblem_, *problem)) {
      lastProblem_ = problem;
      listeners_.TellTrouble(problem);
    }
    std::unique_lock lock(queueMutex_);
    // Not cut short by new reports or by closing, which keeps retrying until its deadline.
    clock_.WaitFor(lock, writerWakeup_, RetryDelay, [] { return false; });
  }
}

void SqliteStore::Committed(const std::vector<Report>& batch) {
  for (const Report& report : batch) {
    if (report.type != Report::Type::Row) continue;
    if (auto row = unwrittenRows_.find(report.record.shopId); row != unwrittenRows_.end()) {
      unwrittenRows_.erase(row);
    }
  }
  durablePlace_ = state_.place;
}

std::optional<StoreProblem> SqliteStore::WriteBatch(const std::vector<Report>& batch) {
  try {
    WriterState state = state_;
    sqlite::Transaction transaction(writer_);
    sqlite::Status status = transaction.Begin(sqlite::Transaction::Mode::Immediate);
    // The batch commits as one: a place that a later place of the same run replaces within it is
    // never seen, so it is not written.
    std::vector<bool> replaced(batch.size(), false);
    bool laterPlace = false;
    for (std::size_t i = batch.size(); i-- > 0;) {
      switch (batch[i].type) {
        case Report::Type::Place:
          replaced[i] = laterPlace;
          laterPlace = true;
          break;
        case Report::Type::BeginRun:
        case Report::Type::ContinueRun:
        case Report::Type::EndRun:
          laterPlace = false;
          break;
        default:
          break;
      }
    }
    for (std::size_t i = 0; status && i < batch.size(); ++i) {
      if (!replaced[i]) status = Apply(batch[i], state);
    }
    if (status) status = transaction.Commit();
    if (!status) return ProblemOf(status);
    state_ = state;
    return std::nullopt;
  } catch (const std::exception& error) {
    return StoreProblem{StoreProblem::Kind::Other, path_, error.what()};
  }
}

sqlite::Status SqliteStore::Apply(const Report& report, WriterState& state) {
  WriterStatements& s = *statements_;
  switch (report.type) {
    case Report::Type::Row: {
      const ShopRecord& record = report.record;
      Binder upsert(s.upsertShop);
      upsert.Int(record.shopId)
          .Bytes(record.name)
          .Bytes(record.reputation)
          .Bytes(record.messenger)
          .Bytes(record.openingDate)
          .Bytes(record.address)
          .Int(report.unixMs);
      if (state.currentRun) {
        upsert.Int(*state.currentRun);
      } else {
        upsert.Null();
      }
      if (auto status = upsert.Run(); !status) return status;
      if (state.currentRun) {
        if (auto status = Binder(s.appendRunRow)
                              .Int(*state.currentRun)
                              .Int(state.nextSequence)
                              .Int(record.shopId)
                              .Run();
            !status) {
          return status;
        }
        ++state.nextSequence;
      }
      if (auto status = s.ranges.Clear(record.shopId); !status) return status;
      return Binder(s.removeFailed).Int(record.shopId).Run();
    }
    case Report::Type::Answer:
      if (auto status = Binder(s.removeFailed).Int(report.id).Run(); !status) return status;
      return s.ranges.Set(report.id, report.value);
    case Report::Type::Failure:
      if (auto status = s.ranges.Clear(report.id); !status) return status;
      return Binder(s.upsertFailed)
          .Int(report.id)
          .Int(report.value)
          .Bytes(report.text)
          .Int(report.unixMs)
          .Int(state.nextFailurePosition++)
          .Run();
    case Report::Type::Place:
      // A place belongs to a run; outside one there is nothing to move.
      if (!state.currentRun) return {};
      state.place = report.text;
      return Binder(s.setPlace).Int(*state.currentRun).Bytes(report.text).Run();
    case Report::Type::BeginRun: {
      if (state.currentRun) {
        if (auto status = Binder(s.cutOffRun).Int(*state.currentRun).Int(report.unixMs).Run();
            !status) {
          return status;
        }
      }
      std::int64_t runId = state.nextRunId++;
      if (auto status = Binder(s.insertRun)
                            .Int(runId)
                            .Int(report.value)
                            .Int(report.unixMs)
                            .Bytes(report.text)
                            .Int(state.nextOpenedSeq++)
                            .Run();
          !status) {
        return status;
      }
      state.currentRun = runId;
      state.nextSequence = 1;
      state.place = report.text;
      return {};
    }
    case Report::Type::ContinueRun: {
      if (state.currentRun && *state.currentRun != report.id) {
        if (auto status = Binder(s.cutOffRun).Int(*state.currentRun).Int(report.unixMs).Run();
            !status) {
          return status;
        }
      }
      state.currentRun.reset();
      state.place.reset();
      std::optional<std::int64_t> exists, last;
      if (auto status = Binder(s.runExists).Int(report.id).QueryInt64(exists); !status) {
        return status;
      }
      if (!exists) return {};
      if (auto status = Binder(s.reopenRun).Int(report.id).Int(state.nextOpenedSeq++).Run();
          !status) {
        return status;
      }
      if (auto status = Binder(s.lastSequence).Int(report.id).QueryInt64(last); !status) {
        return status;
      }
      state.currentRun = report.id;
      state.nextSequence = last.value_or(0) + 1;
      return {};
    }
    case Report::Type::EndRun: {
      if (!state.currentRun) return {};
      std::int64_t runId = *state.currentRun;
      state.currentRun.reset();
      return Binder(s.endRun).Int(runId).Int(report.unixMs).Int(report.value).Run();
    }
  }
  return {};
}

// Reading.

void SqliteStore::CatchUp() {
  if (!walking_) return;
  std::unique_lock lock(queueMutex_);
  std::uint64_t target = reported_;
  if (written_ >= target) return;
  flushWanted_ = std::max(flushWanted_, target);
  writerWakeup_.notify_one();
  clock_.WaitFor(lock, progress_, ReadWaitLimit, [&] { return written_ >= target || troubled_; });
}

void SqliteStore::ReportReadFailure(const char* what, const sqlite::Status& status) const {
  std::fprintf(stderr, "shopwalk: results store %s: reading %s: %s\n", path_.c_str(), what,
               status.Describe().c_str());
}

namespace {

// A read transaction: what it reads is one snapshot of the store.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(sqlite::Connection& connection) : transaction_(connection) {
    status_ = transaction_.Begin(sqlite::Transaction::Mode::Deferred);
  }
  const sqlite::Status& Status() const { return status_; }

 private:
  sqlite::Transaction transaction_;
  sqlite::Status status_;
};

}  // namespace

std::vector<FailedShop> SqliteStore::FailedShops() {
  CatchUp();
  std::vector<FailedShop> failed;
  try {
    std::lock_guard lock(readMutex_);
    sqlite::Statement query;
    sqlite::Status status = reader_.Prepare(
        "SELECT shop_id, attempts, reason FROM failed_shops ORDER BY position", query);
    while (status && query.NextRow(status)) {
      failed.push_back({ToShopId(query.ColumnInt64(0)), static_cast<int>(query.ColumnInt64(1)),
                        query.ColumnBytes(2)});
    }
    if (!status) {
      ReportReadFailure("the failed shops", status);
      failed.clear();
    }
  } catch (...) {
    ReportContainedError("results store: reading the failed shops");
    failed.clear();
  }
  return failed;
}

std::optional<InterruptedRun> SqliteStore::Interrupted(RunKind kind) {
  CatchUp();
  try {
    std::lock_guard lock(readMutex_);
    ReadSnapshot snapshot(reader_);
    sqlite::Status status = snapshot.Status();
    sqlite::Statement lastRun, rows;
    if (status) {
      status = reader_.Prepare(
          "SELECT run_id, clean_end, place FROM runs WHERE kind = ?1 ORDER BY opened_seq DESC "
          "LIMIT 1",
          lastRun);
    }
    if (status) status = lastRun.BindInt64(1, static_cast<std::int64_t>(kind));
    std::optional<InterruptedRun> run;
    if (status && lastRun.NextRow(status) && lastRun.ColumnInt64(1) == 0) {
      run.emplace();
      run->runId = lastRun.ColumnInt64(0);
      run->place = lastRun.ColumnBytes(2);
    }
    if (status && run) {
      status = reader_.Prepare(
          "SELECT s.shop_id, s.name, s.reputation, s.messenger, s.opening_date, s.address "
          "FROM run_rows r JOIN shops s ON s.shop_id = r.shop_id WHERE r.run_id = ?1 "
          "ORDER BY r.seq",
          rows);
      if (status) status = rows.BindInt64(1, run->runId);
      while (status && rows.NextRow(status)) run->rows.push_back(RecordFromColumns(rows));
    }
    if (!status) {
      ReportReadFailure("the interrupted run", status);
      return std::nullopt;
    }
    return run;
  } catch (...) {
    ReportContainedError("results store: reading the interrupted run");
    return std::nullopt;
  }
}

std::optional<std::string> SqliteStore::LastPlace(RunKind kind) {
  CatchUp();
  try {
    std::lock_guard lock(readMutex_);
    sqlite::Statement query;
    sqlite::Status status = reader_.Prepare(
        "SELECT place FROM runs WHERE kind = ?1 ORDER BY opened_seq DESC LIMIT 1", query);
    if (status) status = query.BindInt64(1, static_cast<std::int64_t>(kind));
    std::optional<std::string> place;
    if (status && query.NextRow(status)) place = query.ColumnBytes(0);
    if (!status) {
      ReportReadFailure("the last place", status);
      return std::nullopt;
    }
    return place;
  } catch (...) {
    ReportContainedError("results store: reading the last place");
    return std::nullopt;
  }
}

void SqliteStore::ForEachRow(const std::function<void(const ShopRecord&)>& visit) {
  CatchUp();
  std::lock_guard lock(readMutex_);
  ReadSnapshot snapshot(reader_);
  sqlite::Status status = snapshot.Status();
  sqlite::Statement rows;
  if (status) {
    status = reader_.Prepare(
        "SELECT shop_id, name, reputation, messenger, opening_date, address FROM shops "
        "ORDER BY shop_id",
        rows);
  }
  while (status && rows.NextRow(status)) visit(RecordFromColumns(rows));
  if (!status) ReportReadFailure("the rows", status);
}

StoreSummary SqliteStore::Summary() {
  CatchUp();
  StoreSummary summary;
  try {
    std::lock_guard lock(readMutex_);
    ReadSnapshot snapshot(reader_);
    sqlite::Status status = snapshot.Status();
    auto count = [&](const char* sql) -> std::size_t {
      std::int64_t value = 0;
      if (status) status = reader_.QueryInt64(sql, value);
      return static_cast<std::size_t>(value);
    };
    summary.runs = count("SELECT count(*) FROM runs");
    summary.rows = count("SELECT count(*) FROM shops");
    summary.failed = count("SELECT count(*) FROM failed_shops");

    sqlite::Statement bounds, reasons;
    if (status) {
      // The highest range is the one starting highest: ranges never overlap.
      status = reader_.Prepare(
          "SELECT min(low), max(high) FROM ("
          "SELECT min(shop_id) AS low, max(shop_id) AS high FROM shops UNION ALL "
          "SELECT min(shop_id), max(shop_id) FROM failed_shops UNION ALL "
          "SELECT min(first_id), (SELECT last_id FROM answer_ranges ORDER BY first_id DESC "
          "LIMIT 1) FROM answer_ranges)",
          bounds);
    }
    if (status && bounds.NextRow(status)) {
      if (!bounds.ColumnIsNull(0)) summary.lowestWalked = ToShopId(bounds.ColumnInt64(0));
      if (!bounds.ColumnIsNull(1)) summary.highestWalked = ToShopId(bounds.ColumnInt64(1));
      bounds.Reset();
    }
    if (status) {
      status = reader_.Prepare(
          "SELECT reason, count(*) AS shops FROM failed_shops GROUP BY reason "
          "ORDER BY shops DESC, reason",
          reasons);
    }
    while (status && reasons.NextRow(status)) {
      summary.failureReasons.emplace_back(reasons.ColumnBytes(0),
                                          static_cast<std::size_t>(reasons.ColumnInt64(1)));
    }
    if (!status) {
      ReportReadFailure("the summary", status);
      return {};
    }
  } catch (...) {
    ReportContainedError("results store: reading the summary");
    return {};
  }
  return summary;
}

}  // namespace shopwalk
