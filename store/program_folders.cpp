#include "store/program_folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>

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

bool IsAbsolute(const std::optional<std::string>& value) {
  return value && !value->empty() && value->front() == '/';
}

enum class Ownership { Ours, Missing, Foreign };

// Creates the folders below `shared` on the way to `folder` (which lies inside it) that are
// missing, one by one, each looked at before anything is made in it: whether all are folders of
// ours, not symbolic links, that no one else may write. Nothing is made inside one that is not.
Ownership MakeOwnFolders(const std::string& shared, const std::string& folder) {
  for (std::size_t slash = folder.find('/', shared.size() + 1);;
       slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    // An existing name, a link too, is left as it is.
    ::mkdir(part.c_str(), 0700);
    struct stat info {};
    if (::lstat(part.c_str(), &info) != 0) return Ownership::Missing;
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 022) != 0) {
      return Ownership::Foreign;
    }
    if (slash == std::string::npos) return Ownership::Ours;
  }
}

// A new folder of our own in `shared`, which no one else can have made or may write; the same
// one for the whole run, so that settings and store stay together.
std::string PrivateFolder(const std::string& shared) {
  static std::mutex mutex;
  static std::map<std::string, std::string> made;
  std::lock_guard lock(mutex);
  if (auto found = made.find(shared); found != made.end()) return found->second;
  std::string pattern = PathInDirectory(shared, "shopwalk-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) {
    // None can be made: a folder that does not exist, so the files fail to open and say so.
    return "/nonexistent/shopwalk";
  }
  made.emplace(shared, pattern);
  return pattern;
}

// $<variable>/shopwalk, or $HOME/<fallback>/shopwalk; a relative value is ignored, as XDG says.
// Without a home the folder goes into the temporary folder ($TMPDIR, else /tmp), which everyone
// may write: a folder there that someone else made (or a link they put there) is not used, as
// they could read and change what the program keeps; a fresh private folder is used instead.
std::string UserFolder(const Environment& environment, const char* variable,
                       std::string_view fallback) {
  if (auto value = environment(variable); IsAbsolute(value)) {
    std::string folder = PathInDirectory(*value, "shopwalk");
    MakeFolders(folder);
    return folder;
  }
  if (auto home = environment("HOME"); home && !home->empty()) {
    std::string folder = PathInDirectory(PathInDirectory(*home, fallback), "shopwalk");
    MakeFolders(folder);
    return folder;
  }
  const auto temporary = environment("TMPDIR");
  const std::string shared = IsAbsolute(temporary) ? *temporary : std::string("/tmp");
  std::string folder = PathInDirectory(PathInDirectory(shared, fallback), "shopwalk");
  if (MakeOwnFolders(shared, folder) == Ownership::Foreign) return PrivateFolder(shared);
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
