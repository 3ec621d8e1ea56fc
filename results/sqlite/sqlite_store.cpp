#include "results/sqlite/sqlite_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <limits>
#include <map>
#include <system_error>
#include <utility>

#include "results/sqlite/answer_ranges.h"
#include "results/sqlite/schema.h"

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
      cutOffRun, endRun, reopenRun, runExists, lastSequence, keepDictionary, packedSizeOf, keepPage,
      addToTally, tally, oldestPages, newestPage, dropPages, countDropped, markRevisit,
      clearRevisit, closeShop;
  results::AnswerRanges ranges;

  sqlite::Status Prepare(sqlite::Connection& connection) {
    for (auto [statement, sql] : {
             std::pair{&upsertShop,
                       // A new shop is first seen and changed now; a known one changed now
                       // when a field's bytes differ (the history trigger records which), and
                       // is open again.
                       "INSERT INTO shops (shop_id, name, reputation, messenger, opening_date, "
                       "address, collected_ms, run_id, collected_by, first_seen_ms, changed_ms) "
                       "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?7, ?7) "
                       "ON CONFLICT (shop_id) DO UPDATE SET "
                       "changed_ms = CASE WHEN name IS NOT excluded.name OR "
                       "reputation IS NOT excluded.reputation OR "
                       "messenger IS NOT excluded.messenger OR "
                       "opening_date IS NOT excluded.opening_date OR "
                       "address IS NOT excluded.address THEN excluded.collected_ms "
                       "ELSE changed_ms END, "
                       "name = excluded.name, "
                       "reputation = excluded.reputation, messenger = excluded.messenger, "
                       "opening_date = excluded.opening_date, address = excluded.address, "
                       "collected_ms = excluded.collected_ms, run_id = excluded.run_id, "
                       "collected_by = excluded.collected_by, closed_ms = NULL"},
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
             std::pair{&keepDictionary,
                       "INSERT OR REPLACE INTO page_dictionaries (dictionary_id, bytes, kept_ms) "
                       "VALUES (?1, ?2, ?3)"},
             std::pair{&packedSizeOf,
                       "SELECT packed_bytes FROM kept_pages WHERE shop_id = ?1 AND kind = ?2"},
             // The page replaces the shop's page of its kind and takes the next kept_seq.
             std::pair{&keepPage,
                       "INSERT OR REPLACE INTO kept_pages (kept_seq, shop_id, kind, dictionary_id, "
                       "page_bytes, packed_bytes, bytes, kept_ms) "
                       "VALUES (NULL, ?1, ?2, ?3, ?4, ?5, ?6, ?7)"},
             std::pair{&addToTally, "UPDATE kept_page_tally SET packed_bytes = packed_bytes + ?1"},
             std::pair{&tally, "SELECT packed_bytes FROM kept_page_tally"},
             std::pair{&oldestPages,
                       "SELECT kept_seq, packed_bytes FROM kept_pages ORDER BY kept_seq"},
             std::pair{&newestPage, "SELECT max(kept_seq) FROM kept_pages"},
             std::pair{&dropPages, "DELETE FROM kept_pages WHERE kept_seq <= ?1"},
             std::pair{&markRevisit,
                       "INSERT INTO revisits (shop_id, marked_ms, position) VALUES (?1, ?2, ?3) "
                       "ON CONFLICT (shop_id) DO UPDATE SET marked_ms = excluded.marked_ms, "
                       "position = excluded.position"},
             std::pair{&clearRevisit, "DELETE FROM revisits WHERE shop_id = ?1"},
             // Checked now; a shop closed already keeps when it closed (the history trigger
             // records the closing).
             std::pair{&closeShop,
                       "UPDATE shops SET closed_ms = coalesce(closed_ms, ?2), collected_ms = ?2, "
                       "collected_by = ?3 WHERE shop_id = ?1"},
             std::pair{&countDropped,
                       "UPDATE kept_page_tally SET dropped = dropped + ?1, "
                       "packed_bytes = packed_bytes - ?2"},
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

// A LIMIT for at most `count` rows (-1: no limit).
std::int64_t LimitOf(std::optional<std::size_t> count) {
  if (!count) return -1;
  return static_cast<std::int64_t>(
      std::min<std::size_t>(*count, std::numeric_limits<std::int64_t>::max()));
}

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

namespace {

ReportQueueSettings QueueSettings(std::size_t maxWaitingReports) {
  ReportQueueSettings settings;
  settings.commitDelay = SqliteStore::CommitDelay;
  settings.placeDelay = SqliteStore::PlaceDelay;
  settings.batchSize = SqliteStore::BatchSize;
  settings.maxTransactionReports = SqliteStore::MaxTransactionReports;
  settings.retryDelay = SqliteStore::RetryDelay;
  settings.closeTimeout = SqliteStore::CloseTimeout;
  settings.maxWaitingReports = std::max<std::size_t>(1, maxWaitingReports);
  // A local file that refuses writes seldom recovers by itself within the walk.
  settings.holdRowsWhileFailing = true;
  return settings;
}

}  // namespace

SqliteStore::SqliteStore(std::string path, bool walking, std::size_t maxWaitingReports,
                         Clock& clock)
    : QueuedStore(path, QueueSettings(maxWaitingReports), ReadWaitLimit, clock),
      path_(std::move(path)),
      walking_(walking) {}

SqliteStore::~SqliteStore() {
  Queue().Close();
  // The writing connection closes last: it checkpoints the log into the store and removes it.
  reader_ = sqlite::Connection();
  statements_.reset();
}

SqliteStore::Opened SqliteStore::OpenForWalking(const std::string& path, Clock& clock,
                                                std::size_t maxWaitingReports) {
  return Open<SqliteStore>(
      path, path, "no file name was given",
      [&] {
        return std::unique_ptr<SqliteStore>(new SqliteStore(path, true, maxWaitingReports, clock));
      },
      [](SqliteStore& store) { return store.StartWalking(); });
}

SqliteStore::Opened SqliteStore::OpenForReading(const std::string& path, Clock& clock) {
  return Open<SqliteStore>(
      path, path, "no file name was given",
      [&] {
        return std::unique_ptr<SqliteStore>(new SqliteStore(path, false, MaxWaitingReports, clock));
      },
      [](SqliteStore& store) { return store.StartReading(); });
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

Expected<void, StoreProblem> SqliteStore::StartWalking() {
  if (results::WalkingLock::Refusal refusal; !lock_.Take(path_, refusal)) {
    return MakeUnexpected(LockProblem(path_, refusal));
  }
  // SQLite keeps its log and its shared index in files beside the store.
  std::string folder = FolderOf(path_);
  if (::access(folder.c_str(), W_OK) != 0) {
    int folderError = errno;
    return MakeUnexpected(StoreProblem{KindOfSystemError(folderError), path_,
                                       SystemWords(folderError) + " (the folder " + folder + ")"});
  }

  if (auto status = writer_.Open(path_, sqlite::Connection::Access::ReadWriteCreate); !status) {
    return MakeUnexpected(ProblemOf(status));
  }
  if (writer_.IsReadOnly()) {
    return MakeUnexpected(
        StoreProblem{StoreProblem::Kind::NotWritable, path_, SystemWords(EACCES)});
  }
  if (auto status = writer_.SetBusyTimeout(BusyTimeout); !status)
    return MakeUnexpected(ProblemOf(status));

  auto layout = results::InspectSchema(writer_);
  if (!layout) return MakeUnexpected(ProblemOf(layout.error()));
  if (auto usable = results::LayoutForWalking(*layout, results::StoreLayoutWords, path_); !usable) {
    return usable;
  }
  std::string journal;
  if (auto status = writer_.QueryBytes("PRAGMA journal_mode = WAL", journal); !status) {
    return MakeUnexpected(ProblemOf(status));
  }
  if (journal != "wal") {
    return MakeUnexpected(
        StoreProblem{StoreProblem::Kind::Other, path_,
                     "the store cannot keep a write-ahead log (journal mode " + journal + ")"});
  }
  // FULL: every commit reaches the disk before it counts as durable, so a power cut loses
  // nothing OnDurable reported (NORMAL would lose the commits since the last checkpoint).
  if (auto status = writer_.Execute("PRAGMA synchronous = FULL"); !status)
    return MakeUnexpected(ProblemOf(status));
  {
    sqlite::Transaction transaction(writer_);
    if (auto status = transaction.Begin(sqlite::Transaction::Mode::Immediate); !status) {
      return MakeUnexpected(ProblemOf(status));
    }
    // Read again under the write lock: another program may have changed the file meanwhile.
    layout = results::InspectSchema(writer_);
    if (!layout) return MakeUnexpected(ProblemOf(layout.error()));
    if (auto status = results::CreateOrUpgradeSchema(writer_, *layout); !status) {
      return MakeUnexpected(ProblemOf(status));
    }
    if (auto status = transaction.Commit(); !status) return MakeUnexpected(ProblemOf(status));
  }
  std::int64_t lastRun = 0, lastOpened = 0, lastFailure = 0;
  if (auto status = writer_.QueryInt64("SELECT coalesce(max(run_id), 0) FROM runs", lastRun);
      !status) {
    return MakeUnexpected(ProblemOf(status));
  }
  if (auto status = writer_.QueryInt64("SELECT coalesce(max(opened_seq), 0) FROM runs", lastOpened);
      !status) {
    return MakeUnexpected(ProblemOf(status));
  }
  if (auto status =
          writer_.QueryInt64("SELECT coalesce(max(position), 0) FROM failed_shops", lastFailure);
      !status) {
    return MakeUnexpected(ProblemOf(status));
  }
  std::int64_t lastDictionary = 0;
  if (auto status = writer_.QueryInt64(
          "SELECT max(coalesce((SELECT max(dictionary_id) FROM page_dictionaries), 0), "
          "coalesce((SELECT max(dictionary_id) FROM kept_pages), 0))",
          lastDictionary);
      !status) {
    return MakeUnexpected(ProblemOf(status));
  }
  nextDictionaryId_.store(static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(lastDictionary + 1, 1, std::numeric_limits<std::uint32_t>::max())));
  std::int64_t lastRevisit = 0;
  if (auto status =
          writer_.QueryInt64("SELECT coalesce(max(position), 0) FROM revisits", lastRevisit);
      !status) {
    return MakeUnexpected(ProblemOf(status));
  }
  state_.nextRevisitPosition = lastRevisit + 1;
  state_.nextRunId = lastRun + 1;
  state_.nextOpenedSeq = lastOpened + 1;
  state_.nextFailurePosition = lastFailure + 1;
  statements_ = std::make_unique<WriterStatements>();
  if (auto status = statements_->Prepare(writer_); !status)
    return MakeUnexpected(ProblemOf(status));

  if (auto opened = OpenReader(); !opened) return opened;
  Queue().Start(*this);
  return {};
}

Expected<void, StoreProblem> SqliteStore::StartReading() {
  if (auto opened = OpenReader(); !opened) return opened;
  auto layout = results::InspectSchema(reader_);
  if (!layout) return MakeUnexpected(ProblemOf(layout.error()));
  return results::LayoutForReading(*layout, results::StoreLayoutWords, path_);
}

Expected<void, StoreProblem> SqliteStore::OpenReader() {
  if (auto status = reader_.Open(path_, sqlite::Connection::Access::ReadOnly); !status) {
    return MakeUnexpected(ProblemOf(status));
  }
  if (auto status = reader_.SetBusyTimeout(BusyTimeout); !status)
    return MakeUnexpected(ProblemOf(status));
  return {};
}

// Reporting: queue and return.

void SqliteStore::ContinueRun(std::int64_t runId) {
  Queue().Push(reports::ContinueRun{runId});
}

// The writer.

Expected<BatchWriter::Written, StoreProblem> SqliteStore::WriteBatch(
    std::span<QueuedReport> batch) {
  try {
    WriterState state = state_;
    sqlite::Transaction transaction(writer_);
    sqlite::Status status = transaction.Begin(sqlite::Transaction::Mode::Immediate);
    bool pagesKept = false;
    for (std::size_t i = 0; status && i < batch.size(); ++i) {
      status = Apply(batch[i], state);
      pagesKept = pagesKept || std::holds_alternative<reports::KeptPage>(batch[i].report);
    }
    if (const std::uint64_t budget = KeptPagesBudget(); status && pagesKept && budget > 0) {
      status = KeepWithinBudget(budget);
    }
    if (status) status = transaction.Commit();
    if (!status) return MakeUnexpected(ProblemOf(status));
    state_ = std::move(state);
    return Written{state_.place};
  } catch (const std::exception& error) {
    return MakeUnexpected(StoreProblem{StoreProblem::Kind::Other, path_, error.what()});
  }
}

sqlite::Status SqliteStore::Apply(const QueuedReport& queued, WriterState& state) {
  WriterStatements& s = *statements_;
  // Ends the current run without a clean end (a run begun or continued before it ended).
  auto cutOff = [&](std::int64_t runId) {
    return Binder(s.cutOffRun).Int(runId).Int(queued.unixMs).Run();
  };
  return std::visit(
      Overloaded{
          [&](const reports::Row& row) -> sqlite::Status {
            const ShopRecord& record = row.record;
            Binder upsert(s.upsertShop);
            upsert.Int(record.shopId)
                .Bytes(record.name)
                .Bytes(record.reputation)
                .Bytes(record.messenger)
                .Bytes(record.openingDate)
                .Bytes(record.address)
                .Int(queued.unixMs);
            if (state.currentRun) {
              upsert.Int(*state.currentRun);
            } else {
              upsert.Null();
            }
            upsert.Int(static_cast<std::int64_t>(row.source));
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
            if (auto status = Binder(s.clearRevisit).Int(record.shopId).Run(); !status) {
              return status;
            }
            return Binder(s.removeFailed).Int(record.shopId).Run();
          },
          [&](const reports::Answer& answer) -> sqlite::Status {
            if (auto status = Binder(s.removeFailed).Int(answer.shopId).Run(); !status) {
              return status;
            }
            if (auto status = Binder(s.clearRevisit).Int(answer.shopId).Run(); !status) {
              return status;
            }
            return s.ranges.Set(answer.shopId, static_cast<std::int64_t>(answer.outcome));
          },
          [&](const reports::Failure& failure) -> sqlite::Status {
            const FailedShop& shop = failure.shop;
            if (auto status = s.ranges.Clear(shop.shopId); !status) return status;
            if (auto status = Binder(s.clearRevisit).Int(shop.shopId).Run(); !status) {
              return status;
            }
            return Binder(s.upsertFailed)
                .Int(shop.shopId)
                .Int(shop.attempts)
                .Bytes(shop.reason)
                .Int(queued.unixMs)
                .Int(state.nextFailurePosition++)
                .Run();
          },
          [&](const reports::Place& place) -> sqlite::Status {
            // A place belongs to a run; outside one there is nothing to move.
            if (!state.currentRun) return {};
            state.place = place.place;
            return Binder(s.setPlace).Int(*state.currentRun).Bytes(place.place).Run();
          },
          [&](const reports::BeginRun& begin) -> sqlite::Status {
            if (state.currentRun) {
              if (auto status = cutOff(*state.currentRun); !status) return status;
            }
            const std::int64_t runId = state.nextRunId++;
            if (auto status = Binder(s.insertRun)
                                  .Int(runId)
                                  .Int(static_cast<std::int64_t>(begin.kind))
                                  .Int(queued.unixMs)
                                  .Bytes(begin.place)
                                  .Int(state.nextOpenedSeq++)
                                  .Run();
                !status) {
              return status;
            }
            state.currentRun = runId;
            state.nextSequence = 1;
            state.place = begin.place;
            return {};
          },
          [&](const reports::ContinueRun& next) -> sqlite::Status {
            if (state.currentRun && *state.currentRun != next.runId) {
              if (auto status = cutOff(*state.currentRun); !status) return status;
            }
            state.currentRun.reset();
            state.place.reset();
            std::optional<std::int64_t> exists, last;
            if (auto status = Binder(s.runExists).Int(next.runId).QueryInt64(exists); !status) {
              return status;
            }
            if (!exists) return {};
            if (auto status = Binder(s.reopenRun).Int(next.runId).Int(state.nextOpenedSeq++).Run();
                !status) {
              return status;
            }
            if (auto status = Binder(s.lastSequence).Int(next.runId).QueryInt64(last); !status) {
              return status;
            }
            state.currentRun = next.runId;
            state.nextSequence = last.value_or(0) + 1;
            return {};
          },
          [&](const reports::EndRun& end) -> sqlite::Status {
            if (!state.currentRun) return {};
            const std::int64_t runId = *state.currentRun;
            state.currentRun.reset();
            return Binder(s.endRun).Int(runId).Int(queued.unixMs).Int(end.placeSaved ? 1 : 0).Run();
          },
          [&](const reports::Closed& closed) -> sqlite::Status {
            // Answered: it leaves the failed list and its mark goes.
            if (auto status = Binder(s.removeFailed).Int(closed.shopId).Run(); !status) {
              return status;
            }
            if (auto status = Binder(s.clearRevisit).Int(closed.shopId).Run(); !status) {
              return status;
            }
            return Binder(s.closeShop)
                .Int(closed.shopId)
                .Int(queued.unixMs)
                .Int(static_cast<std::int64_t>(closed.source))
                .Run();
          },
          [&](const reports::Revisit& mark) -> sqlite::Status {
            // The mark replaces the shop's answer or failure on record (a row stays).
            if (auto status = s.ranges.Clear(mark.shopId); !status) return status;
            if (auto status = Binder(s.removeFailed).Int(mark.shopId).Run(); !status) {
              return status;
            }
            return Binder(s.markRevisit)
                .Int(mark.shopId)
                .Int(queued.unixMs)
                .Int(state.nextRevisitPosition++)
                .Run();
          },
          [&](const reports::KeptDictionary& kept) -> sqlite::Status {
            return Binder(s.keepDictionary)
                .Int(kept.dictionary.id)
                .Bytes(kept.dictionary.bytes)
                .Int(queued.unixMs)
                .Run();
          },
          [&](const reports::KeptPage& kept) -> sqlite::Status {
            const PackedPage& page = kept.page;
            const auto kind = static_cast<std::int64_t>(page.kind);
            std::optional<std::int64_t> replaced;
            if (auto status =
                    Binder(s.packedSizeOf).Int(page.shopId).Int(kind).QueryInt64(replaced);
                !status) {
              return status;
            }
            const auto packed = static_cast<std::int64_t>(page.bytes.size());
            if (auto status = Binder(s.keepPage)
                                  .Int(page.shopId)
                                  .Int(kind)
                                  .Int(page.dictionaryId)
                                  .Int(static_cast<std::int64_t>(page.pageBytes))
                                  .Int(packed)
                                  .Bytes(page.bytes)
                                  .Int(queued.unixMs)
                                  .Run();
                !status) {
              return status;
            }
            return Binder(s.addToTally).Int(packed - replaced.value_or(0)).Run();
          },
      },
      queued.report);
}

sqlite::Status SqliteStore::KeepWithinBudget(std::uint64_t budget) {
  WriterStatements& s = *statements_;
  std::optional<std::int64_t> total, newest;
  if (auto status = Binder(s.tally).QueryInt64(total); !status) return status;
  if (!total || static_cast<std::uint64_t>(std::max<std::int64_t>(*total, 0)) <= budget) return {};
  if (auto status = Binder(s.newestPage).QueryInt64(newest); !status) return status;
  // The oldest pages up to the last one that must go to fit; never the newest.
  const std::uint64_t excess = static_cast<std::uint64_t>(*total) - budget;
  std::uint64_t freed = 0;
  std::int64_t dropped = 0;
  std::optional<std::int64_t> cutOff;
  sqlite::Status status;
  s.oldestPages.Reset();
  while (freed < excess && s.oldestPages.NextRow(status)) {
    const std::int64_t seq = s.oldestPages.ColumnInt64(0);
    if (newest && seq >= *newest) break;
    freed += static_cast<std::uint64_t>(std::max<std::int64_t>(s.oldestPages.ColumnInt64(1), 0));
    ++dropped;
    cutOff = seq;
  }
  s.oldestPages.Reset();
  if (!status || !cutOff) return status;
  if (auto deleted = Binder(s.dropPages).Int(*cutOff).Run(); !deleted) return deleted;
  return Binder(s.countDropped).Int(dropped).Int(static_cast<std::int64_t>(freed)).Run();
}

// Reading.

StoreProblem SqliteStore::ReadProblem(const char* what, const sqlite::Status& status) const {
  StoreProblem problem = ProblemOf(status);
  problem.reason = std::string("reading ") + what + ": " + problem.reason;
  return problem;
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
  return ReadFailedShops().value_or(std::vector<FailedShop>{});
}

std::vector<std::int32_t> SqliteStore::ShopsToRevisit() {
  auto marked =
      Reading("the shops to revisit", [&]() -> Expected<std::vector<std::int32_t>, StoreProblem> {
        std::vector<std::int32_t> shops;
        sqlite::Statement query;
        sqlite::Status status =
            reader_.Prepare("SELECT shop_id FROM revisits ORDER BY position", query);
        while (status && query.NextRow(status)) shops.push_back(ToShopId(query.ColumnInt64(0)));
        if (!status) return MakeUnexpected(ReadProblem("the shops to revisit", status));
        return shops;
      });
  return marked.value_or(std::vector<std::int32_t>{});
}

PageMatchHistory SqliteStore::PageHistory() {
  auto history = Reading("the page history", [&]() -> Expected<PageMatchHistory, StoreProblem> {
    ReadSnapshot snapshot(reader_);
    sqlite::Status status = snapshot.Status();
    sqlite::Statement query;
    PageMatchHistory history;
    // Answers are ranges: the IDs of each at or below the highest row count.
    if (status) {
      status = reader_.Prepare(
          "WITH highest AS (SELECT max(shop_id) AS id FROM shops) "
          "SELECT (SELECT id FROM highest), (SELECT count(*) FROM shops), "
          "(SELECT count(*) FROM shops WHERE (reputation = CAST('0' AS BLOB) OR "
          "length(reputation) = 0) AND length(opening_date) = 0), "
          "(SELECT coalesce(sum(min(last_id, h.id) - first_id + 1), 0) FROM answer_ranges, "
          "highest h WHERE outcome = 2 AND first_id <= h.id), "
          "(SELECT coalesce(sum(min(last_id, h.id) - first_id + 1), 0) FROM answer_ranges, "
          "highest h WHERE outcome = 1 AND first_id <= h.id)",
          query);
    }
    if (status && query.NextRow(status) && !query.ColumnIsNull(0)) {
      history.highestShopId = ToShopId(query.ColumnInt64(0));
      history.rows = query.ColumnInt64(1);
      history.ratingEmpty = query.ColumnInt64(2);
      history.noFields = query.ColumnInt64(3);
      history.withoutNotice = history.rows + history.noFields;
      history.noShopBelowHighest = query.ColumnInt64(4);
      history.belowHighest = history.withoutNotice + history.noShopBelowHighest;
    }
    query.Reset();
    if (status) status = ReadLatestAnswers(history.latest);
    if (!status) return MakeUnexpected(ReadProblem("the page history", status));
    return history;
  });
  return history.value_or(PageMatchHistory{});
}

sqlite::Status SqliteStore::ReadLatestAnswers(std::vector<PageMatchHistory::LatestAnswer>& latest) {
  // The highest IDs with a row, and the highest answered ones (a row wins over an answer of the
  // same ID), above the highest shop marked to revisit, then the failures among them left out.
  // Below a mark a guard has judged the answers already, and its marks took the answers it did
  // not trust out of them: what is left there is no fair sample of the pages.
  constexpr auto Most = static_cast<std::int64_t>(PageMatchHistory::MaxLatest);
  std::map<std::int32_t, PageMatchHistory::LatestAnswer> found;
  std::int64_t highestMark = -1;
  sqlite::Status status =
      reader_.QueryInt64("SELECT coalesce(max(shop_id), -1) FROM revisits", highestMark);
  sqlite::Statement query;
  if (status) {
    status = reader_.Prepare(
        "SELECT shop_id, (reputation = CAST('0' AS BLOB) OR length(reputation) = 0) AND "
        "length(opening_date) = 0 FROM shops WHERE shop_id > ?2 ORDER BY shop_id DESC LIMIT ?1",
        query);
  }
  if (status) status = query.BindInt64(1, Most);
  if (status) status = query.BindInt64(2, highestMark);
  while (status && query.NextRow(status)) {
    const std::int32_t id = ToShopId(query.ColumnInt64(0));
    found[id] = {id, HomeAnswer::Row, query.ColumnInt64(1) != 0};
  }
  query.Reset();
  if (status) {
    status = reader_.Prepare(
        "SELECT first_id, last_id, outcome FROM answer_ranges ORDER BY first_id DESC", query);
  }
  std::int64_t answers = 0;
  while (status && answers < Most && query.NextRow(status)) {
    const HomeAnswer answer = query.ColumnInt64(2) == static_cast<std::int64_t>(ShopOutcome::NoShop)
                                  ? HomeAnswer::NoShop
                                  : HomeAnswer::NoFields;
    for (std::int64_t id = query.ColumnInt64(1);
         id >= query.ColumnInt64(0) && id > highestMark && answers < Most; --id, ++answers) {
      found.try_emplace(ToShopId(id), PageMatchHistory::LatestAnswer{ToShopId(id), answer, false});
    }
  }
  query.Reset();
  while (found.size() > PageMatchHistory::MaxLatest) found.erase(found.begin());
  if (!status || found.empty()) return status;
  status = reader_.Prepare("SELECT shop_id FROM failed_shops WHERE shop_id >= ?1", query);
  if (status) status = query.BindInt64(1, found.begin()->first);
  while (status && query.NextRow(status)) found.erase(ToShopId(query.ColumnInt64(0)));
  query.Reset();
  for (const auto& [id, answer] : found) latest.push_back(answer);
  return status;
}

Expected<std::vector<FailedShop>, StoreProblem> SqliteStore::ReadFailedShops() {
  return Reading("the failed shops", [&]() -> Expected<std::vector<FailedShop>, StoreProblem> {
    std::vector<FailedShop> failed;
    sqlite::Statement query;
    sqlite::Status status = reader_.Prepare(
        "SELECT shop_id, attempts, reason FROM failed_shops ORDER BY position", query);
    while (status && query.NextRow(status)) {
      failed.push_back({ToShopId(query.ColumnInt64(0)), static_cast<int>(query.ColumnInt64(1)),
                        query.ColumnBytes(2)});
    }
    if (!status) return MakeUnexpected(ReadProblem("the failed shops", status));
    return failed;
  });
}

Expected<std::optional<InterruptedRun>, StoreProblem> SqliteStore::Interrupted(RunKind kind) {
  return Reading(
      "the interrupted run", [&]() -> Expected<std::optional<InterruptedRun>, StoreProblem> {
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
        if (!status) return MakeUnexpected(ReadProblem("the interrupted run", status));
        return run;
      });
}

Expected<std::optional<std::string>, StoreProblem> SqliteStore::LastPlace(RunKind kind) {
  return Reading("the last place", [&]() -> Expected<std::optional<std::string>, StoreProblem> {
    sqlite::Statement query;
    sqlite::Status status = reader_.Prepare(
        "SELECT place FROM runs WHERE kind = ?1 ORDER BY opened_seq DESC LIMIT 1", query);
    if (status) status = query.BindInt64(1, static_cast<std::int64_t>(kind));
    std::optional<std::string> place;
    if (status && query.NextRow(status)) place = query.ColumnBytes(0);
    if (!status) return MakeUnexpected(ReadProblem("the last place", status));
    return place;
  });
}

Expected<void, StoreProblem> SqliteStore::ForEachRow(
    const std::function<void(const ShopRecord&)>& visit) {
  return Reading("the rows", [&]() -> Expected<void, StoreProblem> {
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
    if (!status) return MakeUnexpected(ReadProblem("the rows", status));
    return {};
  });
}

Expected<std::vector<ShopToRefresh>, StoreProblem> SqliteStore::ShopsToRefresh(
    std::int64_t checkedBeforeMs, std::optional<std::size_t> count) {
  return Reading(
      "the shops to refresh", [&]() -> Expected<std::vector<ShopToRefresh>, StoreProblem> {
        std::vector<ShopToRefresh> shops;
        sqlite::Statement query;
        sqlite::Status status = reader_.Prepare(
            "SELECT shop_id, name, reputation, messenger, opening_date, address, "
            "closed_ms IS NOT NULL FROM shops WHERE collected_ms < ?1 "
            "ORDER BY collected_ms, shop_id LIMIT ?2",
            query);
        if (status) status = query.BindInt64(1, checkedBeforeMs);
        if (status) status = query.BindInt64(2, LimitOf(count));
        while (status && query.NextRow(status)) {
          const ShopRecord record = RecordFromColumns(query);
          shops.push_back({record.shopId, query.ColumnInt64(6) != 0, FieldsDigest(record)});
        }
        if (!status) return MakeUnexpected(ReadProblem("the shops to refresh", status));
        return shops;
      });
}

Expected<void, StoreProblem> SqliteStore::ForEachRowSince(
    RowsSince kind, std::int64_t sinceMs,
    const std::function<void(const ShopRecord&, const ShopTimes&)>& visit) {
  return Reading("the rows", [&]() -> Expected<void, StoreProblem> {
    ReadSnapshot snapshot(reader_);
    sqlite::Status status = snapshot.Status();
    sqlite::Statement rows;
    const char* selection = kind == RowsSince::New ? "first_seen_ms >= ?1"
                            : kind == RowsSince::Changed
                                ? "changed_ms >= ?1 AND changed_ms > first_seen_ms"
                                : "closed_ms >= ?1";
    if (status) {
      status = reader_.Prepare(
          std::string("SELECT shop_id, name, reputation, messenger, opening_date, address, "
                      "first_seen_ms, collected_ms, changed_ms, closed_ms, collected_by FROM shops "
                      "WHERE ") +
              selection + " ORDER BY shop_id",
          rows);
    }
    if (status) status = rows.BindInt64(1, sinceMs);
    while (status && rows.NextRow(status)) {
      ShopTimes times;
      times.firstSeenMs = rows.ColumnInt64(6);
      times.checkedMs = rows.ColumnInt64(7);
      times.changedMs = rows.ColumnInt64(8);
      if (!rows.ColumnIsNull(9)) times.closedMs = rows.ColumnInt64(9);
      times.checkedBy = ChangeSourceOf(rows.ColumnInt64(10)).value_or(ChangeSource::Walk);
      visit(RecordFromColumns(rows), times);
    }
    if (!status) return MakeUnexpected(ReadProblem("the rows", status));
    return {};
  });
}

Expected<void, StoreProblem> SqliteStore::ForEachChange(
    std::int64_t sinceMs, const std::function<void(const ShopChange&)>& visit) {
  return Reading("the history", [&]() -> Expected<void, StoreProblem> {
    sqlite::Statement changes;
    sqlite::Status status = reader_.Prepare(
        "SELECT shop_id, field, old_value, new_value, changed_ms, source FROM shop_changes "
        "WHERE changed_ms >= ?1 ORDER BY change_seq",
        changes);
    if (status) status = changes.BindInt64(1, sinceMs);
    while (status && changes.NextRow(status)) {
      ShopChange change;
      change.shopId = ToShopId(changes.ColumnInt64(0));
      const std::int64_t field = changes.ColumnInt64(1);
      const std::optional<ChangeSource> source = ChangeSourceOf(changes.ColumnInt64(5));
      if (field < ShopNameColumn || field > ClosedField || !source) {
        status =
            sqlite::Status(SQLITE_CORRUPT, "a change of shop " + std::to_string(change.shopId) +
                                               " has an unknown field or source");
        break;
      }
      change.field = static_cast<int>(field);
      change.oldValue = changes.ColumnBytes(2);
      change.newValue = changes.ColumnBytes(3);
      change.changedMs = changes.ColumnInt64(4);
      change.source = *source;
      visit(change);
    }
    if (!status) return MakeUnexpected(ReadProblem("the history", status));
    return {};
  });
}

Expected<StoreSummary, StoreProblem> SqliteStore::Summary() {
  return Reading("the summary", [&]() -> Expected<StoreSummary, StoreProblem> {
    StoreSummary summary;
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

    sqlite::Statement bounds, reasons, newest;
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
    if (status) {
      status = reader_.Prepare(
          "SELECT shop_id, first_seen_ms FROM shops ORDER BY shop_id DESC LIMIT 1", newest);
    }
    if (status && newest.NextRow(status)) {
      summary.newestShop = ToShopId(newest.ColumnInt64(0));
      if (!newest.ColumnIsNull(1)) summary.newestFirstSeenUnixMs = newest.ColumnInt64(1);
      newest.Reset();
    }
    if (!status) return MakeUnexpected(ReadProblem("the summary", status));
    return summary;
  });
}

Expected<std::uint32_t, StoreProblem> SqliteStore::NewDictionaryId() {
  if (!walking_) {
    return MakeUnexpected(
        StoreProblem{StoreProblem::Kind::NotWritable, path_, "the store is open for reading only"});
  }
  return nextDictionaryId_.fetch_add(1);
}

Expected<void, StoreProblem> SqliteStore::ForEachKeptPage(
    std::int32_t from, std::int32_t to,
    const std::function<void(const PackedPage&, const PageDictionary*)>& visit) {
  return Reading("the kept pages", [&]() -> Expected<void, StoreProblem> {
    ReadSnapshot snapshot(reader_);
    sqlite::Status status = snapshot.Status();
    std::map<std::uint32_t, PageDictionary> dictionaries;
    sqlite::Statement query;
    if (status) {
      status = reader_.Prepare("SELECT dictionary_id, bytes FROM page_dictionaries", query);
    }
    while (status && query.NextRow(status)) {
      const std::int64_t id = query.ColumnInt64(0);
      if (id <= 0 || id > std::numeric_limits<std::uint32_t>::max()) continue;
      const auto key = static_cast<std::uint32_t>(id);
      dictionaries[key] = PageDictionary{key, query.ColumnBytes(1)};
    }
    sqlite::Statement pages;
    if (status) {
      status = reader_.Prepare(
          "SELECT shop_id, kind, dictionary_id, page_bytes, bytes FROM kept_pages "
          "WHERE shop_id BETWEEN ?1 AND ?2 ORDER BY shop_id, kind",
          pages);
    }
    if (status) status = pages.BindInt64(1, from);
    if (status) status = pages.BindInt64(2, to);
    while (status && pages.NextRow(status)) {
      const std::int64_t kind = pages.ColumnInt64(1);
      const std::int64_t dictionary = pages.ColumnInt64(2);
      if ((kind != static_cast<std::int64_t>(PageKind::Home) &&
           kind != static_cast<std::int64_t>(PageKind::Rating)) ||
          dictionary < 0 || dictionary > std::numeric_limits<std::uint32_t>::max()) {
        status = sqlite::Status(SQLITE_CORRUPT, "a kept page of shop " +
                                                    std::to_string(pages.ColumnInt64(0)) +
                                                    " has an unknown kind or dictionary");
        break;
      }
      PackedPage page;
      page.shopId = ToShopId(pages.ColumnInt64(0));
      page.kind = static_cast<PageKind>(kind);
      page.dictionaryId = static_cast<std::uint32_t>(dictionary);
      page.pageBytes = static_cast<std::size_t>(std::max<std::int64_t>(pages.ColumnInt64(3), 0));
      page.bytes = pages.ColumnBytes(4);
      auto found = dictionaries.find(page.dictionaryId);
      visit(page, found == dictionaries.end() ? nullptr : &found->second);
    }
    if (!status) return MakeUnexpected(ReadProblem("the kept pages", status));
    return {};
  });
}

Expected<KeptPagesSummary, StoreProblem> SqliteStore::KeptPages() {
  return Reading("the kept pages", [&]() -> Expected<KeptPagesSummary, StoreProblem> {
    ReadSnapshot snapshot(reader_);
    sqlite::Status status = snapshot.Status();
    sqlite::Statement query;
    KeptPagesSummary summary;
    if (status) {
      status = reader_.Prepare(
          "SELECT count(*), coalesce(sum(page_bytes), 0), coalesce(sum(packed_bytes), 0), "
          "(SELECT dropped FROM kept_page_tally) FROM kept_pages",
          query);
    }
    if (status && query.NextRow(status)) {
      auto count = [&](int column) {
        return static_cast<std::uint64_t>(std::max<std::int64_t>(query.ColumnInt64(column), 0));
      };
      summary.pages = count(0);
      summary.pageBytes = count(1);
      summary.packedBytes = count(2);
      summary.dropped = count(3);
      query.Reset();
    }
    if (!status) return MakeUnexpected(ReadProblem("the kept pages", status));
    return summary;
  });
}

}  // namespace shopwalk
