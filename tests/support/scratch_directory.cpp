#include "tests/support/scratch_directory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace shopwalk::test {

ScratchDirectory::ScratchDirectory() {
  std::string pattern = ::testing::TempDir() + "store_test_XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  // Give back write permission that a test took away, so everything can be removed.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored)) ::chmod(it->path().c_str(), 0700);
  }
  ::chmod(path_.c_str(), 0700);
  std::filesystem::remove_all(path_, ignored);
}

namespace {

// Other users reach the directory only through folders that let everyone pass.
void ExpectReachableByOthers(const std::string& path) {
  for (std::filesystem::path folder = std::filesystem::path(path).parent_path();
       folder != folder.root_path() && !folder.empty(); folder = folder.parent_path()) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0) {
      ADD_FAILURE() << folder << " cannot be passed by other users, so a test part run as one "
                    << "cannot reach " << path << "; point TEST_TMPDIR at a folder they can reach";
      return;
    }
  }
}

}  // namespace

void ScratchDirectory::HandTo(uid_t uid, gid_t gid) const {
  if (::geteuid() != 0) return;
  ExpectReachableByOthers(path_);
  if (::chown(path_.c_str(), uid, gid) != 0) ADD_FAILURE() << "chown " << path_;
}

void ScratchDirectory::ShareLikeTmp() const {
  ExpectReachableByOthers(path_);
  if (::chmod(path_.c_str(), 01777) != 0) ADD_FAILURE() << "chmod " << path_;
}

std::string ScratchDirectory::Listing() const {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.insert(entry.path().filename().string());
  }
  std::string listing;
  for (const std::string& name : names) listing += name + "\n";
  return listing;
}

void PutFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::optional<std::string> FileContent(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

unsigned Mode(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

struct stat Status(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) info = {};
  return info;
}

}  // namespace shopwalk::test
