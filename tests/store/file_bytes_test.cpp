#include "store/file_bytes.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "store/export_xlsx.h"
#include "tests/store/export_test_rows.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/unprivileged.h"

namespace shopwalk {
namespace {

using test::Exists;
using test::FileContent;
using test::Mode;
using test::PutFile;
using test::ScratchDirectory;
using test::Status;

// The temporary file of a replacement goes into the target's folder, named after it.
TEST(PathPartsTest, AFolderAndANameComeOutOfEveryShapeOfPath) {
  EXPECT_EQ(DirectoryOf("out.txt"), ".");
  EXPECT_EQ(BaseNameOf("out.txt"), "out.txt");
  EXPECT_EQ(DirectoryOf("/out.txt"), "/");
  EXPECT_EQ(BaseNameOf("/out.txt"), "out.txt");
  EXPECT_EQ(DirectoryOf("a/b/out.txt"), "a/b");
  EXPECT_EQ(BaseNameOf("a/b/out.txt"), "out.txt");
  EXPECT_EQ(DirectoryOf("a/b/"), "a/b");
  EXPECT_EQ(BaseNameOf("a/b/"), "");
  EXPECT_EQ(DirectoryOf(""), ".");
  EXPECT_EQ(BaseNameOf(""), "");
}

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

// Permission cases run as an ordinary user, also when the tests run as root.

TEST(WriteFileBytesTest, AReadOnlyFileIsRefused) {
  ScratchDirectory dir;
  dir.HandTo(test::UnprivilegedUser, test::UnprivilegedGroup);
  test::RunUnprivileged([&] {
    std::string path = dir.File("locked.txt");
    PutFile(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    std::string reason;
    EXPECT_FALSE(WriteFileBytes(path, "new", &reason));
    EXPECT_EQ(reason, "Permission denied");
    EXPECT_EQ(FileContent(path), "old");
    EXPECT_EQ(Mode(path), 0444u);
    EXPECT_EQ(dir.Listing(), "locked.txt\n");
  });
}

// A file that cannot be replaced atomically is written in place: the same file (inode) with the
// same owner.

TEST(WriteFileBytesTest, AWritableFileInAReadOnlyFolderIsWrittenInPlace) {
  ScratchDirectory dir;
  dir.HandTo(test::UnprivilegedUser, test::UnprivilegedGroup);
  test::RunUnprivileged([&] {
    std::string path = dir.File("config.ini");
    PutFile(path, "old content");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ino_t before = Status(path).st_ino;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
    std::string reason;
    EXPECT_TRUE(WriteFileBytes(path, "new", &reason)) << reason;
    EXPECT_EQ(FileContent(path), "new");
    EXPECT_EQ(Status(path).st_ino, before);
    EXPECT_EQ(Mode(path), 0640u);
    // A file that is not there yet can only be created, and the folder does not allow that.
    EXPECT_FALSE(WriteFileBytes(dir.File("fresh.ini"), "x", &reason));
    EXPECT_EQ(reason, "Permission denied");
    EXPECT_EQ(dir.Listing(), "config.ini\n");
  });
}

TEST(WriteFileBytesTest, AnotherUsersFileInAStickyFolderIsWrittenInPlace) {
  if (!test::RunningAsRoot()) GTEST_SKIP() << "only root can give a file to another user";
  ScratchDirectory dir;
  dir.ShareLikeTmp();
  std::string path = dir.File("shared.txt");
  PutFile(path, "old");
  ASSERT_EQ(::chown(path.c_str(), test::OtherUnprivilegedUser, test::OtherUnprivilegedGroup), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  ino_t before = Status(path).st_ino;
  test::RunUnprivileged([&] {
    std::string reason;
    EXPECT_TRUE(WriteFileBytes(path, "new", &reason)) << reason;
  });
  EXPECT_EQ(FileContent(path), "new");
  struct stat after = Status(path);
  EXPECT_EQ(after.st_ino, before);
  EXPECT_EQ(after.st_uid, test::OtherUnprivilegedUser);
  EXPECT_EQ(after.st_gid, test::OtherUnprivilegedGroup);
  EXPECT_EQ(after.st_mode & 07777, 0666u);
  EXPECT_EQ(dir.Listing(), "shared.txt\n");
}

TEST(WriteFileBytesTest, AllNamesOfAHardLinkedFileSeeTheNewContent) {
  ScratchDirectory dir;
  std::string path = dir.File("config.ini");
  std::string other = dir.File("second name.ini");
  PutFile(path, "old");
  ASSERT_EQ(::link(path.c_str(), other.c_str()), 0);
  ASSERT_TRUE(WriteFileBytes(path, "new"));
  EXPECT_EQ(FileContent(path), "new");
  EXPECT_EQ(FileContent(other), "new");
  EXPECT_EQ(Status(path).st_nlink, 2u);
  EXPECT_EQ(Status(path).st_ino, Status(other).st_ino);
  EXPECT_EQ(dir.Listing(), "config.ini\nsecond name.ini\n");
}

TEST(WriteFileBytesTest, AnotherUsersFileKeepsItsOwner) {
  if (!test::RunningAsRoot()) GTEST_SKIP() << "only root can give a file to another user";
  ScratchDirectory dir;
  dir.HandTo(test::UnprivilegedUser, test::UnprivilegedGroup);
  std::string path = dir.File("theirs.txt");
  PutFile(path, "old");
  ASSERT_EQ(::chown(path.c_str(), test::OtherUnprivilegedUser, test::OtherUnprivilegedGroup), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  ino_t first = Status(path).st_ino;

  // An ordinary user may write it but not give a new file its owner: written in place.
  test::RunUnprivileged([&] {
    std::string reason;
    EXPECT_TRUE(WriteFileBytes(path, "from an ordinary user", &reason)) << reason;
  });
  EXPECT_EQ(FileContent(path), "from an ordinary user");
  struct stat status = Status(path);
  EXPECT_EQ(status.st_ino, first);
  EXPECT_EQ(status.st_uid, test::OtherUnprivilegedUser);
  EXPECT_EQ(status.st_gid, test::OtherUnprivilegedGroup);
  EXPECT_EQ(status.st_mode & 07777, 0666u);

  // Root replaces it atomically and passes on owner, group and every permission bit (changing the
  // owner after the bits would clear set-user-ID).
  ASSERT_EQ(::chmod(path.c_str(), 04755), 0);
  ASSERT_TRUE(WriteFileBytes(path, "from root"));
  EXPECT_EQ(FileContent(path), "from root");
  status = Status(path);
  EXPECT_NE(status.st_ino, first);
  EXPECT_EQ(status.st_uid, test::OtherUnprivilegedUser);
  EXPECT_EQ(status.st_gid, test::OtherUnprivilegedGroup);
  EXPECT_EQ(status.st_mode & 07777, 04755u);
  EXPECT_EQ(dir.Listing(), "theirs.txt\n");
}

TEST(WriteFileBytesTest, AFailingInPlaceWriteIsReported) {
  ScratchDirectory dir;
  std::string path = dir.File("config.ini");
  std::string other = dir.File("second name.ini");
  PutFile(path, "[Mivu]\r\nNow_ID=1\r\n");
  ASSERT_EQ(::link(path.c_str(), other.c_str()), 0);  // a hard link forces the in-place write
  std::string reason;
  {
    FileSizeLimit limit(4096);
    EXPECT_FALSE(WriteFileBytes(path, std::string(100000, 'x'), &reason));
  }
  EXPECT_EQ(reason, "File too large");
  // Not atomic: the one file behind both names holds what was written before the failure.
  EXPECT_EQ(FileContent(path), std::string(4096, 'x'));
  EXPECT_EQ(FileContent(other), std::string(4096, 'x'));
  EXPECT_EQ(dir.Listing(), "config.ini\nsecond name.ini\n");
}

// In a folder that everyone may write and that has the sticky bit (like /tmp), a symbolic link
// is followed only when it is the writer's own or the folder owner's, as the kernel's
// protected-symlinks rule says: another user's link must not steer page text onto the victim's
// files. The attacker and the victim are two ordinary users; the folder is root's.
TEST(WriteFileBytesTest, AnotherUsersLinkInASharedFolderIsNotFollowed) {
  if (!test::RunningAsRoot()) GTEST_SKIP() << "two users are needed, and only root can be both";
  ScratchDirectory dir;
  dir.ShareLikeTmp();
  const uid_t victim = test::OtherUnprivilegedUser;
  const gid_t victimGroup = test::OtherUnprivilegedGroup;
  const std::string home = dir.File("victim");
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(::chown(home.c_str(), victim, victimGroup), 0);
  const std::string profile = home + "/.profile";
  PutFile(profile, "secret\n");
  ASSERT_EQ(::chown(profile.c_str(), victim, victimGroup), 0);
  // The folder owner's link is followed by everyone.
  ASSERT_EQ(::symlink((home + "/by-owner.txt").c_str(), dir.File("owner.txt").c_str()), 0);

  test::RunUnprivileged([&] {
    for (const char* name : {"shops.txt", "shops.xlsx", "rows.csv", "next"}) {
      ASSERT_EQ(::symlink(profile.c_str(), dir.File(name).c_str()), 0);
    }
  });
  test::RunUnprivileged(
      [&] {
        // The victim's own link may lead to the attacker's: every link on the way counts.
        ASSERT_EQ(::symlink(dir.File("next").c_str(), dir.File("chain.txt").c_str()), 0);
        ASSERT_EQ(::symlink((home + "/mine.txt").c_str(), dir.File("mine.txt").c_str()), 0);
        for (const char* name : {"shops.txt", "chain.txt"}) {
          std::string reason;
          EXPECT_FALSE(WriteFileBytes(dir.File(name), "page text", &reason)) << name;
          EXPECT_NE(reason.find("symbolic link"), std::string::npos) << reason;
          EXPECT_NE(reason.find(dir.File(name == std::string("shops.txt") ? name : "next")),
                    std::string::npos)
              << reason;
        }
        test::TestRows rows;
        rows.rows = {{"1", "=HYPERLINK(\"http://x\",\"c\")", "", "", "", ""}};
        const WriteResult workbook = WriteXlsxExport(rows, 1, dir.File("shops.xlsx"));
        EXPECT_FALSE(workbook);
        EXPECT_NE(workbook.reason.find("symbolic link"), std::string::npos) << workbook.reason;
        std::string reason;
        EXPECT_EQ(OpenForWriting(dir.File("rows.csv"), reason), -1);
        EXPECT_NE(reason.find("symbolic link"), std::string::npos) << reason;
        EXPECT_EQ(FileContent(profile), "secret\n");

        // The victim's own link and the folder owner's are followed.
        ASSERT_TRUE(WriteFileBytes(dir.File("mine.txt"), "own", &reason)) << reason;
        EXPECT_EQ(FileContent(home + "/mine.txt"), "own");
        const int fd = OpenForWriting(dir.File("owner.txt"), reason);
        ASSERT_GE(fd, 0) << reason;
        EXPECT_EQ(::write(fd, "owner's", 7), 7);
        ::close(fd);
        EXPECT_EQ(FileContent(home + "/by-owner.txt"), "owner's");
      },
      victim, victimGroup);
  EXPECT_EQ(FileContent(profile), "secret\n");
}

// A stream is opened from the start: created, or emptied when it is a regular file; a name with
// no link in it is not followed should a link be put there, and a pipe without a reader is
// refused rather than waited for.
TEST(OpenForWritingTest, CreatesOrEmptiesAndNeverWaits) {
  ScratchDirectory dir;
  std::string reason;
  const std::string path = dir.File("rows.txt");
  PutFile(path, "old content");
  int fd = OpenForWriting(path, reason);
  ASSERT_GE(fd, 0) << reason;
  EXPECT_EQ(::write(fd, "new", 3), 3);
  ::close(fd);
  EXPECT_EQ(FileContent(path), "new");

  const std::string pipe = dir.File("pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(OpenForWriting(pipe, reason), -1);
  EXPECT_EQ(reason, "No such device or address");
  EXPECT_EQ(OpenForWriting(dir.File("missing/rows.txt"), reason), -1);
  EXPECT_EQ(reason, "No such file or directory");
  EXPECT_EQ(OpenForWriting("", reason), -1);
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
