// The program's wiring of the collector window: the collection engine (Start, Stop, the
// thread-count arrows), the results store (recovering an interrupted run, keeping every row and
// answer, ending the run at closing), the window's own handlers (created and closing events, the
// export) with the program's folders, and the report of fatal usage errors.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "app/application.h"
#include "app/window_ui.h"
#include "collect/collector.h"
#include "results/result_store.h"

namespace shopwalk {

// The results store of the window's walks, or none, and whether the program is to end.
struct WindowStore {
  std::shared_ptr<ResultStore> store;
  // The store could not be opened and the user chose to end the program.
  bool exit = false;
};

// Opens the store at `path` (default: shopwalk.db in DataDirectory()) for walking. When it
// cannot be opened (damaged, in use by another walking copy, a folder that may not be written,
// a full disk), asks the user, naming the file and the reason, whether to run without a store
// (collected rows are then only in the list) or to end the program. The store's waits follow
// `clock`. UI thread.
WindowStore OpenWindowStore(WindowUi& ui);
WindowStore OpenWindowStore(WindowUi& ui, const std::string& path, Clock& clock = RealClock());

// Puts the window's interrupted run in `store` back, if there is one: its rows into the list, its
// place into the shop-ID field, the shops answered after the place marked to be passed by, the
// run continued in the store, and a note saying so. The number of rows put back; nothing when
// there was no interrupted run, or it could not be read (said on standard error); then the store
// is left as it was. Before Start.
std::optional<std::size_t> RecoverWindowRun(WindowUi& window, Collector& collector,
                                            ResultStore& store);

// Handlers driving one collection engine on the window `ui`, keeping what it finds in `store`
// (may be null). At creation an interrupted run of the window is put back: its rows into the
// list, its place into the shop-ID field, with a note saying so. While the store cannot write,
// the status bar's last pane says how many rows it holds unwritten (and the store holds the
// walk). Closing with rows the store could not write says so and offers their export before the
// closing question; the place saved to config.ini goes no further than what the store made
// durable. Their ShutDown, run once the window is gone, ends the run: no new work, the dispatcher
// ended, transfers aborted, at most 1.5 s of waiting for the workers to leave; then the store's
// run ends (recording whether the place went to config.ini) and everything is written (what
// cannot be is named on standard error).
CollectorHandlers EngineHandlers(WindowUi& ui, std::shared_ptr<ResultStore> store = nullptr);
// The same for an engine the caller made for `ui` and keeps.
CollectorHandlers EngineHandlers(std::shared_ptr<Collector> collector,
                                 std::shared_ptr<ResultStore> store = nullptr);

// Shows fatal usage errors of the web client in an error box on `ui` before the process ends.
void ReportFatalErrorsIn(WindowUi& ui);

}  // namespace shopwalk
