// A walk to be killed, headless: the engine with the results store and the in-memory window,
// against the marketplace at SHOPWALK_CONNECT_TO, on the test's clock when SHOPWALK_TEST_CLOCK
// names one (tests/support/child_clock.h). It puts back what the programs put back, with their
// own code, and reports on standard output what must survive a kill (see
// tests/support/crash_reporting_store.h) and:
//   RESTORED <rows> <place>   the window's interrupted run was put back (RecoverWindowRun)
//   CONTINUED <place>         the command line's interrupted walk goes on (OpenWalkStore)
//   BEGUN                     a new run began
//   STARTED                   the walk runs
//   ENDED                     the walk reached its last shop ID and ended cleanly
//
//   crash_walker window STORE START_AFTER [LAST]
//   crash_walker command-line STORE FOLDER START_AFTER [LAST]
// The window's walk begins after START_AFTER when there is no run to put back. The command
// line's begins after START_AFTER (--from) when the store has no walk yet, and otherwise goes on
// with it; FOLDER holds its config.ini. Without LAST it walks until it is killed.
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "app/engine_handlers.h"
#include "cli/walk_store.h"
#include "collect/collector.h"
#include "collect/text.h"
#include "net/web_access.h"
#include "results/sqlite/sqlite_store.h"
#include "store/export_layout.h"
#include "store/file_bytes.h"
#include "tests/support/child_clock.h"
#include "tests/support/crash_reporting_store.h"
#include "tests/support/memory_ui.h"

namespace {

using namespace shopwalk;

int Usage() {
  std::fprintf(stderr,
               "usage: crash_walker window STORE START_AFTER [LAST]\n"
               "       crash_walker command-line STORE FOLDER START_AFTER [LAST]\n");
  return 2;
}

// Writes the full-layout export of the list's first `rows` rows to `file`.
void ExportDurableRows(test::MemoryUi& ui, std::size_t rows, const std::string& file) {
  ExportText text;
  ui.ReadRows([&](const ResultRows& list) {
    text = ComposeExportRows(list, std::min(static_cast<int>(rows), list.RowCount()),
                             ExportLayout::Full, ExportEncoding::Gbk);
  });
  WriteFileBytes(file, text.bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string mode = argv[1];
  const bool window = mode == "window";
  if (!window && mode != "command-line") return Usage();
  const int first = window ? 2 : 3;  // STORE, then START_AFTER after the folder, if any
  if (argc < first + 2) return Usage();
  const std::string path = argv[2];
  const std::string startAfter = argv[first + 1];
  const std::optional<std::int32_t> last =
      argc > first + 2 ? std::optional(TextToInt(argv[first + 2])) : std::nullopt;

  InitWebAccess();
  const std::unique_ptr<test::ChildClock> childClock = test::ChildClock::FromEnvironment();
  Clock& clock = childClock ? static_cast<Clock&>(*childClock) : RealClock();

  test::MemoryUi ui;
  ui.SetThreadCountText("10");
  Collector collector(ui);
  collector.SetClock(clock);
  collector.SetPace(std::chrono::milliseconds(10));
  std::shared_ptr<ResultStore> inner;
  std::string begun;
  if (window) {
    WindowStore opened = OpenWindowStore(ui, path, clock);
    if (!opened.store) {
      test::PrintLine("PROBLEM");
      return 3;
    }
    inner = std::move(opened.store);
  } else {
    WalkCommand command;
    command.db = path;
    command.to = last;
    const Folders folders{argv[3], argv[3], path};
    // A walk of its own begins after START_AFTER; a store with a walk goes on with it.
    if (auto probe = SqliteStore::OpenForReading(path, clock);
        !probe || !(*probe)->LastPlace(RunKind::CommandLine).value()) {
      command.from = TextToInt(startAfter) + 1;
    }
    WalkStore walk;
    if (const std::optional<int> refused = OpenWalkStore(command, folders, walk, clock)) {
      test::PrintLine("PROBLEM");
      return *refused;
    }
    inner = walk.store;
    ui.SetShopIdText(walk.startAfter);
    collector.SetLastShopId(walk.last);
    collector.SetEnginePolicy(EnginePolicy::CommandLine(0));
    begun = walk.continuedRun ? "CONTINUED " + walk.startAfter : "BEGUN";
  }

  test::CrashReportingStore store(
      inner, path + ".durable-export",
      [&ui](std::size_t rows, const std::string& file) { ExportDurableRows(ui, rows, file); }, 0);
  if (window) {
    if (const std::optional<std::size_t> rows = RecoverWindowRun(ui, collector, store)) {
      store.SetRestoredRows(*rows);
      begun = "RESTORED " + std::to_string(*rows) + " " + ui.ShopIdText();
    } else {
      ui.SetShopIdText(startAfter);
      store.BeginRun(RunKind::Window, startAfter);
      begun = "BEGUN";
    }
    if (last) collector.SetLastShopId(last);
  }
  test::PrintLine(begun);

  std::mutex mutex;
  std::condition_variable ended;
  bool walkEnded = false;
  collector.OnWalkEnded([&] {
    std::lock_guard lock(mutex);
    walkEnded = true;
    ended.notify_all();
  });
  collector.SetResultSink(&store);
  collector.OnStartClicked();
  test::PrintLine("STARTED");

  if (!last) {
    for (;;) ::pause();
  }
  {
    std::unique_lock lock(mutex);
    ended.wait(lock, [&] { return walkEnded; });
  }
  collector.ShutDownForExit(std::chrono::seconds(10));
  store.EndRun(!window);
  store.Flush(std::chrono::seconds(10));
  test::PrintLine("ENDED");
  std::fflush(nullptr);
  std::_Exit(0);
}
