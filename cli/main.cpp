// shopwalk-cli: the collection engine without a window, for servers and cron.
#include <cstdio>
#include <variant>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "store/program_folders.h"
#include "store/run_directory.h"

int main(int argc, char** argv) {
  using namespace shopwalk;
  Folders folders;
  folders.settings = SettingsDirectory();
  folders.settingsRead = SettingsDirectoryToRead(RunDirectory(), folders.settings);
  folders.store = PathInDirectory(DataDirectory(), StoreFileName);

  const ParsedCommand command = ParseCommandLine(
      argc, argv, PathInDirectory(folders.settingsRead, ConfigFileName), folders.store);
  int code = 0;
  if (const int* answered = std::get_if<int>(&command)) {
    code = *answered;
  } else if (const auto* walk = std::get_if<WalkCommand>(&command)) {
    code = RunWalk(*walk, folders);
  } else if (const auto* exportCommand = std::get_if<ExportCommand>(&command)) {
    code = RunExport(*exportCommand, folders);
  } else if (const auto* status = std::get_if<StatusCommand>(&command)) {
    code = RunStatus(*status, folders);
  } else if (const auto* reparse = std::get_if<ReparseCommand>(&command)) {
    code = RunReparse(*reparse, folders);
  } else if (const auto* refresh = std::get_if<RefreshCommand>(&command)) {
    code = RunRefresh(*refresh, folders);
  } else if (const auto* markers = std::get_if<MarkersCommand>(&command)) {
    code = RunMarkers(*markers, folders);
  }
  std::fflush(nullptr);
  // Threads that did not end in time (a transfer that would not abort) end with the process.
  std::_Exit(code);
}
