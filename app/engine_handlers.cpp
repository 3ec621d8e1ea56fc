#include "app/engine_handlers.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "app/window_handlers.h"
#include "app/window_texts.h"
#include "base/terminal_text.h"
#include "collect/text.h"
#include "net/fatal_error.h"
#include "results/page_keeper.h"
#include "results/store.h"
#include "store/program_folders.h"
#include "store/run_directory.h"
#include "store/run_settings.h"

namespace shopwalk {
namespace {

// How long the program waits at its end for workers to leave, and for the store to write (less
// while its writes fail: they are retried that long, and what is left is lost).
constexpr std::chrono::milliseconds ShutDownWait{1500};
constexpr std::chrono::milliseconds StoreFlushWait{10000};
constexpr std::chrono::milliseconds FailingStoreFlushWait{2000};
// How long closing waits for the store to write what is queued before it asks about the place
// (not at all while writes fail).
constexpr std::chrono::milliseconds ClosingFlushWait{5000};

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
  // Start was pressed, and the shop-ID field's text then: the place saved goes no further than
  // what the store made durable, and before anything was, no further than this.
  bool walked = false;
  std::string startPlace;
  // Keeps the answered pages when config.ini says Keep_Pages=1.
  std::unique_ptr<PageKeeper> keeper;
};

// Keeps the window's answered pages in the store when config.ini's Keep_Pages=1 asks for it,
// within Keep_Pages_MB (or the default); says in the status bar when the store cannot.
void KeepPagesWhenAsked(WindowUi& window, Collector& collector, StoreRun& run,
                        std::string_view settingsDirectory) {
  const RunSettings settings = LoadRunSettings(settingsDirectory);
  if (!settings.keepPages) return;
  const std::uint64_t mb =
      settings.keepPagesMb ? static_cast<std::uint64_t>(*settings.keepPagesMb) : DefaultKeepPagesMb;
  run.store->SetKeptPagesBudget(mb << 20);
  Expected<std::unique_ptr<PageKeeper>, StoreProblem> keeper = PageKeeper::Open(*run.store);
  if (!keeper) {
    window.ShowNote(std::string(KeepPagesFailed) + keeper.error().reason);
    return;
  }
  run.keeper = std::move(*keeper);
  collector.SetPageSink(run.keeper.get());
}

// The window the store's trouble is shown on, until the program's end takes it away (the store's
// writer may still tell of trouble as it closes, after the window is gone).
struct TroubleShown {
  std::mutex mutex;
  WindowUi* window = nullptr;
  // The note last shown for the trouble, so that a new count of rows does not repeat it.
  std::string note;
};

// Tells the window when the store cannot write, how many rows wait, and when it writes again
// (from the store's writer).
void WatchStore(WindowUi& window, ResultStore& store, const std::shared_ptr<TroubleShown>& shown) {
  {
    std::lock_guard lock(shown->mutex);
    shown->window = &window;
  }
  store.OnTrouble([shown](const std::optional<StoreProblem>& problem) {
    std::lock_guard lock(shown->mutex);
    if (shown->window == nullptr) return;
    if (problem) {
      std::string note = std::string(StoreWriteFailed) + problem->path + " " + problem->reason;
      if (note != shown->note) shown->window->ShowNote(note);
      shown->note = std::move(note);
      shown->window->ShowStoreTrouble(problem->unwrittenRows);
    } else {
      shown->note.clear();
      shown->window->ShowNote(StoreWritesAgain);
      shown->window->ShowStoreTrouble(std::nullopt);
    }
  });
}

// Lets the store write what is queued, unless its writes fail; then what it holds unwritten.
StoreBacklog SettleStore(ResultStore& store, std::chrono::milliseconds wait) {
  StoreBacklog backlog = store.Backlog();
  if (backlog.reports > 0 && !backlog.problem) {
    store.Flush(wait);
    backlog = store.Backlog();
  }
  return backlog;
}

// The place to save at closing: with a store, no further than the store made durable.
std::string PlaceToSave(StoreRun& run, Collector& collector) {
  if (!run.store || !run.walked) return collector.ProgressText();
  // The run went on while the closing questions were open.
  SettleStore(*run.store, ClosingFlushWait);
  return run.store->DurablePlace().value_or(run.startPlace);
}

// The closing with a store: rows it could not write are offered for export first, then the
// usual question; the place saved is the store's durable one.
bool CloseWithStore(WindowUi& window, Collector& collector, StoreRun& run,
                    std::string_view settings) {
  collector.OnWindowClosing();
  const StoreBacklog backlog = SettleStore(*run.store, ClosingFlushWait);
  if (backlog.rows > 0) {
    OfferExportOfUnwrittenRows(
        window, backlog.rows,
        backlog.problem ? backlog.problem->reason : std::string(StoreWriteUnfinished),
        ExportDirectory());
  }
  if (!AskToSaveProgress(window)) return false;
  return SaveProgressShowingFailure(window, PlaceToSave(run, collector), settings);
}

// Says on standard error what the store could not write by the program's end.
void ReportUnwritten(const StoreBacklog& backlog) {
  if (backlog.rows == 0) return;
  std::fprintf(stderr, "shopwalk: %llu %s not be written to the results store",
               static_cast<unsigned long long>(backlog.rows),
               backlog.rows == 1 ? "row could" : "rows could");
  if (backlog.lowestRow && backlog.highestRow) {
    std::fprintf(stderr, " (shop IDs %d to %d)", *backlog.lowestRow, *backlog.highestRow);
  }
  if (backlog.problem) {
    std::fprintf(stderr, ": %s %s", backlog.problem->path.c_str(), backlog.problem->reason.c_str());
  }
  std::fputc('\n', stderr);
}

}  // namespace

std::optional<std::size_t> RecoverWindowRun(WindowUi& window, Collector& collector,
                                            ResultStore& store) {
  auto read = store.Interrupted(RunKind::Window);
  if (!read) {
    // The run cannot be put back; the walk goes on from the field, and the trace says why.
    std::fprintf(stderr, "shopwalk: results store %s: %s\n",
                 TerminalSafe(read.error().path).c_str(),
                 TerminalSafe(read.error().reason).c_str());
    return std::nullopt;
  }
  std::optional<InterruptedRun>& interrupted = *read;
  if (!interrupted) return std::nullopt;
  window.RestoreRows(interrupted->rows);
  window.SetShopIdText(interrupted->place);
  // Shops answered after the place came back in the list: the walk passes them by.
  const std::int32_t place = TextToInt(interrupted->place);
  std::set<std::int32_t> listed;
  for (const ShopRecord& record : interrupted->rows) {
    if (record.shopId > place) listed.insert(record.shopId);
  }
  collector.SetAlreadyListed(std::move(listed));
  store.ContinueRun(interrupted->runId);
  window.ShowNote(std::string(RecoveredRunPrefix) + std::to_string(interrupted->rows.size()) +
                  std::string(RecoveredRunSuffix));
  return interrupted->rows.size();
}

WindowStore OpenWindowStore(WindowUi& ui) {
  return OpenWindowStore(ui, PathInDirectory(DataDirectory(), StoreFileName));
}

WindowStore OpenWindowStore(WindowUi& ui, const std::string& path, Clock& clock) {
  WindowStore result;
  Expected<StoreHandle, StoreProblem> opened = OpenStore(path, StoreMode::Walking, {}, clock);
  if (opened) {
    result.store = opened->Store();
    return result;
  }
  const StoreProblem& problem = opened.error();
  const std::string text = std::string(StoreOpenFailed) + problem.path + "\r\n" + problem.reason +
                           "\r\n\r\n" + std::string(StoreOpenQuestion);
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
  auto shown = std::make_shared<TroubleShown>();
  // config.ini beside the program where it may be written there, else in the user's folder.
  const std::string settings = SettingsDirectory();
  handlers.OnCollectorCreated = [collector, settings, run, shown](WindowUi& window) {
    OnCollectorCreated(window, *collector, SettingsDirectoryToRead(RunDirectory(), settings));
    if (!run->store) return;
    WatchStore(window, *run->store, shown);
    if (RecoverWindowRun(window, *collector, *run->store)) run->begun = true;
    collector->SetResultSink(run->store.get());
    KeepPagesWhenAsked(window, *collector, *run, SettingsDirectoryToRead(RunDirectory(), settings));
  };
  handlers.OnCollectorDestroyed = [collector, settings, run](WindowUi& window) {
    run->placeSaved = run->store ? CloseWithStore(window, *collector, *run, settings)
                                 : OnCollectorDestroyed(window, *collector, settings);
  };
  handlers.OnStartClicked = [collector, run](WindowUi& window) {
    if (run->store && !run->walked) {
      run->walked = true;
      run->startPlace = window.ShopIdText();
    }
    if (run->store && !run->begun) {
      run->store->BeginRun(RunKind::Window, run->startPlace);
      run->begun = true;
    }
    collector->OnStartClicked();
  };
  handlers.OnStopClicked = [collector](WindowUi&) { collector->OnStopClicked(); };
  handlers.OnThreadCountSpin = [collector](WindowUi&, int direction) {
    collector->OnThreadCountSpin(direction);
  };
  handlers.OnExportClicked = [](WindowUi& window) { OnExportClicked(window, ExportDirectory()); };
  handlers.ShutDown = [collector, run, shown] {
    collector->ShutDownForExit(ShutDownWait);
    if (!run->store) return;
    // The pages of a run too short to train a dictionary are still gathered.
    if (run->keeper) run->keeper->Finish();
    // The run ended cleanly, with the user's answer about config.ini on record, so the next
    // start never contradicts it.
    if (run->begun) run->store->EndRun(run->placeSaved);
    const bool failing = run->store->Backlog().problem.has_value();
    if (!run->store->Flush(failing ? FailingStoreFlushWait : StoreFlushWait)) {
      ReportUnwritten(run->store->Backlog());
    }
    std::lock_guard lock(shown->mutex);
    shown->window = nullptr;
  };
  return handlers;
}

void ReportFatalErrorsIn(WindowUi& ui) {
  g_fatalErrorWindow = &ui;
  SetFatalErrorReporter(&ShowFatalError);
}

}  // namespace shopwalk
