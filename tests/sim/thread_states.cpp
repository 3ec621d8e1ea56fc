#include "tests/sim/thread_states.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace shopwalk::sim {
namespace {

// The state letter of a /proc stat file ("pid (name) S ..."); 0 when it cannot be read.
char StateIn(int directory, const char* path) {
  const int fd = ::openat(directory, path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::array<char, 512> text{};
  const ssize_t got = ::read(fd, text.data(), text.size() - 1);
  ::close(fd);
  if (got <= 0) return 0;
  // The name may hold spaces and parentheses: the state follows the last ')'.
  const char* close = std::strrchr(text.data(), ')');
  if (close == nullptr || close + 2 >= text.data() + got) return 0;
  return close[2];
}

bool IsActiveState(char state) {
  return state == 'R' || state == 'D';
}

// The state letter in stat text; 0 when there is none.
char StateOf(const char* text, ssize_t size) {
  if (size <= 0) return 0;
  const char* close = nullptr;
  for (const char* c = text; c < text + size; ++c) {
    if (*c == ')') close = c;
  }
  if (close == nullptr || close + 2 >= text + size) return 0;
  return close[2];
}

}  // namespace

ThreadWatch::ThreadWatch(pid_t pid) : pid_(pid) {
  if (pid_ != 0) {
    const std::string path = "/proc/" + std::to_string(pid_) + "/stat";
    processFile_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
}

ThreadWatch::~ThreadWatch() {
  for (const auto& [thread, fd] : files_) ::close(fd);
  if (processFile_ >= 0) ::close(processFile_);
}

int ThreadWatch::ThreadCount() {
  if (processFile_ < 0) return -1;
  std::array<char, 1024> text{};
  const ssize_t got = ::pread(processFile_, text.data(), text.size() - 1, 0);
  if (got <= 0) return -1;
  const char* close = std::strrchr(text.data(), ')');
  if (close == nullptr) return -1;
  // After the name: state (3), ppid, pgrp, session, tty, tpgid, flags, minflt, cminflt, majflt,
  // cmajflt, utime, stime, cutime, cstime, priority, nice, num_threads (20).
  const char* field = close + 2;
  for (int skip = 3; skip < 20 && field != nullptr; ++skip) {
    field = std::strchr(field, ' ');
    if (field != nullptr) ++field;
  }
  return field != nullptr ? std::atoi(field) : -1;
}

void ThreadWatch::Watch(const std::vector<pid_t>& threads) {
  std::vector<std::pair<pid_t, int>> kept;
  for (pid_t thread : threads) {
    auto found = std::find_if(files_.begin(), files_.end(),
                              [thread](const auto& file) { return file.first == thread; });
    if (found != files_.end()) {
      kept.push_back(*found);
      found->second = -1;
      continue;
    }
    const std::string path = "/proc/self/task/" + std::to_string(thread) + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) kept.emplace_back(thread, fd);
  }
  for (const auto& [thread, fd] : files_) {
    if (fd >= 0) ::close(fd);
  }
  files_ = std::move(kept);
}

void ThreadWatch::Refresh() {
  for (const auto& [thread, fd] : files_) ::close(fd);
  files_.clear();
  const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
  DIR* directory = ::opendir(tasks.c_str());
  if (directory == nullptr) return;
  while (dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const std::string path = tasks + "/" + entry->d_name + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) files_.emplace_back(static_cast<pid_t>(std::atoi(entry->d_name)), fd);
  }
  ::closedir(directory);
}

int ThreadWatch::Active() {
  if (pid_ != 0) {
    // Threads come and go (a new worker, a resolver): the list follows the count.
    const int count = ThreadCount();
    if (count < 0) return -1;
    if (static_cast<std::size_t>(count) != files_.size()) Refresh();
  }
  int active = 0;
  std::array<char, 512> text{};
  for (const auto& [thread, fd] : files_) {
    const ssize_t got = ::pread(fd, text.data(), text.size() - 1, 0);
    // A thread that has ended reads as nothing.
    if (IsActiveState(StateOf(text.data(), got))) ++active;
  }
  return active;
}

int ActiveThreads(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* directory = ::opendir(tasks.c_str());
  if (directory == nullptr) return -1;
  int active = 0;
  const int fd = ::dirfd(directory);
  while (dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const std::string stat = std::string(entry->d_name) + "/stat";
    if (IsActiveState(StateIn(fd, stat.c_str()))) ++active;
  }
  ::closedir(directory);
  return active;
}

int ActiveThreadsOf(const std::vector<pid_t>& threads) {
  const int directory = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return 0;
  int active = 0;
  for (pid_t thread : threads) {
    const std::string stat = std::to_string(thread) + "/stat";
    if (IsActiveState(StateIn(directory, stat.c_str()))) ++active;
  }
  ::close(directory);
  return active;
}

bool IsWalker(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/comm";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<char, 32> name{};
  const ssize_t got = ::read(fd, name.data(), name.size() - 1);
  ::close(fd);
  return got > 0 && std::strncmp(name.data(), "sim_walker", 10) == 0;
}

long long PeakResidentBytes(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::array<char, 4096> text{};
  const ssize_t got = ::read(fd, text.data(), text.size() - 1);
  ::close(fd);
  if (got <= 0) return -1;
  const char* line = std::strstr(text.data(), "VmHWM:");
  if (line == nullptr) return -1;
  return std::strtoll(line + 6, nullptr, 10) * 1024;
}

int OpenDescriptors(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* directory = ::opendir(path.c_str());
  if (directory == nullptr) return -1;
  int count = 0;
  while (dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') ++count;
  }
  ::closedir(directory);
  return count;
}

}  // namespace shopwalk::sim

namespace shopwalk::sim {

std::string DescriptorKinds(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* directory = ::opendir(path.c_str());
  if (directory == nullptr) return {};
  std::map<std::string, int> kinds;
  while (dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::array<char, 512> target{};
    const std::string link = path + "/" + entry->d_name;
    const ssize_t size = ::readlink(link.c_str(), target.data(), target.size() - 1);
    if (size <= 0) continue;
    std::string kind(target.data(), static_cast<std::size_t>(size));
    // "socket:[1234]" and "pipe:[99]" by their kind alone.
    if (const std::size_t colon = kind.find(":["); colon != std::string::npos) kind.resize(colon);
    ++kinds[kind];
  }
  ::closedir(directory);
  std::string text;
  for (const auto& [kind, count] : kinds) {
    if (!text.empty()) text += ", ";
    text += std::to_string(count) + " " + kind;
  }
  return text;
}

}  // namespace shopwalk::sim
