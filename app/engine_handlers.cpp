#include "app/engine_handlers.h"

#include <chrono>
#include <memory>

#include "collect/gbk.h"
#include "net/http_client.h"
#include "store/export_file.h"
#include "store/progress_store.h"

namespace shopwalk {
namespace {

// How long the program waits at its end for workers to leave.
constexpr std::chrono::milliseconds ShutDownWait{1500};

CollectorUi* fatalErrorWindow = nullptr;

void ShowFatalError(const std::string& utf8Message) {
  if (fatalErrorWindow == nullptr) return;
  fatalErrorWindow->ShowMessage(Utf8ToGbk(utf8Message), mb::Ok | mb::IconError, Utf8ToGbk("错误"));
}

}  // namespace

CollectorHandlers EngineHandlers(CollectorUi& ui) {
  return EngineHandlers(std::make_shared<Collector>(ui));
}

CollectorHandlers EngineHandlers(std::shared_ptr<Collector> collector) {
  CollectorHandlers handlers;
  handlers.OnCollectorCreated = [](CollectorUi& window) { OnCollectorCreated(window); };
  handlers.OnCollectorDestroyed = [collector](CollectorUi& window) {
    OnCollectorDestroyed(window, *collector);
  };
  handlers.OnStartClicked = [collector](CollectorUi&) { collector->OnStartClicked(); };
  handlers.OnStopClicked = [collector](CollectorUi&) { collector->OnStopClicked(); };
  handlers.OnThreadCountSpin = [collector](CollectorUi&, int direction) {
    collector->OnThreadCountSpin(direction);
  };
  handlers.OnExportClicked = [](CollectorUi& window) { OnExportClicked(window); };
  handlers.ShutDown = [collector] { collector->ShutDownForExit(ShutDownWait); };
  return handlers;
}

void ReportFatalErrorsIn(CollectorUi& ui) {
  fatalErrorWindow = &ui;
  SetFatalErrorReporter(&ShowFatalError);
}

}  // namespace shopwalk
