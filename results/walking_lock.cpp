#include "results/walking_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace shopwalk::results {

WalkingLock::~WalkingLock() {
  Release();
}

std::string WalkingLock::LockPathFor(const std::string& storePath) {
  return storePath + ".lock";
}

bool WalkingLock::Take(const std::string& storePath, int& error) {
  Release();
  std::string lockPath = LockPathFor(storePath);
  int descriptor = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (descriptor < 0 && (errno == EACCES || errno == EROFS)) {
    // A lock file we may not write (another user's, or on a read-only mount) still locks.
    int writeError = errno;
    descriptor = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) errno = writeError;
  }
  if (descriptor < 0) {
    error = errno;
    return false;
  }
  // The lock belongs to this open file description: a second open, in this process or another,
  // is refused while it is held.
  int result = 0;
  do {
    result = ::flock(descriptor, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    error = errno == EAGAIN ? EWOULDBLOCK : errno;
    ::close(descriptor);
    return false;
  }
  descriptor_ = descriptor;
  error = 0;
  return true;
}

void WalkingLock::Release() {
  if (descriptor_ < 0) return;
  // Closing the last descriptor of the open file description drops the lock.
  ::close(descriptor_);
  descriptor_ = -1;
}

}  // namespace shopwalk::results
