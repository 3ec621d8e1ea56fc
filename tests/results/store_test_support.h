// Helpers for the results store's tests: opening stores, sample rows with GBK and invalid GBK
// bytes, looking at what the file holds, and watching what a store tells its listeners.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "results/sqlite/sqlite_store.h"

namespace shopwalk::test {

// The store at `path`, opened for walking or reading; the test fails (and the answer is null)
// when it cannot be opened.
std::unique_ptr<SqliteStore> WalkingStore(const std::string& path);
std::unique_ptr<SqliteStore> ReadingStore(const std::string& path);

// A row for `shopId` whose cells hold GBK text, and for odd IDs invalid GBK bytes and a NUL,
// with `extra` bytes appended to the name.
ShopRecord SampleRecord(std::int32_t shopId, std::string_view extra = "");
// The record printed with every byte visible, for comparing in assertions.
std::string RecordText(const ShopRecord& record);
std::vector<std::string> RecordTexts(const std::vector<ShopRecord>& records);
std::vector<std::int32_t> IdsOf(const std::vector<ShopRecord>& records);
// Every row of the store, in shop-ID order.
std::vector<ShopRecord> AllRows(ResultStore& store);

// What the file holds, read through a connection of its own.
struct StoredRange {
  std::int64_t first = 0, last = 0, outcome = 0;
  bool operator==(const StoredRange&) const = default;
};
std::vector<StoredRange> StoredRanges(const std::string& path);
struct StoredRun {
  std::int64_t runId = 0;
  std::int64_t kind = 0;
  bool ended = false;
  bool cleanEnd = false;
  std::optional<std::int64_t> placeSaved;
  std::string place;
};
std::vector<StoredRun> StoredRuns(const std::string& path);
// The run each shop's row belongs to (NULL as nothing), by shop ID.
std::vector<std::pair<std::int64_t, std::optional<std::int64_t>>> ShopRuns(const std::string& path);
// SQLite's integrity check of the file: "ok" when sound.
std::string IntegrityCheck(const std::string& path);

// Records what a store tells OnTrouble and OnDurable, and lets a test wait for it. The record
// outlives the watcher as long as the store keeps the listeners.
class StoreWatcher {
 public:
  explicit StoreWatcher(ResultStore& store);

  // Waits (up to `limit`, a guard against hanging) until a problem of `kind` was told; true when
  // it was.
  bool WaitForTrouble(StoreProblem::Kind kind,
                      std::chrono::milliseconds limit = std::chrono::seconds(60));
  // Waits until the store said writing works again after trouble.
  bool WaitForRecovery(std::chrono::milliseconds limit = std::chrono::seconds(60));
  std::vector<std::optional<StoreProblem>> Told();
  std::uint64_t DurableRows();
  // The durable counts told, in order.
  std::vector<std::uint64_t> DurableCounts();

 private:
  struct Record {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<StoreProblem>> told;
    std::vector<std::uint64_t> durable;
  };
  std::shared_ptr<Record> record_ = std::make_shared<Record>();
};

}  // namespace shopwalk::test
