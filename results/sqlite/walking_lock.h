// The lock that lets one copy of the program walk with a store at a time: an exclusive flock(2)
// lock on the store file itself, so that every name of the file (the path as written, a symbolic
// link, a hard link, a path through "..") meets the same lock. The kernel releases it when the
// holder ends, however it ends, so a killed copy never leaves a store locked. The holder writes
// its process ID into the lock file beside the store's real path ("<real path>.lock"), so that a
// refused copy can name it; copies of earlier versions, which lock only that file, are kept out
// too, as it is locked as well.
//
// A flock lock belongs to the open file description and leaves SQLite's own fcntl locks alone,
// but closing any descriptor of a file drops every fcntl lock this process holds on it, SQLite's
// included. So a descriptor of a store file, once opened here, is never closed: it stays open for
// the process's life and serves every later lock of the same file (one descriptor per file).
// Safe to use from any thread; a process started with fork() (without exec) begins afresh.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace shopwalk::results {

class WalkingLock {
 public:
  // Why the lock was not taken.
  struct Refusal {
    // EWOULDBLOCK: another holder has it (in this process or another); ELOOP: the lock file is
    // a symbolic link, which is not followed; otherwise the errno of opening the store file.
    int error = 0;
    // The file concerned: the store file, or the lock file when that is a link (ELOOP) or a
    // copy of an earlier version holds it (EWOULDBLOCK).
    std::string file;
    // With EWOULDBLOCK: the holder's process ID when its lock file names one.
    std::optional<pid_t> holder;
  };

  WalkingLock() = default;
  ~WalkingLock();
  WalkingLock(const WalkingLock&) = delete;
  WalkingLock& operator=(const WalkingLock&) = delete;

  // The lock file of the store at `storePath`: beside the file the path names, symbolic links
  // resolved ("<path>.lock" while the store is missing or cannot be resolved).
  static std::string LockPathFor(const std::string& storePath);

  // Takes the lock for the store at `storePath` without waiting, creating the store file (empty,
  // mode 0644 less the umask) when missing; a store file we may only read is locked all the same.
  // False, with `refusal` saying why, when another holder has it or the file cannot be opened.
  // Any lock held before is released first.
  bool Take(const std::string& storePath, Refusal& refusal);
  bool Held() const { return descriptor_ >= 0; }

 private:
  void Release();

  int descriptor_ = -1;      // the store file's (kept open for the process's life)
  int lockDescriptor_ = -1;  // the lock file's, closed on release
  pid_t taker_ = -1;         // the process that took the lock
};

}  // namespace shopwalk::results
