#include "store/file_bytes.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "scratch_directory.h"

namespace shopwalk {
namespace {

using testing_support::Exists;
using testing_support::FileContent;
using testing_support::Mode;
using testing_support::PutFile;
using testing_support::ScratchDirectory;

TEST(WriteFileBytesTest, CreatesOrReplacesTheWholeContent) {
  ScratchDirectory dir;
  std::string path = dir.File("out.txt");
  ASSERT_TRUE(WriteFileBytes(path, "first\r\nsecond\r\n"));
  EXPECT_EQ(FileContent(path), "first\r\nsecond\r\n");
  ASSERT_TRUE(WriteFileBytes(path, "x"));
  EXPECT_EQ(FileContent(path), "x");
  ASSERT_TRUE(WriteFileBytes(path, ""));
  EXPECT_EQ(FileContent(path), "");
  const std::string binary("\0\xff\r\n\x80", 5);
  ASSERT_TRUE(WriteFileBytes(path, binary));
  EXPECT_EQ(FileContent(path), binary);
  EXPECT_EQ(dir.Listing(), "out.txt\n");
}

TEST(WriteFileBytesTest, KeepsPermissionBitsAndFollowsLinks) {
  ScratchDirectory dir;
  std::string path = dir.File("kept.txt");
  PutFile(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(WriteFileBytes(path, "new"));
  EXPECT_EQ(Mode(path), 0640u);

  std::string link = dir.File("link.txt");
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  ASSERT_TRUE(WriteFileBytes(link, "through the link"));
  struct stat info {};
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(FileContent(path), "through the link");
}

TEST(WriteFileBytesTest, FailuresTouchNothingAndSayWhy) {
  ScratchDirectory dir;
  std::string reason;
  EXPECT_FALSE(WriteFileBytes("", "x", &reason));
  EXPECT_FALSE(reason.empty());

  std::string plain = dir.File("plain.txt");
  PutFile(plain, "keep me");
  EXPECT_FALSE(WriteFileBytes(plain + "/inner.txt", "x", &reason));
  EXPECT_EQ(reason, "Not a directory");
  EXPECT_FALSE(WriteFileBytes(dir.File("missing/inner.txt"), "x", &reason));
  EXPECT_EQ(reason, "No such file or directory");
  EXPECT_FALSE(WriteFileBytes(dir.path(), "x", &reason));
  EXPECT_EQ(reason, "Is a directory");
  EXPECT_FALSE(WriteFileBytes("/dev/null", "x", &reason));
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(FileContent(plain), "keep me");
  EXPECT_EQ(dir.Listing(), "plain.txt\n");
}

// Stands in for a full disk: a file size limit makes writes fail part way (even for root).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit saved_{};
  void (*previousHandler_)(int) = nullptr;
};

TEST(WriteFileBytesTest, AWriteFailingPartWayLeavesTheOldFileWhole) {
  ScratchDirectory dir;
  std::string path = dir.File("config.ini");
  PutFile(path, "[Mivu]\r\nNow_ID=1\r\n");
  std::string reason;
  {
    FileSizeLimit limit(4096);
    EXPECT_FALSE(WriteFileBytes(path, std::string(100000, 'x'), &reason));
  }
  EXPECT_EQ(reason, "File too large");
  EXPECT_EQ(FileContent(path), "[Mivu]\r\nNow_ID=1\r\n");
  EXPECT_EQ(dir.Listing(), "config.ini\n");
}

TEST(WriteFileBytesTest, ReadOnlyFilesAndDirectoriesAreLeftAlone) {
  if (!testing_support::PermissionsBindUs()) GTEST_SKIP() << "permission bits do not bind root";
  ScratchDirectory dir;
  std::string path = dir.File("locked.txt");
  PutFile(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  std::string reason;
  EXPECT_FALSE(WriteFileBytes(path, "new", &reason));
  EXPECT_EQ(reason, "Permission denied");
  EXPECT_EQ(FileContent(path), "old");

  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
  EXPECT_FALSE(WriteFileBytes(path, "new", &reason));
  EXPECT_EQ(reason, "Permission denied");
  ::chmod(dir.path().c_str(), 0700);
  EXPECT_EQ(FileContent(path), "old");
  EXPECT_EQ(dir.Listing(), "locked.txt\n");
}

TEST(ReadFileBytesTest, ReadsEverythingOrSaysWhyNot) {
  ScratchDirectory dir;
  std::string big(300000, 'a');
  big[123456] = '\0';
  PutFile(dir.File("big"), big);
  EXPECT_EQ(ReadFileBytes(dir.File("big")), big);
  int error = 0;
  EXPECT_FALSE(ReadFileBytes(dir.File("absent"), &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_FALSE(ReadFileBytes(dir.path(), &error));
  EXPECT_EQ(error, EISDIR);
}

}  // namespace
}  // namespace shopwalk
