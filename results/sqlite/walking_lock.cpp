#include "results/sqlite/walking_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

namespace shopwalk::results {
namespace {

// The descriptors of the store files this process has opened, by file identity, and whether a
// WalkingLock of this process holds the lock through it.
class OpenStoreFiles {
 public:
  struct Entry {
    int descriptor = -1;
    bool held = false;
  };
  using Identity = std::pair<dev_t, ino_t>;

  static OpenStoreFiles& Instance() {
    static OpenStoreFiles files;
    return files;
  }

  std::mutex& Mutex() { return mutex_; }

  // The entry of the file (under Mutex()); null when this process has not opened it.
  Entry* Find(const Identity& identity) {
    ForgetAfterFork();
    auto found = entries_.find(identity);
    return found == entries_.end() ? nullptr : &found->second;
  }

  // Keeps `descriptor` of the file; the entry for it (an earlier descriptor of the same file, when
  // one was opened meanwhile: the new one is then kept unused).
  Entry& Keep(const Identity& identity, int descriptor) {
    ForgetAfterFork();
    auto [entry, added] = entries_.try_emplace(identity, Entry{descriptor, false});
    if (!added) spare_.push_back(descriptor);
    return entry->second;
  }

 private:
  // A child made by fork() shares the parent's open file descriptions, and so its locks: it
  // starts with none of the parent's entries (their descriptors stay open, as they must).
  void ForgetAfterFork() {
    const pid_t self = ::getpid();
    if (self == owner_) return;
    owner_ = self;
    entries_.clear();
    spare_.clear();
  }

  std::mutex mutex_;
  pid_t owner_ = ::getpid();
  std::map<Identity, Entry> entries_;
  std::vector<int> spare_;
};

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int descriptor = -1;
  do {
    descriptor = ::open(path, flags, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

int LockWithoutWaiting(int descriptor) {
  int result = 0;
  do {
    result = ::flock(descriptor, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return 0;
  return errno == EAGAIN ? EWOULDBLOCK : errno;
}

// The process ID written in the lock file, when it holds one.
std::optional<pid_t> HolderIn(const std::string& lockPath) {
  const int descriptor =
      OpenRetrying(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) return std::nullopt;
  char text[32];
  const ssize_t count = ::read(descriptor, text, sizeof text);
  ::close(descriptor);
  if (count <= 0) return std::nullopt;
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(text, text + count, pid);
  if (error != std::errc() || pid <= 0 || end == text) return std::nullopt;
  return pid;
}

// The process holding a flock lock on the file open as `descriptor`, as the kernel lists it in
// /proc/locks ("1: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> 0 EOF").
std::optional<pid_t> FlockHolder(int descriptor) {
  struct stat info {};
  if (::fstat(descriptor, &info) != 0) return std::nullopt;
  std::ifstream locks("/proc/locks");
  char identity[64];
  std::snprintf(identity, sizeof identity, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                static_cast<unsigned long long>(info.st_ino));
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, type, kind, access, file;
    long long pid = 0;
    // A waiting lock is listed as "1: -> FLOCK ...": its second field is not the type.
    if (!(fields >> number >> type >> kind >> access >> pid >> file)) continue;
    if (type == "FLOCK" && file == identity && pid > 0) return static_cast<pid_t>(pid);
  }
  return std::nullopt;
}

// Replaces the lock file's content with this process's ID.
void WritePid(int descriptor) {
  struct stat info {};
  if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) return;
  const std::string text = std::to_string(::getpid()) + "\n";
  if (::ftruncate(descriptor, 0) != 0) return;
  // The process ID only helps a refused copy name the holder: a failed write changes nothing.
  [[maybe_unused]] const ssize_t written = ::pwrite(descriptor, text.data(), text.size(), 0);
}

}  // namespace

WalkingLock::~WalkingLock() {
  Release();
}

std::string WalkingLock::LockPathFor(const std::string& storePath) {
  std::string real = storePath;
  if (char* resolved = ::realpath(storePath.c_str(), nullptr)) {
    real = resolved;
    std::free(resolved);
  }
  return real + ".lock";
}

bool WalkingLock::Take(const std::string& storePath, Refusal& refusal) {
  Release();
  refusal = Refusal{};
  OpenStoreFiles& files = OpenStoreFiles::Instance();
  std::lock_guard guard(files.Mutex());

  OpenStoreFiles::Entry* entry = nullptr;
  struct stat info {};
  if (::stat(storePath.c_str(), &info) == 0) entry = files.Find({info.st_dev, info.st_ino});
  if (entry == nullptr) {
    int descriptor = OpenRetrying(storePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (descriptor < 0 && (errno == EACCES || errno == EROFS)) {
      // A store file we may not write still locks (SQLite then says it is read-only).
      const int writeError = errno;
      descriptor = OpenRetrying(storePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
      if (descriptor < 0) errno = writeError;
    }
    if (descriptor < 0) {
      refusal.error = errno;
      refusal.file = storePath;
      return false;
    }
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
      // Not a store file SQLite could hold locks on: nothing to keep.
      refusal.error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
      refusal.file = storePath;
      ::close(descriptor);
      return false;
    }
    entry = &files.Keep({info.st_dev, info.st_ino}, descriptor);
  }

  const std::string lockPath = LockPathFor(storePath);
  if (entry->held) {
    refusal.error = EWOULDBLOCK;
    refusal.file = storePath;
    refusal.holder = ::getpid();
    return false;
  }
  if (const int error = LockWithoutWaiting(entry->descriptor); error != 0) {
    refusal.error = error;
    refusal.file = storePath;
    if (error == EWOULDBLOCK) {
      refusal.holder = FlockHolder(entry->descriptor);
      if (!refusal.holder) refusal.holder = HolderIn(lockPath);
    }
    return false;
  }

  // The lock file: never through a symbolic link, as its content is replaced.
  constexpr int LockFileFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int lockDescriptor = OpenRetrying(lockPath.c_str(), O_RDWR | O_CREAT | LockFileFlags, 0644);
  const bool writable = lockDescriptor >= 0;
  if (lockDescriptor < 0 && (errno == EACCES || errno == EROFS)) {
    lockDescriptor = OpenRetrying(lockPath.c_str(), O_RDONLY | LockFileFlags);
  }
  if (lockDescriptor < 0 && errno == ELOOP) {
    ::flock(entry->descriptor, LOCK_UN);
    refusal.error = ELOOP;
    refusal.file = lockPath;
    return false;
  }
  // Any other trouble with the lock file (a read-only folder without one) leaves the store's
  // own lock, which is what counts, without a process ID beside it.
  if (lockDescriptor >= 0) {
    if (LockWithoutWaiting(lockDescriptor) == EWOULDBLOCK) {
      // A copy of an earlier version, which locks only this file, walks with the store.
      refusal.holder = FlockHolder(lockDescriptor);
      ::close(lockDescriptor);
      ::flock(entry->descriptor, LOCK_UN);
      refusal.error = EWOULDBLOCK;
      refusal.file = lockPath;
      return false;
    }
    if (writable) WritePid(lockDescriptor);
  }
  entry->held = true;
  descriptor_ = entry->descriptor;
  lockDescriptor_ = lockDescriptor;
  taker_ = ::getpid();
  return true;
}

void WalkingLock::Release() {
  if (descriptor_ < 0) return;
  if (taker_ == ::getpid()) {
    OpenStoreFiles& files = OpenStoreFiles::Instance();
    std::lock_guard guard(files.Mutex());
    struct stat info {};
    if (::fstat(descriptor_, &info) == 0) {
      if (OpenStoreFiles::Entry* entry = files.Find({info.st_dev, info.st_ino})) {
        entry->held = false;
      }
    }
    // The store file's descriptor stays open (see the header); unlocking it ends the lock.
    ::flock(descriptor_, LOCK_UN);
  }
  // A child made by fork() shares its parent's lock and leaves it to the parent: closing its own
  // reference to the lock file does not release it.
  if (lockDescriptor_ >= 0) ::close(lockDescriptor_);
  descriptor_ = -1;
  lockDescriptor_ = -1;
}

}  // namespace shopwalk::results
