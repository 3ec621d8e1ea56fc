#include "tests/results/store_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "collect/gbk.h"
#include "results/sqlite/sqlite.h"

namespace shopwalk::test {
namespace {

std::unique_ptr<SqliteStore> Opened(auto opening) {
  EXPECT_TRUE(opening) << opening.error().path << ": " << opening.error().reason;
  return std::move(*opening);
}

sqlite::Connection Inspect(const std::string& path) {
  sqlite::Connection connection;
  sqlite::Status status = connection.Open(path, sqlite::Connection::Access::ReadOnly);
  EXPECT_TRUE(status) << status.Describe();
  return connection;
}

}  // namespace

std::unique_ptr<SqliteStore> WalkingStore(const std::string& path) {
  return Opened(SqliteStore::OpenForWalking(path));
}

std::unique_ptr<SqliteStore> ReadingStore(const std::string& path) {
  return Opened(SqliteStore::OpenForReading(path));
}

ShopRecord SampleRecord(std::int32_t shopId, std::string_view extra) {
  std::string id = std::to_string(shopId);
  ShopRecord record;
  record.shopId = shopId;
  record.name = Utf8ToGbk("小店") + id + std::string(extra);
  record.reputation = std::to_string(shopId % 5000);
  record.messenger = Utf8ToGbk("掌柜") + id;
  record.openingDate = shopId % 3 == 0 ? std::string() : "2010-01-0" + std::to_string(shopId % 9);
  record.address = "http://shop" + id + ".example.test";
  if (shopId % 2 != 0) {
    // A lead byte without its trail byte, a byte GBK never uses, and a NUL.
    record.name += std::string("\x81\x20\xff\x00\x80", 5);
    record.messenger += std::string("\xfe", 1);
  }
  return record;
}

std::string RecordText(const ShopRecord& record) {
  std::string text = std::to_string(record.shopId);
  for (const std::string* cell : {&record.name, &record.reputation, &record.messenger,
                                  &record.openingDate, &record.address}) {
    text += " |";
    for (unsigned char byte : *cell) {
      if (byte >= 0x21 && byte < 0x7f) {
        text += static_cast<char>(byte);
      } else {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        text += escaped;
      }
    }
  }
  return text;
}

std::vector<std::string> RecordTexts(const std::vector<ShopRecord>& records) {
  std::vector<std::string> texts;
  for (const ShopRecord& record : records) texts.push_back(RecordText(record));
  return texts;
}

std::vector<std::int32_t> IdsOf(const std::vector<ShopRecord>& records) {
  std::vector<std::int32_t> ids;
  for (const ShopRecord& record : records) ids.push_back(record.shopId);
  return ids;
}

std::vector<ShopRecord> AllRows(ResultStore& store) {
  std::vector<ShopRecord> rows;
  store.ForEachRow([&](const ShopRecord& record) { rows.push_back(record); });
  return rows;
}

std::vector<StoredRange> StoredRanges(const std::string& path) {
  sqlite::Connection connection = Inspect(path);
  sqlite::Statement query;
  std::vector<StoredRange> ranges;
  sqlite::Status status = connection.Prepare(
      "SELECT first_id, last_id, outcome FROM answer_ranges ORDER BY first_id", query);
  while (status && query.NextRow(status)) {
    ranges.push_back({query.ColumnInt64(0), query.ColumnInt64(1), query.ColumnInt64(2)});
  }
  EXPECT_TRUE(status) << status.Describe();
  return ranges;
}

std::vector<StoredRun> StoredRuns(const std::string& path) {
  sqlite::Connection connection = Inspect(path);
  sqlite::Statement query;
  std::vector<StoredRun> runs;
  sqlite::Status status = connection.Prepare(
      "SELECT run_id, kind, ended_ms IS NOT NULL, clean_end, place_saved, place FROM runs "
      "ORDER BY run_id",
      query);
  while (status && query.NextRow(status)) {
    StoredRun run;
    run.runId = query.ColumnInt64(0);
    run.kind = query.ColumnInt64(1);
    run.ended = query.ColumnInt64(2) != 0;
    run.cleanEnd = query.ColumnInt64(3) != 0;
    if (!query.ColumnIsNull(4)) run.placeSaved = query.ColumnInt64(4);
    run.place = query.ColumnBytes(5);
    runs.push_back(run);
  }
  EXPECT_TRUE(status) << status.Describe();
  return runs;
}

std::vector<std::pair<std::int64_t, std::optional<std::int64_t>>> ShopRuns(
    const std::string& path) {
  sqlite::Connection connection = Inspect(path);
  sqlite::Statement query;
  std::vector<std::pair<std::int64_t, std::optional<std::int64_t>>> shops;
  sqlite::Status status =
      connection.Prepare("SELECT shop_id, run_id FROM shops ORDER BY shop_id", query);
  while (status && query.NextRow(status)) {
    std::optional<std::int64_t> run;
    if (!query.ColumnIsNull(1)) run = query.ColumnInt64(1);
    shops.emplace_back(query.ColumnInt64(0), run);
  }
  EXPECT_TRUE(status) << status.Describe();
  return shops;
}

std::string IntegrityCheck(const std::string& path) {
  sqlite::Connection connection = Inspect(path);
  std::string answer;
  sqlite::Status status = connection.QueryBytes("PRAGMA integrity_check", answer);
  return status ? answer : status.Describe();
}

StoreWatcher::StoreWatcher(ResultStore& store) {
  store.OnTrouble([record = record_](const std::optional<StoreProblem>& problem) {
    std::lock_guard lock(record->mutex);
    record->told.push_back(problem);
    record->changed.notify_all();
  });
  store.OnDurable([record = record_](std::uint64_t rows) {
    std::lock_guard lock(record->mutex);
    record->durable.push_back(rows);
    record->changed.notify_all();
  });
}

bool StoreWatcher::WaitForTrouble(StoreProblem::Kind kind, std::chrono::milliseconds limit) {
  std::unique_lock lock(record_->mutex);
  return record_->changed.wait_for(lock, limit, [&] {
    for (const auto& problem : record_->told) {
      if (problem && problem->kind == kind) return true;
    }
    return false;
  });
}

bool StoreWatcher::WaitForRecovery(std::chrono::milliseconds limit) {
  std::unique_lock lock(record_->mutex);
  return record_->changed.wait_for(
      lock, limit, [&] { return record_->told.size() >= 2 && !record_->told.back().has_value(); });
}

std::vector<std::optional<StoreProblem>> StoreWatcher::Told() {
  std::lock_guard lock(record_->mutex);
  return record_->told;
}

std::uint64_t StoreWatcher::DurableRows() {
  std::lock_guard lock(record_->mutex);
  return record_->durable.empty() ? 0 : record_->durable.back();
}

std::vector<std::uint64_t> StoreWatcher::DurableCounts() {
  std::lock_guard lock(record_->mutex);
  return record_->durable;
}

}  // namespace shopwalk::test
