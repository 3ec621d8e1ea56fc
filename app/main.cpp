// shopwalk: walks a marketplace's shop IDs upward and lists the shops it finds.
#include <cstdio>
#include <cstdlib>

#include "app/application.h"
#include "app/engine_handlers.h"
#include "net/web_access.h"

int main(int argc, char** argv) {
  // Before any other thread starts. A library that fails the checks was reported; go on.
  shopwalk::InitWebAccess();

  shopwalk::Application app(argc, argv);
  shopwalk::ReportFatalErrorsIn(app.Ui());
  app.SetHandlers(shopwalk::EngineHandlers(app.Ui()));
  const int code = app.Run();

  // The window and the run have ended. Workers that did not leave in time end with the process,
  // so nothing is torn down under them.
  std::fflush(nullptr);
  std::_Exit(code);
}
