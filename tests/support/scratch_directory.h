// A fresh directory for one test, removed with everything in it afterwards, and small helpers
// for looking at files byte for byte.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace shopwalk::test {

class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  // Lets `uid` create and remove files here, for a test body run as that user: as root the
  // directory is handed to `uid` and `gid` (not as root it is ours already).
  void HandTo(uid_t uid, gid_t gid) const;
  // Makes the directory writable by everyone with the sticky bit, like /tmp: only a file's owner
  // (or the directory's, or root) may then remove or rename it.
  void ShareLikeTmp() const;
  std::string File(std::string_view name) const { return path_ + "/" + std::string(name); }
  // Names in the directory, sorted ("." and ".." left out).
  std::string Listing() const;

 private:
  std::string path_;
};

// Writes exactly `bytes` (plain write, for setting up a test).
void PutFile(const std::string& path, std::string_view bytes);
// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> FileContent(const std::string& path);
bool Exists(const std::string& path);
// Permission bits of the file.
unsigned Mode(const std::string& path);
// The file's status as stat() gives it (all zero when it cannot be had).
struct stat Status(const std::string& path);

}  // namespace shopwalk::test
