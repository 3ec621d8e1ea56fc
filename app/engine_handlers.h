// The program's wiring of the collector window: the collection engine (Start, Stop, the
// thread-count arrows), the window's own handlers (created and closing events, the export) with
// the program's folder, and the report of fatal usage errors.
#pragma once

#include <memory>

#include "app/application.h"
#include "app/window_ui.h"
#include "collect/collector.h"

namespace shopwalk {

// Handlers driving one collection engine on the window `ui`. Their ShutDown, run once the
// window is gone, ends the run: no new work, the dispatcher ended, transfers aborted, and at
// most 1.5 s of waiting for the workers to leave.
CollectorHandlers EngineHandlers(WindowUi& ui);
// The same for an engine the caller made for `ui` and keeps.
CollectorHandlers EngineHandlers(std::shared_ptr<Collector> collector);

// Shows fatal usage errors of the web client in an error box on `ui` before the process ends.
void ReportFatalErrorsIn(WindowUi& ui);

}  // namespace shopwalk
