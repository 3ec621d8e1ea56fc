// A fresh directory for one test, removed with everything in it afterwards, and small helpers
// for looking at files byte for byte.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace shopwalk::testing_support {

class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
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
// Whether permission bits stop this process from writing (they do not for root).
bool PermissionsBindUs();

}  // namespace shopwalk::testing_support
