// The real program's window, engine and store (offscreen), walking until it is killed: the same
// wiring as main() (OpenWindowStore, EngineHandlers), on the test's clock when SHOPWALK_TEST_CLOCK
// names one (tests/support/child_clock.h), with the store wrapped to report on standard output
// what must survive a kill (tests/support/crash_reporting_store.h), and:
//   RESTORED <rows>   the window put an interrupted run back
//   STARTED           Start was clicked
//
//   window_crash_walker STORE START_AFTER   (QT_QPA_PLATFORM=offscreen)
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <string>
#include "app/int_edit.h"

#include "app/application.h"
#include "app/collector_window.h"
#include "app/engine_handlers.h"
#include "net/web_access.h"
#include "store/export_layout.h"
#include "store/file_bytes.h"
#include "tests/support/child_clock.h"
#include "tests/support/crash_reporting_store.h"

int main(int argc, char** argv) {
  using namespace shopwalk;
  if (argc < 3) {
    std::fprintf(stderr, "usage: window_crash_walker STORE START_AFTER\n");
    return 2;
  }
  const std::string path = argv[1];
  const std::string startAfter = argv[2];
  InitWebAccess();
  const std::unique_ptr<test::ChildClock> childClock = test::ChildClock::FromEnvironment();
  Clock& clock = childClock ? static_cast<Clock&>(*childClock) : RealClock();
  int qtArgc = 1;
  Application app(qtArgc, argv);
  WindowStore opened = OpenWindowStore(app.Ui(), path, clock);
  if (!opened.store) {
    test::PrintLine("PROBLEM");
    return 3;
  }
  WindowUi& ui = app.Ui();
  auto store = std::make_shared<test::CrashReportingStore>(
      opened.store, path + ".durable-export",
      [&ui](std::size_t rows, const std::string& file) {
        ExportText text;
        ui.ReadRows([&](const ResultRows& list) {
          text = ComposeExportRows(list, std::min(static_cast<int>(rows), list.RowCount()),
                                   ExportLayout::Full, ExportEncoding::Gbk);
        });
        WriteFileBytes(file, text.bytes);
      },
      0);
  auto collector = std::make_shared<Collector>(ui);
  collector->SetClock(clock);
  collector->SetPace(std::chrono::milliseconds(10));
  CollectorHandlers handlers = EngineHandlers(collector, store);
  const auto created = handlers.OnCollectorCreated;
  handlers.OnCollectorCreated = [&, created](WindowUi& window) {
    created(window);
    int rows = 0;
    window.ReadRows([&rows](const ResultRows& list) { rows = list.RowCount(); });
    if (rows > 0) {
      store->SetRestoredRows(static_cast<std::size_t>(rows));
      test::PrintLine("RESTORED " + std::to_string(rows));
    } else {
      // No run to go on with: the walk starts where the test says, whatever config.ini holds.
      window.SetShopIdText(startAfter);
    }
  };
  app.SetHandlers(handlers);
  QTimer::singleShot(0, [&app] {
    app.Window().ThreadCountField()->setText(QStringLiteral("10"));
    app.Window().StartButton()->click();
    test::PrintLine("STARTED");
  });
  return app.Run();
}
