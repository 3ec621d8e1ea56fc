#include "store/run_directory.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace shopwalk {
namespace {

std::string ExecutablePath() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string WorkingDirectory() {
  std::vector<char> buffer(PATH_MAX);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return ".";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

}  // namespace

std::string RunDirectory() {
  std::string executable = ExecutablePath();
  std::size_t slash = executable.rfind('/');
  if (executable.empty() || executable[0] != '/' || slash == std::string::npos) {
    return WorkingDirectory();
  }
  return slash == 0 ? std::string("/") : executable.substr(0, slash);
}

std::string PathInDirectory(std::string_view directory, std::string_view name) {
  if (directory.empty()) return std::string(name);
  std::string path(directory);
  if (path.back() != '/') path += '/';
  path += name;
  return path;
}

std::string ConfigPath() {
  return PathInDirectory(RunDirectory(), ConfigFileName);
}

}  // namespace shopwalk
