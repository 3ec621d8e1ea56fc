// The results store (SQLite, write-ahead log, synchronous=FULL). Prints:
//  - 1,000,000 rows reported as fast as one thread can (each followed by a place), until all are
//    durable: the time, rows per second, and bytes per row of the file on disk;
//  - the delay from RowAppended to the commit that made the row durable (as OnDurable tells it),
//    median and worst, for a paced stream (100 rows a second, each with two answers and a place,
//    as a walk with many workers reports) and for a burst of 20,000 rows at once (target: under
//    250 ms);
//  - reading back the 1,000,000-row interrupted run with Interrupted (target: under 3 s);
//  - the cost of syncing every commit: commits of 100 rows with synchronous=FULL beside NORMAL.
//
//   bench_store [FOLDER]   where the store files go (default: a fresh folder in the temp folder)
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "collect/gbk.h"
#include "results/sqlite/sqlite.h"
#include "results/sqlite/sqlite_store.h"

namespace {

using namespace shopwalk;
using Clock = std::chrono::steady_clock;

constexpr int Rows = 1'000'000;
constexpr std::int32_t FirstId = 109428413;

double Seconds(Clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

ShopRecord Record(std::int32_t shopId) {
  static const std::string name = Utf8ToGbk("甲乙丙丁小店铺");
  static const std::string messenger = Utf8ToGbk("买家");
  std::string id = std::to_string(shopId);
  ShopRecord record;
  record.shopId = shopId;
  record.name = name + std::to_string(shopId % 997);
  record.reputation = std::to_string(shopId % 5000);
  record.messenger = messenger + id;
  record.openingDate = "2010-01-01";
  record.address = "http://shop" + id + ".example.test";
  return record;
}

std::unique_ptr<SqliteStore> Open(const std::string& path) {
  auto opening = SqliteStore::OpenForWalking(path);
  if (!opening) {
    std::fprintf(stderr, "bench_store: %s: %s\n", path.c_str(), opening.error().reason.c_str());
    std::exit(1);
  }
  return std::move(*opening);
}

std::uintmax_t SizeOnDisk(const std::string& path) {
  std::uintmax_t total = 0;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    struct stat info {};
    if (::stat((path + suffix).c_str(), &info) == 0) total += info.st_size;
  }
  return total;
}

// Notes when each row was reported and, from OnDurable, when it became durable.
class DelayMeter {
 public:
  explicit DelayMeter(std::size_t rows) : reportedAt_(rows) { delays_.reserve(rows); }
  void Attach(SqliteStore& store) {
    store.OnDurable([this](std::uint64_t durable) {
      Clock::time_point now = Clock::now();
      std::lock_guard lock(mutex_);
      if (durable < base_) return;
      for (; next_ < durable - base_ && next_ < reportedAt_.size(); ++next_) {
        delays_.push_back(now - reportedAt_[next_]);
      }
    });
  }
  // Rows already durable before this meter's rows.
  void StartAfter(std::uint64_t durableBefore) { base_ = durableBefore; }
  void Reported(std::size_t row) { reportedAt_[row] = Clock::now(); }
  void Print(const char* what) {
    std::lock_guard lock(mutex_);
    std::vector<Clock::duration> sorted = delays_;
    std::sort(sorted.begin(), sorted.end());
    if (sorted.empty()) {
      std::printf("  %-34s no rows became durable\n", what);
      return;
    }
    std::printf("  %-34s %7zu rows  median %6.1f ms  worst %6.1f ms\n", what, sorted.size(),
                Milliseconds(sorted[sorted.size() / 2]), Milliseconds(sorted.back()));
  }

 private:
  std::mutex mutex_;
  std::vector<Clock::time_point> reportedAt_;
  std::vector<Clock::duration> delays_;
  std::size_t next_ = 0;
  std::uint64_t base_ = 0;
};

void MillionRows(const std::string& path) {
  auto store = Open(path);
  store->BeginRun(RunKind::CommandLine, std::to_string(FirstId - 1));
  Clock::time_point start = Clock::now();
  for (int i = 0; i < Rows; ++i) {
    store->RowAppended(Record(FirstId + i));
    store->PlaceMoved(std::to_string(FirstId + i));
  }
  Clock::time_point reported = Clock::now();
  if (!store->Flush(std::chrono::minutes(10))) std::printf("  flush timed out\n");
  Clock::time_point durable = Clock::now();
  store.reset();
  std::printf("1,000,000 rows (each with a place)\n");
  std::printf("  reported in                    %7.2f s\n", Seconds(reported - start));
  std::printf("  all durable after              %7.2f s  (%.0f rows/s)\n", Seconds(durable - start),
              Rows / Seconds(durable - start));
  std::printf("  on disk                        %7.1f MB  (%.0f bytes per row)\n",
              SizeOnDisk(path) / 1e6, static_cast<double>(SizeOnDisk(path)) / Rows);
}

void ReadBack(const std::string& path) {
  Clock::time_point start = Clock::now();
  auto store = Open(path);
  Clock::time_point opened = Clock::now();
  auto run = store->Interrupted(RunKind::CommandLine).value();
  Clock::time_point read = Clock::now();
  std::printf("reading back the interrupted 1,000,000-row run\n");
  std::printf("  open                           %7.3f s\n", Seconds(opened - start));
  std::printf("  Interrupted                    %7.3f s  (%zu rows, place %s)\n",
              Seconds(read - opened), run ? run->rows.size() : 0,
              run ? run->place.c_str() : "none");
  Clock::time_point summaryStart = Clock::now();
  StoreSummary summary = store->Summary().value();
  std::printf("  Summary                        %7.3f s  (%zu rows)\n",
              Seconds(Clock::now() - summaryStart), summary.rows);
}

void Delays(const std::string& path) {
  auto store = Open(path);
  store->BeginRun(RunKind::Window, "0");
  std::printf("delay from RowAppended to durable\n");
  constexpr int PacedRows = 500;
  {
    DelayMeter meter(PacedRows);
    meter.Attach(*store);
    Clock::time_point next = Clock::now();
    for (int i = 0; i < PacedRows; ++i) {
      std::int32_t id = 3 * i + 1;
      store->Answered(id, ShopOutcome::NoShop);
      meter.Reported(static_cast<std::size_t>(i));
      store->RowAppended(Record(id + 1));
      store->Answered(id + 2, ShopOutcome::NoFields);
      store->PlaceMoved(std::to_string(id + 2));
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
    }
    store->Flush(std::chrono::minutes(1));
    meter.Print("paced, 100 rows/s for 5 s");
  }
  constexpr int BurstRows = 20000;
  {
    DelayMeter meter(BurstRows);
    meter.StartAfter(PacedRows);
    meter.Attach(*store);
    for (int i = 0; i < BurstRows; ++i) {
      meter.Reported(static_cast<std::size_t>(i));
      store->RowAppended(Record(10000 + i));
      store->PlaceMoved(std::to_string(10000 + i));
    }
    store->Flush(std::chrono::minutes(1));
    meter.Print("a burst of 20,000 rows");
  }
  store->OnDurable(nullptr);
}

// Commits of 100 rows through the SQLite layer, with each synchronous setting.
void SyncCost(const std::string& folder) {
  std::printf("commits of 100 rows, write-ahead log\n");
  for (const char* mode : {"FULL", "NORMAL"}) {
    std::string path = folder + "/sync-" + mode + ".db";
    sqlite::Connection connection;
    if (!connection.Open(path, sqlite::Connection::Access::ReadWriteCreate) ||
        !connection.Execute(std::string("PRAGMA journal_mode = WAL; PRAGMA synchronous = ") + mode +
                            "; CREATE TABLE rows (id INTEGER PRIMARY KEY, cells BLOB)")) {
      std::printf("  cannot set up %s\n", path.c_str());
      return;
    }
    sqlite::Statement insert;
    connection.Prepare("INSERT INTO rows VALUES (?1, ?2)", insert);
    std::vector<Clock::duration> commits;
    const std::string cells(120, 'x');
    for (int commit = 0; commit < 200; ++commit) {
      Clock::time_point start = Clock::now();
      sqlite::Transaction transaction(connection);
      transaction.Begin();
      for (int i = 0; i < 100; ++i) {
        insert.Reset();
        insert.BindInt64(1, commit * 100 + i);
        insert.BindBlob(2, cells);
        insert.Run();
      }
      transaction.Commit();
      commits.push_back(Clock::now() - start);
    }
    std::sort(commits.begin(), commits.end());
    std::printf("  synchronous=%-6s               median %6.2f ms  worst %6.2f ms\n", mode,
                Milliseconds(commits[commits.size() / 2]), Milliseconds(commits.back()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  bool ownFolder = argc < 2;
  if (ownFolder) {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/bench_store_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("bench_store: mkdtemp");
      return 1;
    }
    folder = pattern;
  } else {
    folder = argv[1];
  }
  std::printf("store files in %s\n", folder.c_str());
  MillionRows(folder + "/million.db");
  ReadBack(folder + "/million.db");
  Delays(folder + "/delays.db");
  SyncCost(folder);
  if (ownFolder) std::filesystem::remove_all(folder);
  return 0;
}
