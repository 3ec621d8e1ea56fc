// A store kept fresh for a year. Prints, for SHOPS listed shops (default 1,000,000) refreshed once
// a week for 52 weeks with 5% of them changing a field each week (the name or the reputation, in
// turn), all written through the store on a manual clock:
//  - the store file's size, in all and per 1,000,000 shops, and the history's changes;
//  - the time of `export --changed-since 7d` on that store (to a JSON Lines file; target: under
//    5 s for 1,000,000 shops), and of `export --history --changed-since 7d`.
// The weekly check of the shops that did not change only moves their last-checked time (a column
// of fixed size and its index): it is set once, at the end, as the last week would leave it.
//
//   bench_refresh_store [SHOPS] [FOLDER]   FOLDER: where the store goes (default: a fresh folder
//                                          in the temp folder)
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "collect/gbk.h"
#include "results/sqlite/sqlite.h"
#include "results/sqlite/sqlite_store.h"
#include "tests/support/manual_clock.h"

namespace {

using namespace shopwalk;
using Steady = std::chrono::steady_clock;

constexpr std::int32_t FirstId = 109428413;
constexpr int Weeks = 52;
constexpr int ChangingPercent = 5;

double Seconds(Steady::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

std::uint64_t Mix(std::uint64_t x) {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Shop `index` as listed, its name changed last in week `nameWeek` (0: never) and its reputation.
ShopRecord Shop(int index, int nameWeek, std::uint32_t reputation) {
  static const std::string name = Utf8ToGbk("精品小店");
  const std::int32_t id = FirstId + index;
  const std::string number = std::to_string(id);
  return ShopRecord{
      id,
      name + number + (nameWeek > 0 ? "-" + std::to_string(nameWeek) : ""),
      std::to_string(reputation),
      "owner_" + number,
      "2019-0" + std::to_string(1 + Mix(id) % 9) + "-1" + std::to_string(Mix(id) % 10),
      "http://shop" + number + ".example.test"};
}

std::uint64_t FileBytes(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

double TimeExport(ExportCommand command, const Folders& folders, Clock& clock) {
  const Steady::time_point start = Steady::now();
  if (RunExport(command, folders, clock) != 0) std::fprintf(stderr, "the export failed\n");
  return Seconds(Steady::now() - start);
}

}  // namespace

int main(int argc, char** argv) {
  const int shops = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 1'000'000;
  std::string folder;
  if (argc > 2) {
    folder = argv[2];
  } else {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "bench_refresh_XXXXXX").string();
    folder = ::mkdtemp(pattern.data()) != nullptr ? pattern : ".";
  }
  const std::string path = folder + "/fresh.db";
  std::filesystem::remove(path);
  test::ManualClock clock;
  std::uint64_t changes = 0;
  const Steady::time_point start = Steady::now();
  {
    auto opened = SqliteStore::OpenForWalking(path, clock, 100000);
    if (!opened) {
      std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), opened.error().reason.c_str());
      return 1;
    }
    SqliteStore& store = **opened;
    // Each shop's fields now: the week its name changed last, and its reputation.
    std::vector<int> nameWeek(static_cast<std::size_t>(shops), 0);
    std::vector<std::uint32_t> reputation(static_cast<std::size_t>(shops));
    for (int i = 0; i < shops; ++i) {
      reputation[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(Mix(i) % 100000);
      store.RowAppended(Shop(i, 0, reputation[static_cast<std::size_t>(i)]));
    }
    store.Flush(std::chrono::hours(1));
    std::printf("%d shops listed in %.1f s\n", shops, Seconds(Steady::now() - start));
    store.SetChangeSource(ChangeSource::Refresh);
    for (int week = 1; week <= Weeks; ++week) {
      clock.Advance(std::chrono::hours(24 * 7));
      for (int i = 0; i < shops; ++i) {
        const std::uint64_t draw = Mix(static_cast<std::uint64_t>(week) << 32 | i);
        if (draw % 100 >= ChangingPercent) continue;
        const auto at = static_cast<std::size_t>(i);
        if (draw % 2 == 0) {
          nameWeek[at] = week;
        } else {
          reputation[at] = static_cast<std::uint32_t>(reputation[at] + 1 + draw % 1000);
        }
        store.RowAppended(Shop(i, nameWeek[at], reputation[at]));
        ++changes;
      }
      store.Flush(std::chrono::hours(1));
    }
  }
  {
    sqlite::Connection connection;
    connection.Open(path, sqlite::Connection::Access::ReadWriteCreate);
    std::int64_t kept = 0;
    connection.QueryInt64("SELECT count(*) FROM shop_changes", kept);
    std::printf(
        "a year of weekly refreshes written in %.1f s: %llu rows changed, %lld changes kept\n",
        Seconds(Steady::now() - start), static_cast<unsigned long long>(changes),
        static_cast<long long>(kept));
    connection.Execute(
        "UPDATE shops SET collected_ms = " + std::to_string(UnixMs(clock.CalendarNow())) +
        ", collected_by = 2 WHERE collected_ms < " + std::to_string(UnixMs(clock.CalendarNow())));
    connection.Execute("PRAGMA wal_checkpoint(TRUNCATE)");
  }
  const std::uint64_t bytes = FileBytes(path);
  std::printf("store size: %.1f MB, %.1f MB per 1,000,000 shops (%.0f bytes a shop)\n",
              static_cast<double>(bytes) / 1e6, static_cast<double>(bytes) / 1e6 * 1e6 / shops,
              static_cast<double>(bytes) / shops);

  clock.Advance(std::chrono::hours(1));
  Folders folders;
  folders.store = path;
  ExportCommand command;
  command.db = path;
  command.out = folder + "/changed.jsonl";
  command.changedSince = "7d";
  const double changedSeconds = TimeExport(command, folders, clock);
  std::printf("export --changed-since 7d: %.2f s (%.1f MB written)\n", changedSeconds,
              static_cast<double>(FileBytes(command.out)) / 1e6);
  command.history = true;
  command.out = folder + "/history.jsonl";
  const double historySeconds = TimeExport(command, folders, clock);
  std::printf("export --history --changed-since 7d: %.2f s (%.1f MB written)\n", historySeconds,
              static_cast<double>(FileBytes(command.out)) / 1e6);
  return 0;
}
