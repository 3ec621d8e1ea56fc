#include "store/program_folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "store/run_directory.h"

namespace shopwalk {
namespace {

bool Writable(const std::string& path) {
  return ::access(path.c_str(), W_OK) == 0;
}

// A folder the program may keep its files in: writable, and not the system's program folder.
bool Ours(const std::string& folder) {
  return folder != InstalledProgramDirectory() && Writable(folder);
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// Creates `path` and the folders above it that are missing (mode 0700, as XDG asks).
void MakeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return;
    if (slash == std::string::npos) return;
  }
}

// $<variable>/shopwalk, or $HOME/<fallback>/shopwalk; a relative value is ignored, as XDG says.
std::string UserFolder(const Environment& environment, const char* variable,
                       std::string_view fallback) {
  std::string base;
  if (auto value = environment(variable); value && !value->empty() && value->front() == '/') {
    base = *value;
  } else {
    const auto home = environment("HOME");
    base = PathInDirectory(home && !home->empty() ? *home : std::string("/tmp"), fallback);
  }
  std::string folder = PathInDirectory(base, "shopwalk");
  MakeFolders(folder);
  return folder;
}

}  // namespace

std::string InstalledProgramDirectory() {
  return SHOPWALK_INSTALL_BINDIR;
}

Environment ProcessEnvironment() {
  return [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

std::string SettingsDirectory(std::string_view runDirectory, const Environment& environment) {
  const std::string folder(runDirectory);
  const std::string config = PathInDirectory(folder, ConfigFileName);
  if (folder != InstalledProgramDirectory() && (Exists(config) ? Writable(config) : Ours(folder))) {
    return folder;
  }
  return UserFolder(environment, "XDG_CONFIG_HOME", ".config");
}

std::string DataDirectory(std::string_view runDirectory, const Environment& environment) {
  const std::string folder(runDirectory);
  if (Ours(folder)) return folder;
  return UserFolder(environment, "XDG_DATA_HOME", ".local/share");
}

std::string ExportDirectory(std::string_view runDirectory, const Environment& environment) {
  const std::string folder(runDirectory);
  if (Ours(folder)) return folder;
  const auto home = environment("HOME");
  return home && !home->empty() ? *home : folder;
}

std::string SettingsDirectory() {
  return SettingsDirectory(RunDirectory(), ProcessEnvironment());
}

std::string DataDirectory() {
  return DataDirectory(RunDirectory(), ProcessEnvironment());
}

std::string ExportDirectory() {
  return ExportDirectory(RunDirectory(), ProcessEnvironment());
}

std::string SettingsDirectoryToRead(std::string_view runDirectory,
                                    std::string_view settingsDirectory) {
  if (settingsDirectory == runDirectory ||
      Exists(PathInDirectory(settingsDirectory, ConfigFileName)) ||
      !Exists(PathInDirectory(runDirectory, ConfigFileName))) {
    return std::string(settingsDirectory);
  }
  return std::string(runDirectory);
}

}  // namespace shopwalk
