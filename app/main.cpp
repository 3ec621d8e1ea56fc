// shopwalk: walks a marketplace's shop IDs upward and lists the shops it finds.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/application.h"
#include "app/engine_handlers.h"
#include "app/window_handlers.h"
#include "base/terminal_text.h"
#include "net/web_access.h"
#include "store/program_folders.h"
#include "store/run_directory.h"

namespace {

// What the command line asks for that is answered without a window (and so without a display).
enum class EarlyAnswer { None, Help, Version };

// --help (or -h) or --version anywhere among the arguments; help wins. Every other argument is
// left to Qt, as before.
EarlyAnswer FindEarlyAnswer(int argc, const char* const* argv) {
  EarlyAnswer found = EarlyAnswer::None;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") return EarlyAnswer::Help;
    if (argument == "--version") found = EarlyAnswer::Version;
  }
  return found;
}

// Whether an environment variable is set to something.
bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// Whether the window has somewhere to go: a Qt platform was chosen (-platform, QT_QPA_PLATFORM),
// or an X or Wayland display is named. Without one Qt would abort the program.
bool HasDisplay(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-platform" || argument == "--platform") return true;
  }
  return IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

// The help, with the folders this run would use for config.ini and the results store.
void PrintHelp() {
  using namespace shopwalk;
  const std::string settings = SettingsDirectory();
  const std::string settingsRead = SettingsDirectoryToRead(RunDirectory(), settings);
  const std::string store = PathInDirectory(DataDirectory(), StoreFileName);
  std::printf(
      "shopwalk: walks the marketplace's shop IDs upward and lists the shops found, in a window\n"
      "Usage: shopwalk [QT-OPTION...]\n"
      "\n"
      "Options:\n"
      "  -h,--help     Print this help message and exit\n"
      "  --version     Display program version information and exit\n"
      "Other options are passed on to Qt (e.g. -platform offscreen). The window needs a\n"
      "display; shopwalk-cli walks without one.\n"
      "\n");
  std::printf("Settings (config.ini) are read from %s\n",
              PathInDirectory(settingsRead, ConfigFileName).c_str());
  if (settingsRead != settings) {
    std::printf("and saved to %s\n", PathInDirectory(settings, ConfigFileName).c_str());
  }
  std::printf(
      "The results store is %s\n"
      "SHOPWALK_CONNECT_TO=HOST:PORT sends every connection to that address.\n",
      store.c_str());
}

// Prints the early answer; the exit code (1 when standard output could not take it).
int Answer(EarlyAnswer answer) {
  if (answer == EarlyAnswer::Help) {
    PrintHelp();
  } else {
    std::printf("shopwalk %s\n", SHOPWALK_VERSION);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "shopwalk: cannot write to standard output\n");
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so they work on a machine without a display.
  if (const EarlyAnswer answer = FindEarlyAnswer(argc, argv); answer != EarlyAnswer::None) {
    return Answer(answer);
  }

  // Connections never go elsewhere than asked: a redirect that is no address ends the program,
  // with an error box when there is a display to show it on.
  const std::string connectTo = shopwalk::ConnectToFromEnvironment();
  const bool badConnectTo = !connectTo.empty() && !shopwalk::IsConnectToAddress(connectTo);
  if (badConnectTo) {
    std::fprintf(stderr,
                 "shopwalk: %s=%s is not HOST:PORT (a host name, an IPv4 address or an [IPv6] "
                 "address, then a port from 1 to 65535)\n",
                 shopwalk::ConnectToVariable, shopwalk::TerminalSafe(connectTo).c_str());
  }
  if (!HasDisplay(argc, argv)) {
    if (badConnectTo) return 2;
    std::fprintf(stderr,
                 "shopwalk: the window needs a display (DISPLAY or WAYLAND_DISPLAY is not set); "
                 "shopwalk-cli walks without one\n");
    return 1;
  }

  // Before any other thread starts. A library that fails the checks was reported; go on.
  if (!badConnectTo) shopwalk::InitWebAccess();
  // The proxy is known before the window's title says where connections go.
  const std::optional<std::string> badWebSetting = shopwalk::TakeWebSettings(
      shopwalk::SettingsDirectoryToRead(shopwalk::RunDirectory(), shopwalk::SettingsDirectory()));

  shopwalk::Application app(argc, argv);
  if (shopwalk::RefuseBadConnectTo(app.Ui(), connectTo)) return 2;
  if (shopwalk::RefuseBadWebSettings(app.Ui(), badWebSetting)) return 2;
  shopwalk::ReportFatalErrorsIn(app.Ui());
  // The results store, or (when the user agrees) none; the user may also choose to end here.
  shopwalk::WindowStore store = shopwalk::OpenWindowStore(app.Ui());
  if (store.exit) return 1;
  app.SetHandlers(shopwalk::EngineHandlers(app.Ui(), store.store));
  store.store.reset();  // the handlers keep it as long as they need it
  const int code = app.Run();

  // The window and the run have ended. Workers that did not leave in time end with the process,
  // so nothing is torn down under them.
  std::fflush(nullptr);
  std::_Exit(code);
}
