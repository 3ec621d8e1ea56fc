#include "store/progress_store.h"

#include <gtest/gtest.h>

#include "store/run_directory.h"
#include "tests/support/scratch_directory.h"

namespace shopwalk {
namespace {

using test::Exists;
using test::FileContent;
using test::PutFile;
using test::ScratchDirectory;

class ProgressStoreTest : public ::testing::Test {
 protected:
  ScratchDirectory dir;
  std::string config = dir.File("config.ini");
};

TEST_F(ProgressStoreTest, LoadsTheSavedTextAsStoredAndOnlyReads) {
  EXPECT_EQ(LoadProgress(dir.path()), "");
  EXPECT_EQ(dir.Listing(), "");
  PutFile(config, "[Mivu]\r\nNow_ID=\r\n");
  EXPECT_EQ(LoadProgress(dir.path()), "");
  PutFile(config, "[Mivu]\r\nNow_ID=abc\r\n");
  EXPECT_EQ(LoadProgress(dir.path()), "abc");
  PutFile(config, "[mivu]\nnow_id = 109500000\n");
  EXPECT_EQ(LoadProgress(dir.path()), "109500000");
  PutFile(config, "[Other]\r\nNow_ID=5\r\n");
  EXPECT_EQ(LoadProgress(dir.path()), "");
  EXPECT_EQ(FileContent(config), "[Other]\r\nNow_ID=5\r\n");
}

TEST_F(ProgressStoreTest, ASavedPlaceIsWhatTheNextStartLoads) {
  ASSERT_TRUE(SaveProgress("109428999", dir.path()));
  EXPECT_EQ(FileContent(config), "[Mivu]\r\nNow_ID=109428999\r\n");
  EXPECT_EQ(LoadProgress(dir.path()), "109428999");

  // Bytes that are no valid GBK are kept as they are.
  ASSERT_TRUE(
      SaveProgress("12\xFF"
                   "3",
                   dir.path()));
  EXPECT_EQ(LoadProgress(dir.path()),
            "12\xFF"
            "3");

  ASSERT_TRUE(SaveProgress("", dir.path()));
  EXPECT_EQ(FileContent(config), "[Mivu]\r\nNow_ID=\r\n");
  EXPECT_EQ(dir.Listing(), "config.ini\n");
}

TEST_F(ProgressStoreTest, SavingKeepsTheRestOfTheFile) {
  PutFile(config, "; mine\r\n[Window]\r\nX=1\r\n\r\n[Mivu]\r\nNow_ID=1\r\nMore=2\n");
  ASSERT_TRUE(SaveProgress("109430000", dir.path()));
  EXPECT_EQ(FileContent(config),
            "; mine\r\n[Window]\r\nX=1\r\n\r\n[Mivu]\r\nNow_ID=109430000\r\nMore=2\n");
}

TEST_F(ProgressStoreTest, AFailedSaveSaysWhichFileAndWhy) {
  // The program's directory is a regular file here, so nothing can be written below it.
  const std::string notADirectory = dir.File("blocked");
  PutFile(notADirectory, "");
  const WriteResult saved = SaveProgress("109428999", notADirectory);
  EXPECT_FALSE(saved);
  EXPECT_EQ(saved.path, notADirectory + "/config.ini");
  EXPECT_EQ(saved.reason, "Not a directory");
}

TEST(ShopIdTextTest, OnlyDecimalDigitsWithinTheShopIdRange) {
  for (const char* good : {"0", "109428412", "2147483647", "007"}) {
    EXPECT_TRUE(IsShopIdText(good)) << good;
  }
  for (const char* bad :
       {"", "abc", "-5", "+5", "99999999999", "2147483648", "12 ", " 12", "1e5", "12\xFF"}) {
    EXPECT_FALSE(IsShopIdText(bad)) << bad;
  }
}

TEST(RunDirectoryTest, IsTheFolderOfTheRunningProgram) {
  std::string directory = RunDirectory();
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.front(), '/');
  EXPECT_NE(directory.back(), '/');
  EXPECT_TRUE(Exists(PathInDirectory(directory, "store_tests")));
  EXPECT_EQ(ConfigPath(), directory + "/config.ini");
  EXPECT_EQ(PathInDirectory("/", "config.ini"), "/config.ini");
  EXPECT_EQ(PathInDirectory("/a/", "config.ini"), "/a/config.ini");
}

}  // namespace
}  // namespace shopwalk
