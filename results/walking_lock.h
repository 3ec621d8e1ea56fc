// The lock that lets one copy of the program walk with a store at a time: an exclusive lock on a
// file beside the store ("<store>.lock"). The kernel releases it when the holder closes it or
// ends, however it ends, so a killed copy never leaves a store locked.
#pragma once

#include <string>

namespace shopwalk::results {

class WalkingLock {
 public:
  WalkingLock() = default;
  ~WalkingLock();
  WalkingLock(const WalkingLock&) = delete;
  WalkingLock& operator=(const WalkingLock&) = delete;

  // The lock file of the store at `storePath`.
  static std::string LockPathFor(const std::string& storePath);

  // Takes the lock for the store at `storePath` without waiting, creating the lock file when
  // missing. False when another holder has it (`error` is then EWOULDBLOCK) or the file cannot be
  // created or opened (`error` is the errno). Any lock held before is released first.
  bool Take(const std::string& storePath, int& error);
  bool Held() const { return descriptor_ >= 0; }

 private:
  void Release();

  int descriptor_ = -1;
};

}  // namespace shopwalk::results
