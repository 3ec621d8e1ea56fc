// A walk to be killed: the engine with the results store and the in-memory window, against the
// marketplace at SHOPWALK_CONNECT_TO, reporting on standard output what must survive a kill (see
// tests/support/crash_reporting_store.h) and:
//   RESTORED <rows> <place>   an interrupted run was put back
//   BEGUN                     a new run began
//   STARTED                   the walk runs
//   ENDED                     the walk reached its last shop ID and ended cleanly
//
//   crash_walker STORE START_AFTER [LAST]
// Without LAST it walks until it is killed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "collect/collector.h"
#include "collect/text.h"
#include "net/web_access.h"
#include "results/sqlite_store.h"
#include "store/export_layout.h"
#include "store/file_bytes.h"
#include "tests/support/crash_reporting_store.h"
#include "tests/support/memory_ui.h"

int main(int argc, char** argv) {
  using namespace shopwalk;
  if (argc < 3) {
    std::fprintf(stderr, "usage: crash_walker STORE START_AFTER [LAST]\n");
    return 2;
  }
  InitWebAccess();
  const std::string path = argv[1];
  SqliteStore::Opening opened = SqliteStore::OpenForWalking(path);
  if (!opened) {
    test::PrintLine("PROBLEM " + opened.problem.reason);
    return 3;
  }
  std::shared_ptr<ResultStore> inner = std::move(opened.store);

  test::MemoryUi ui;
  ui.SetThreadCountText("10");
  Collector collector(ui);
  collector.SetPace(std::chrono::milliseconds(10));
  test::CrashReportingStore store(
      inner, path + ".durable-export",
      [&ui](std::size_t rows, const std::string& file) {
        ExportText text;
        ui.ReadRows([&](const ResultRows& list) {
          text = ComposeExportRows(list, std::min(static_cast<int>(rows), list.RowCount()),
                                   ExportLayout::Full, ExportEncoding::Gbk);
        });
        WriteFileBytes(file, text.bytes);
      },
      0);

  if (std::optional<InterruptedRun> run = inner->Interrupted(RunKind::Window)) {
    ui.RestoreRows(run->rows);
    ui.SetShopIdText(run->place);
    const std::int32_t place = TextToInt(run->place);
    std::set<std::int32_t> listed;
    for (const ShopRecord& record : run->rows) {
      if (record.shopId > place) listed.insert(record.shopId);
    }
    collector.SetAlreadyListed(std::move(listed));
    store.SetRestoredRows(run->rows.size());
    inner->ContinueRun(run->runId);
    test::PrintLine("RESTORED " + std::to_string(run->rows.size()) + " " + run->place);
  } else {
    ui.SetShopIdText(argv[2]);
    inner->BeginRun(RunKind::Window, argv[2]);
    test::PrintLine("BEGUN");
  }
  if (argc > 3) collector.SetLastShopId(TextToInt(argv[3]));
  collector.SetResultSink(&store);
  collector.OnStartClicked();
  test::PrintLine("STARTED");

  if (argc <= 3) {
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(60));
  }
  while (!collector.WalkEnded()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  collector.ShutDownForExit(std::chrono::seconds(10));
  inner->EndRun(false);
  inner->Flush(std::chrono::seconds(10));
  test::PrintLine("ENDED");
  std::fflush(nullptr);
  std::_Exit(0);
}
