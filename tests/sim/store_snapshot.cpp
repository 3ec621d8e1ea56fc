#include "tests/sim/store_snapshot.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <memory>
#include <utility>

#include "results/pg/pg_store.h"

namespace shopwalk::sim {
namespace {

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;
using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

std::string Blob(sqlite3_stmt* statement, int column) {
  const void* bytes = sqlite3_column_blob(statement, column);
  const int size = sqlite3_column_bytes(statement, column);
  if (bytes == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

// Runs `sql`, calling `row` for each row; false (with `problem`) on an error.
template <typename Row>
bool Each(sqlite3* database, const char* sql, Row row, std::string& problem) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(database, sql, -1, &raw, nullptr) != SQLITE_OK) {
    problem = std::string(sql) + ": " + sqlite3_errmsg(database);
    return false;
  }
  Statement statement(raw, &sqlite3_finalize);
  int code = SQLITE_ROW;
  while ((code = sqlite3_step(raw)) == SQLITE_ROW) row(raw);
  if (code != SQLITE_DONE) {
    problem = std::string(sql) + ": " + sqlite3_errmsg(database);
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> StoreSnapshot::CommandLinePlace() const {
  const Run* last = nullptr;
  for (const Run& run : runs) {
    if (run.kind == 2 && (last == nullptr || run.openedSeq > last->openedSeq)) last = &run;
  }
  if (last == nullptr) return std::nullopt;
  return last->place;
}

int StoreSnapshot::OutcomeCount(std::int32_t id) const {
  return static_cast<int>(rows.count(id) + answers.count(id) + failed.count(id));
}

bool StoreSnapshot::Answered(std::int32_t id) const {
  return rows.count(id) > 0 || answers.count(id) > 0;
}

StoreSnapshot ReadSqliteStore(const std::string& path) {
  StoreSnapshot snapshot;
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  Database database(raw, &sqlite3_close);
  if (opened != SQLITE_OK) {
    snapshot.problem = "cannot open " + path + ": " + sqlite3_errstr(opened);
    return snapshot;
  }
  std::string& problem = snapshot.problem;
  if (!Each(
          raw, "BEGIN", [](sqlite3_stmt*) {}, problem) ||
      !Each(
          raw, "SELECT shop_id, name, reputation, messenger, opening_date, address FROM shops",
          [&](sqlite3_stmt* row) {
            ShopRecord record;
            record.shopId = sqlite3_column_int(row, 0);
            record.name = Blob(row, 1);
            record.reputation = Blob(row, 2);
            record.messenger = Blob(row, 3);
            record.openingDate = Blob(row, 4);
            record.address = Blob(row, 5);
            snapshot.rows[record.shopId] = record;
          },
          problem) ||
      !Each(
          raw, "SELECT first_id, last_id, outcome FROM answer_ranges",
          [&](sqlite3_stmt* row) {
            const std::int64_t first = sqlite3_column_int64(row, 0);
            const std::int64_t last = sqlite3_column_int64(row, 1);
            const int outcome = sqlite3_column_int(row, 2);
            // Ranges far wider than a walk would be a fault of their own: kept bounded here.
            for (std::int64_t id = first; id <= last && id - first < 10'000'000; ++id) {
              snapshot.answers[static_cast<std::int32_t>(id)] = outcome;
            }
          },
          problem) ||
      !Each(
          raw, "SELECT shop_id, attempts, reason, failed_ms FROM failed_shops",
          [&](sqlite3_stmt* row) {
            StoreSnapshot::Failure failure;
            failure.attempts = sqlite3_column_int(row, 1);
            failure.reason = Blob(row, 2);
            failure.unixMs = sqlite3_column_int64(row, 3);
            snapshot.failed[sqlite3_column_int(row, 0)] = failure;
          },
          problem) ||
      // A mark to revisit is kept apart: it counts as a failure with the mark's reason, as a
      // store without marks of their own keeps it.
      !Each(
          raw, "SELECT shop_id, marked_ms FROM revisits",
          [&](sqlite3_stmt* row) {
            StoreSnapshot::Failure failure;
            failure.reason = std::string(ResultSink::RevisitReason);
            failure.unixMs = sqlite3_column_int64(row, 1);
            snapshot.failed[sqlite3_column_int(row, 0)] = failure;
          },
          problem) ||
      !Each(
          raw, "SELECT run_id, kind, clean_end, place, opened_seq FROM runs ORDER BY run_id",
          [&](sqlite3_stmt* row) {
            StoreSnapshot::Run run;
            run.id = sqlite3_column_int64(row, 0);
            run.kind = sqlite3_column_int(row, 1);
            run.cleanEnd = sqlite3_column_int(row, 2) != 0;
            run.place = Blob(row, 3);
            run.openedSeq = sqlite3_column_int64(row, 4);
            snapshot.runs.push_back(run);
          },
          problem) ||
      !Each(
          raw,
          "SELECT shop_id, field, old_value, new_value, source FROM shop_changes "
          "ORDER BY change_seq",
          [&](sqlite3_stmt* row) {
            StoreSnapshot::Change change;
            change.shopId = sqlite3_column_int(row, 0);
            change.field = sqlite3_column_int(row, 1);
            change.oldValue = Blob(row, 2);
            change.newValue = Blob(row, 3);
            change.source = sqlite3_column_int(row, 4);
            snapshot.changes.push_back(std::move(change));
          },
          problem) ||
      !Each(
          raw, "SELECT run_id, shop_id FROM run_rows ORDER BY run_id, seq",
          [&](sqlite3_stmt* row) {
            const std::int64_t runId = sqlite3_column_int64(row, 0);
            for (StoreSnapshot::Run& run : snapshot.runs) {
              if (run.id == runId) run.rows.push_back(sqlite3_column_int(row, 1));
            }
          },
          problem)) {
    return snapshot;
  }
  Each(
      raw, "COMMIT", [](sqlite3_stmt*) {}, problem);
  return snapshot;
}

namespace {

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

std::string Bytes(PGresult* result, int row, int column) {
  std::size_t size = 0;
  unsigned char* bytes = PQunescapeBytea(
      reinterpret_cast<const unsigned char*>(PQgetvalue(result, row, column)), &size);
  if (bytes == nullptr) return {};
  std::string text(reinterpret_cast<const char*>(bytes), size);
  PQfreemem(bytes);
  return text;
}

bool Query(PGconn* connection, const char* sql, Result& result, std::string& problem) {
  result.reset(PQexec(connection, sql));
  if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
    problem = std::string(sql) + ": " + PQerrorMessage(connection);
    return false;
  }
  return true;
}

}  // namespace

StoreSnapshot ReadPgStore(const std::string& uri) {
  StoreSnapshot snapshot;
  Connection connection(PQconnectdb(uri.c_str()), &PQfinish);
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    snapshot.problem = std::string("cannot connect: ") + PQerrorMessage(connection.get());
    return snapshot;
  }
  PGconn* raw = connection.get();
  Result result(nullptr, &PQclear);
  std::string& problem = snapshot.problem;
  if (!Query(raw,
             "SELECT shop_id, name, reputation, messenger, opening_date, address "
             "FROM shopwalk.shops",
             result, problem)) {
    return snapshot;
  }
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    ShopRecord record;
    record.shopId = static_cast<std::int32_t>(std::stoll(PQgetvalue(result.get(), row, 0)));
    record.name = Bytes(result.get(), row, 1);
    record.reputation = Bytes(result.get(), row, 2);
    record.messenger = Bytes(result.get(), row, 3);
    record.openingDate = Bytes(result.get(), row, 4);
    record.address = Bytes(result.get(), row, 5);
    snapshot.rows[record.shopId] = record;
  }
  if (!Query(raw, "SELECT shop_id, outcome FROM shopwalk.outcomes WHERE outcome IN (1, 2)", result,
             problem)) {
    return snapshot;
  }
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    snapshot.answers[static_cast<std::int32_t>(std::stoll(PQgetvalue(result.get(), row, 0)))] =
        std::stoi(PQgetvalue(result.get(), row, 1));
  }
  if (!Query(raw,
             "SELECT shop_id, attempts, reason, "
             "(extract(epoch FROM failed_at) * 1000)::bigint FROM shopwalk.failed_shops",
             result, problem)) {
    return snapshot;
  }
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    StoreSnapshot::Failure failure;
    failure.attempts = std::stoi(PQgetvalue(result.get(), row, 1));
    failure.reason = Bytes(result.get(), row, 2);
    failure.unixMs = std::stoll(PQgetvalue(result.get(), row, 3));
    snapshot.failed[static_cast<std::int32_t>(std::stoll(PQgetvalue(result.get(), row, 0)))] =
        failure;
  }
  // The walk's place, as the store itself tells it.
  auto reading = PgStore::OpenForReading(uri);
  if (!reading) {
    problem = "cannot read the shared walk: " + reading.error().reason;
    return snapshot;
  }
  if (const std::optional<std::string> place =
          (*reading)->LastPlace(RunKind::CommandLine).value()) {
    snapshot.sharedPlace = std::stoll(*place);
  }
  return snapshot;
}

}  // namespace shopwalk::sim
