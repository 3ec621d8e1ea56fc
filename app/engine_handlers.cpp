#include "app/engine_handlers.h"

#include <chrono>
#include <memory>

#include "app/window_handlers.h"
#include "app/window_texts.h"
#include "net/fatal_error.h"
#include "store/program_folders.h"
#include "store/run_directory.h"

namespace shopwalk {
namespace {

// How long the program waits at its end for workers to leave.
constexpr std::chrono::milliseconds ShutDownWait{1500};

WindowUi* g_fatalErrorWindow = nullptr;

void ShowFatalError(const std::string& message) {
  if (g_fatalErrorWindow == nullptr) return;
  g_fatalErrorWindow->ShowMessage(
      std::string(FatalErrorLead) + message + std::string(FatalErrorTail), mb::Ok | mb::IconError,
      FatalErrorCaption);
}

}  // namespace

CollectorHandlers EngineHandlers(WindowUi& ui) {
  return EngineHandlers(std::make_shared<Collector>(ui));
}

CollectorHandlers EngineHandlers(std::shared_ptr<Collector> collector) {
  CollectorHandlers handlers;
  // config.ini beside the program where it may be written there, else in the user's folder.
  const std::string settings = SettingsDirectory();
  handlers.OnCollectorCreated = [collector, settings](WindowUi& window) {
    OnCollectorCreated(window, *collector, SettingsDirectoryToRead(RunDirectory(), settings));
  };
  handlers.OnCollectorDestroyed = [collector, settings](WindowUi& window) {
    OnCollectorDestroyed(window, *collector, settings);
  };
  handlers.OnStartClicked = [collector](WindowUi&) { collector->OnStartClicked(); };
  handlers.OnStopClicked = [collector](WindowUi&) { collector->OnStopClicked(); };
  handlers.OnThreadCountSpin = [collector](WindowUi&, int direction) {
    collector->OnThreadCountSpin(direction);
  };
  handlers.OnExportClicked = [](WindowUi& window) { OnExportClicked(window, ExportDirectory()); };
  handlers.ShutDown = [collector] { collector->ShutDownForExit(ShutDownWait); };
  return handlers;
}

void ReportFatalErrorsIn(WindowUi& ui) {
  g_fatalErrorWindow = &ui;
  SetFatalErrorReporter(&ShowFatalError);
}

}  // namespace shopwalk
