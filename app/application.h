// The program around the collector window: the Qt application, the window, the bridge for worker
// threads and the window's operations, wired to the handlers it is given (EngineHandlers in
// app/engine_handlers.h for the program).
//
// Run() raises the created event, shows the window centred and runs the event loop until the
// window has closed; then it closes the bridge, destroys the window and runs the shut-down step,
// so threads still calling the window return at once and nothing touches destroyed widgets.
#pragma once

#include <functional>
#include <memory>

#include "app/window_ui.h"

class QApplication;

namespace shopwalk {

class CollectorWindow;
class QtCollectorUi;
class QtDialogHost;
class UiBridge;

// The handlers the window's events run, all on the UI thread, each given the window's operations.
// An empty handler does nothing.
struct CollectorHandlers {
  // NOLINTBEGIN(readability-identifier-naming): the fields are named in CamelCase like the
  // window events they answer, the names the program's design gives them.
  std::function<void(WindowUi&)> OnCollectorCreated;
  std::function<void(WindowUi&)> OnCollectorDestroyed;
  std::function<void(WindowUi&)> OnStartClicked;
  std::function<void(WindowUi&)> OnStopClicked;
  std::function<void(WindowUi&)> OnExportClicked;
  std::function<void(WindowUi&, int)> OnThreadCountSpin;
  // Runs once the window is gone and the event loop has ended, before the program exits.
  std::function<void()> ShutDown;
  // NOLINTEND(readability-identifier-naming)
};

class Application {
 public:
  // Creates the Qt application (argc and argv must outlive it), sets the working directory to the
  // executable's directory and builds the window.
  Application(int& argc, char** argv);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The window's operations, callable from any thread.
  WindowUi& Ui();
  CollectorWindow& Window();

  void SetHandlers(CollectorHandlers handlers);

  // Returns the event loop's exit code.
  int Run();

 private:
  std::unique_ptr<QApplication> qt_;
  std::unique_ptr<QtDialogHost> dialogs_;
  std::unique_ptr<UiBridge> bridge_;
  std::unique_ptr<CollectorWindow> window_;
  std::unique_ptr<QtCollectorUi> ui_;
  CollectorHandlers handlers_;
};

}  // namespace shopwalk
