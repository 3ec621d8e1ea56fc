#include "app/engine_handlers.h"

#include <chrono>
#include <memory>
#include <set>

#include "app/window_handlers.h"
#include "app/window_texts.h"
#include "collect/text.h"
#include "net/fatal_error.h"
#include "results/sqlite_store.h"
#include "store/program_folders.h"
#include "store/run_directory.h"

namespace shopwalk {
namespace {

// How long the program waits at its end for workers to leave, and for the store to write.
constexpr std::chrono::milliseconds ShutDownWait{1500};
constexpr std::chrono::milliseconds StoreFlushWait{10000};

WindowUi* g_fatalErrorWindow = nullptr;

void ShowFatalError(const std::string& message) {
  if (g_fatalErrorWindow == nullptr) return;
  g_fatalErrorWindow->ShowMessage(
      std::string(FatalErrorLead) + message + std::string(FatalErrorTail), mb::Ok | mb::IconError,
      FatalErrorCaption);
}

// What the handlers share about the store's run.
struct StoreRun {
  std::shared_ptr<ResultStore> store;
  bool begun = false;
  bool placeSaved = false;
};

// Puts an interrupted run of the window back: its rows into the list, its place into the field.
void RecoverInterruptedRun(WindowUi& window, Collector& collector, StoreRun& run) {
  std::optional<InterruptedRun> interrupted = run.store->Interrupted(RunKind::Window);
  if (!interrupted) return;
  window.RestoreRows(interrupted->rows);
  window.SetShopIdText(interrupted->place);
  // Shops answered after the place came back in the list: the walk passes them by.
  const std::int32_t place = TextToInt(interrupted->place);
  std::set<std::int32_t> listed;
  for (const ShopRecord& record : interrupted->rows) {
    if (record.shopId > place) listed.insert(record.shopId);
  }
  collector.SetAlreadyListed(std::move(listed));
  run.store->ContinueRun(interrupted->runId);
  run.begun = true;
  window.ShowNote(std::string(RecoveredRunPrefix) + std::to_string(interrupted->rows.size()) +
                  std::string(RecoveredRunSuffix));
}

// Tells the window when the store cannot write and when it can again (from the store's writer).
void WatchStore(WindowUi& window, ResultStore& store) {
  store.OnTrouble([&window](const std::optional<StoreProblem>& problem) {
    if (problem) {
      window.ShowNote(std::string(StoreWriteFailed) + problem->path + " " + problem->reason);
    } else {
      window.ShowNote(StoreWritesAgain);
    }
  });
}

}  // namespace

WindowStore OpenWindowStore(WindowUi& ui) {
  return OpenWindowStore(ui, PathInDirectory(DataDirectory(), StoreFileName));
}

WindowStore OpenWindowStore(WindowUi& ui, const std::string& path) {
  WindowStore result;
  SqliteStore::Opening opened = SqliteStore::OpenForWalking(path);
  if (opened) {
    result.store = std::move(opened.store);
    return result;
  }
  const std::string text = std::string(StoreOpenFailed) + opened.problem.path + "\r\n" +
                           opened.problem.reason + "\r\n\r\n" + std::string(StoreOpenQuestion);
  result.exit =
      ui.ShowMessage(text, mb::YesNo | mb::IconWarning, StoreOpenCaption) != mb::PressedYes;
  return result;
}

CollectorHandlers EngineHandlers(WindowUi& ui, std::shared_ptr<ResultStore> store) {
  return EngineHandlers(std::make_shared<Collector>(ui), std::move(store));
}

CollectorHandlers EngineHandlers(std::shared_ptr<Collector> collector,
                                 std::shared_ptr<ResultStore> store) {
  CollectorHandlers handlers;
  auto run = std::make_shared<StoreRun>();
  run->store = std::move(store);
  // config.ini beside the program where it may be written there, else in the user's folder.
  const std::string settings = SettingsDirectory();
  handlers.OnCollectorCreated = [collector, settings, run](WindowUi& window) {
    OnCollectorCreated(window, *collector, SettingsDirectoryToRead(RunDirectory(), settings));
    if (!run->store) return;
    WatchStore(window, *run->store);
    RecoverInterruptedRun(window, *collector, *run);
    collector->SetResultSink(run->store.get());
  };
  handlers.OnCollectorDestroyed = [collector, settings, run](WindowUi& window) {
    run->placeSaved = OnCollectorDestroyed(window, *collector, settings);
  };
  handlers.OnStartClicked = [collector, run](WindowUi& window) {
    if (run->store && !run->begun) {
      run->store->BeginRun(RunKind::Window, window.ShopIdText());
      run->begun = true;
    }
    collector->OnStartClicked();
  };
  handlers.OnStopClicked = [collector](WindowUi&) { collector->OnStopClicked(); };
  handlers.OnThreadCountSpin = [collector](WindowUi&, int direction) {
    collector->OnThreadCountSpin(direction);
  };
  handlers.OnExportClicked = [](WindowUi& window) { OnExportClicked(window, ExportDirectory()); };
  handlers.ShutDown = [collector, run] {
    collector->ShutDownForExit(ShutDownWait);
    if (!run->store) return;
    // The run ended cleanly, with the user's answer about config.ini on record, so the next
    // start never contradicts it.
    if (run->begun) run->store->EndRun(run->placeSaved);
    run->store->Flush(StoreFlushWait);
  };
  return handlers;
}

void ReportFatalErrorsIn(WindowUi& ui) {
  g_fatalErrorWindow = &ui;
  SetFatalErrorReporter(&ShowFatalError);
}

}  // namespace shopwalk
