// The file a walk writes its rows to as they come (walk --out), opened directly: it goes through
// the same safe open as the exports.
#include "cli/row_output.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/scratch_directory.h"
#include "tests/support/unprivileged.h"

namespace shopwalk::test {
namespace {

// Another user's link in a folder like /tmp does not steer the walk's rows onto the victim's
// file, in any form; the victim's own link is followed.
TEST(RowOutputTest, AnotherUsersLinkInASharedFolderIsNotFollowed) {
  if (!RunningAsRoot()) GTEST_SKIP() << "two users are needed, and only root can be both";
  ScratchDirectory dir;
  dir.ShareLikeTmp();
  const std::string home = dir.File("victim");
  ASSERT_EQ(::mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(::chown(home.c_str(), OtherUnprivilegedUser, OtherUnprivilegedGroup), 0);
  const std::string profile = home + "/.profile";
  PutFile(profile, "secret\n");
  ASSERT_EQ(::chown(profile.c_str(), OtherUnprivilegedUser, OtherUnprivilegedGroup), 0);

  RunUnprivileged([&] {
    for (const char* name : {"rows.txt", "rows.csv", "rows.jsonl", "rows.xlsx"}) {
      ASSERT_EQ(::symlink(profile.c_str(), dir.File(name).c_str()), 0);
    }
  });
  RunUnprivileged(
      [&] {
        for (const char* name : {"rows.txt", "rows.csv", "rows.jsonl", "rows.xlsx"}) {
          WriteResult opening;
          EXPECT_EQ(RowOutput::Open(dir.File(name), opening), nullptr) << name;
          EXPECT_FALSE(opening);
          EXPECT_NE(opening.reason.find("symbolic link"), std::string::npos) << opening.reason;
        }
        EXPECT_EQ(FileContent(profile), "secret\n");

        ASSERT_EQ(::symlink((home + "/rows.txt").c_str(), dir.File("mine.txt").c_str()), 0);
        WriteResult opening;
        auto output = RowOutput::Open(dir.File("mine.txt"), opening);
        ASSERT_NE(output, nullptr) << opening.reason;
        ShopRecord record;
        record.shopId = 7;
        record.name = "shop";
        output->Write(record);
        EXPECT_TRUE(output->Close());
        EXPECT_EQ(FileContent(home + "/rows.txt"), "1--shop--------\r\n");
      },
      OtherUnprivilegedUser, OtherUnprivilegedGroup);
  EXPECT_EQ(FileContent(profile), "secret\n");
}

}  // namespace
}  // namespace shopwalk::test
