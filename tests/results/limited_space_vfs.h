// A stand-in for a full disk: an SQLite VFS over the system's default one whose writes fail with
// SQLITE_FULL once a budget of bytes is spent. While an object lives it is SQLite's default VFS,
// so every connection opened meanwhile (the store's too) goes through it. One at a time.
#pragma once

#include <cstdint>
#include <functional>

namespace shopwalk::test {

class LimitedSpaceVfs {
 public:
  LimitedSpaceVfs();
  ~LimitedSpaceVfs();
  LimitedSpaceVfs(const LimitedSpaceVfs&) = delete;
  LimitedSpaceVfs& operator=(const LimitedSpaceVfs&) = delete;

  // From now on, writes totalling more than `bytes` fail (a write that does not fit fails whole).
  void AllowBytes(std::int64_t bytes);
  // Writes never fail (as after construction).
  void Unlimited();
  // Besides the budget, every write fails while `failing` says so (asked on each write, from
  // SQLite's threads; it must be quick). Nothing: no such condition.
  void FailWhile(std::function<bool()> failing);
  // Writes refused so far.
  std::int64_t RefusedWrites() const;
};

}  // namespace shopwalk::test
