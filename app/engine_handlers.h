// The program's handlers for the collector window: the collection engine (Start, Stop, the
// thread-count arrows), the settings file (created and closing events) and the export.
#pragma once

#include <memory>

#include "app/application.h"
#include "collect/collector.h"
#include "collect/collector_ui.h"

namespace shopwalk {

// Handlers driving one collection engine on the window `ui`. Their ShutDown, run once the
// window is gone, ends the run: no new work, the dispatcher ended, transfers aborted, and at
// most 1.5 s of waiting for the workers to leave.
CollectorHandlers EngineHandlers(CollectorUi& ui);
// The same for an engine the caller made for `ui` and keeps.
CollectorHandlers EngineHandlers(std::shared_ptr<Collector> collector);

// Shows fatal usage errors of the web client in an error box on `ui` before the process ends.
void ReportFatalErrorsIn(CollectorUi& ui);

}  // namespace shopwalk
