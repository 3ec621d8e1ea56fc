#include "store/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/scratch_directory.h"
#include "tests/support/unprivileged.h"

namespace shopwalk {
namespace {

using test::Exists;
using test::FileContent;
using test::PutFile;
using test::ScratchDirectory;

// GBK: two characters whose second bytes are the ASCII letters "A" and "a".
constexpr std::string_view GbkWithUpperTrail = "\xB0\x41";    // 癆
constexpr std::string_view GbkWithLowerTrail = "\xB0\x61";    // 癮
constexpr std::string_view GbkShopName = "\xB5\xEA\xC6\xCC";  // 店铺

class ConfigFileTest : public ::testing::Test {
 protected:
  std::string Read(std::string_view content, std::string_view section = "Mivu",
                   std::string_view key = "Now_ID", std::string_view fallback = "none") {
    PutFile(path, content);
    return ReadConfigItem(path, section, key, fallback);
  }
  // Writes Now_ID in Mivu over `before` and returns the file afterwards.
  std::string AfterWrite(std::string_view before, std::string_view value) {
    PutFile(path, before);
    EXPECT_TRUE(WriteConfigItem(path, "Mivu", "Now_ID", value));
    return FileContent(path).value_or("<missing>");
  }

  ScratchDirectory dir;
  std::string path = dir.File("config.ini");
};

TEST_F(ConfigFileTest, ReadsSectionsAndKeysWhateverTheirCaseAndLineEnds) {
  EXPECT_EQ(Read("[Mivu]\r\nNow_ID=123\r\n"), "123");
  EXPECT_EQ(Read("[mivu]\nnow_id=124\n"), "124");
  EXPECT_EQ(Read("[MIVU]\r\nNOW_ID=125"), "125");  // last line without a line end
  EXPECT_EQ(Read("  [ Mivu ]  \n\tNow_ID = 126\n"), "126");
  EXPECT_EQ(Read("[Other]\nNow_ID=1\n[Mivu]\nFirst=2\nNow_ID=127\n"), "127");
  // Only the first matching section and key count.
  EXPECT_EQ(Read("[Mivu]\nNow_ID=128\nNow_ID=2\n[Mivu]\nNow_ID=3\n"), "128");
}

TEST_F(ConfigFileTest, KeysOutsideTheSectionOrCommentedOutAreNotFound) {
  EXPECT_EQ(Read("Now_ID=1\n[Mivu]\nOther=2\n"), "none");
  EXPECT_EQ(Read("[Mivu]\n;Now_ID=1\nNow_ID\n"), "none");
  EXPECT_EQ(Read("[Mivu]\nOther=2\n[Next]\nNow_ID=1\n"), "none");
  EXPECT_EQ(Read("[Other]\nNow_ID=1\n"), "none");
  EXPECT_EQ(Read("[Mivu\nNow_ID=1\n"), "none");  // no closing bracket: not a section
  EXPECT_EQ(Read(""), "none");
}

TEST_F(ConfigFileTest, TwoByteCharactersInNamesMatchExactly) {
  std::string section(GbkWithUpperTrail);
  std::string file = "[" + section + "]\r\nNow_ID=1\r\n";
  EXPECT_EQ(Read(file, GbkWithUpperTrail), "1");
  EXPECT_EQ(Read(file, GbkWithLowerTrail), "none");
}

TEST_F(ConfigFileTest, ValuesLoseSurroundingBlanksAndOnePairOfQuotes) {
  EXPECT_EQ(Read("[Mivu]\nNow_ID=  12 \t\r\n"), "12");
  EXPECT_EQ(Read("[Mivu]\nNow_ID=\" 12 \"\n"), " 12 ");
  EXPECT_EQ(Read("[Mivu]\nNow_ID='abc'\n"), "abc");
  EXPECT_EQ(Read("[Mivu]\nNow_ID=\"\"x\"\"\n"), "\"x\"");
  EXPECT_EQ(Read("[Mivu]\nNow_ID=\"abc'\n"), "\"abc'");
  EXPECT_EQ(Read("[Mivu]\nNow_ID=\"\n"), "\"");
  EXPECT_EQ(Read("[Mivu]\nNow_ID=a=b\n"), "a=b");
  EXPECT_EQ(Read("[Mivu]\nNow_ID=\n"), "");
  EXPECT_EQ(Read("[Mivu]\nNow_ID=" + std::string(GbkShopName) + "\n"), GbkShopName);
}

TEST_F(ConfigFileTest, LongValuesAreCutAtTheLimit) {
  std::string exact(ConfigValueLimit, '7');
  EXPECT_EQ(Read("[Mivu]\r\nNow_ID=" + exact + "\r\n"), exact);
  EXPECT_EQ(Read("[Mivu]\r\nNow_ID=" + exact + "89\r\n"), exact);
  // Quotes are dropped before the cut.
  EXPECT_EQ(Read("[Mivu]\r\nNow_ID=\"" + exact + "\"\r\n"), exact);
}

TEST_F(ConfigFileTest, BlankOrMissingArgumentsAndFilesGiveTheirFallbacks) {
  EXPECT_EQ(ReadConfigItem(dir.File("absent.ini"), "Mivu", "Now_ID"), "");
  EXPECT_EQ(ReadConfigItem(dir.File("absent.ini"), "Mivu", "Now_ID", "dflt"), "dflt");
  EXPECT_EQ(ReadConfigItem(dir.path(), "Mivu", "Now_ID", "dflt"), "dflt");  // a directory

  PutFile(path, "[Mivu]\nNow_ID=5\n");
  EXPECT_EQ(ReadConfigItem(" \t\x01" + path, "\n Mivu", "\x1f Now_ID"), "5");
  // A name that is nothing but blanks gives "", not the default.
  EXPECT_EQ(ReadConfigItem(path, " \t", "Now_ID", "dflt"), "");
  EXPECT_EQ(ReadConfigItem(path, "Mivu", "", "dflt"), "");
  EXPECT_EQ(ReadConfigItem("  ", "Mivu", "Now_ID", "dflt"), "");
}

TEST_F(ConfigFileTest, CreatesAMissingFileWithJustTheSectionAndKey) {
  ASSERT_TRUE(WriteConfigItem(path, "Mivu", "Now_ID", "109428500"));
  EXPECT_EQ(FileContent(path), "[Mivu]\r\nNow_ID=109428500\r\n");
  EXPECT_EQ(dir.Listing(), "config.ini\n");  // no temporary file left behind
}

TEST_F(ConfigFileTest, ReplacesAValueInPlaceKeepingEveryOtherByte) {
  const std::string before =
      "; settings\r\n"
      "[General]\n"
      "Name=" +
      std::string(GbkShopName) +
      "\r\n"
      "\r\n"
      "  [mivu]  ; progress\r\n"
      "Other = x\n"
      "now_id = 1\n"
      "Tail=\xff\xfe\r\n"
      "\n"
      "[Last]\r\n"
      "K=V";
  const std::string after =
      "; settings\r\n"
      "[General]\n"
      "Name=" +
      std::string(GbkShopName) +
      "\r\n"
      "\r\n"
      "  [mivu]  ; progress\r\n"
      "Other = x\n"
      "now_id =42\r\n"
      "Tail=\xff\xfe\r\n"
      "\n"
      "[Last]\r\n"
      "K=V";
  EXPECT_EQ(AfterWrite(before, "42"), after);
  EXPECT_EQ(ReadConfigItem(path, "Mivu", "Now_ID"), "42");
}

TEST_F(ConfigFileTest, AddsAMissingKeyAfterTheLastKeyOfItsSection) {
  EXPECT_EQ(AfterWrite("[Mivu]\r\nA=1\r\n; note\r\n\r\n[B]\r\nC=2\r\n", "7"),
            "[Mivu]\r\nA=1\r\nNow_ID=7\r\n; note\r\n\r\n[B]\r\nC=2\r\n");
  EXPECT_EQ(AfterWrite("[A]\nx=1\n[Mivu]\n\n[B]\n", "8"), "[A]\nx=1\n[Mivu]\nNow_ID=8\r\n\n[B]\n");
  // The last line had no line end: it gets one before the new line.
  EXPECT_EQ(AfterWrite("[Mivu]\nA=1", "9"), "[Mivu]\nA=1\r\nNow_ID=9\r\n");
  EXPECT_EQ(AfterWrite("[Mivu]", "9"), "[Mivu]\r\nNow_ID=9\r\n");
}

TEST_F(ConfigFileTest, AddsAMissingSectionAtTheEnd) {
  EXPECT_EQ(AfterWrite("[A]\r\nx=1\r\n", "5"), "[A]\r\nx=1\r\n\r\n[Mivu]\r\nNow_ID=5\r\n");
  EXPECT_EQ(AfterWrite("[A]\nx=1", "5"), "[A]\nx=1\r\n\r\n[Mivu]\r\nNow_ID=5\r\n");
  EXPECT_EQ(AfterWrite("[A]\r\n\r\n", "5"), "[A]\r\n\r\n[Mivu]\r\nNow_ID=5\r\n");
  EXPECT_EQ(AfterWrite("", "5"), "[Mivu]\r\nNow_ID=5\r\n");
}

TEST_F(ConfigFileTest, WritesValuesUnchangedAndReadsThemBack) {
  EXPECT_EQ(AfterWrite("[Mivu]\r\nNow_ID=1\r\n", ""), "[Mivu]\r\nNow_ID=\r\n");
  EXPECT_EQ(ReadConfigItem(path, "Mivu", "Now_ID", "dflt"), "");
  EXPECT_EQ(AfterWrite("[Mivu]\r\nNow_ID=1\r\n", "abc"), "[Mivu]\r\nNow_ID=abc\r\n");
  std::string gbk(GbkShopName);
  AfterWrite("", gbk);
  EXPECT_EQ(ReadConfigItem(path, "MIVU", "NOW_ID"), gbk);
}

TEST_F(ConfigFileTest, RemovesKeysAndSections) {
  const std::string before = "[A]\r\nx=1\r\n[Mivu]\r\nNow_ID=1\r\n; c\r\nY=2\r\n[B]\ny=3\n";
  PutFile(path, before);
  ASSERT_TRUE(WriteConfigItem(path, "mivu", "NOW_ID", std::nullopt));
  EXPECT_EQ(FileContent(path), "[A]\r\nx=1\r\n[Mivu]\r\n; c\r\nY=2\r\n[B]\ny=3\n");
  ASSERT_TRUE(WriteConfigItem(path, "Mivu", std::nullopt, std::nullopt));
  EXPECT_EQ(FileContent(path), "[A]\r\nx=1\r\n[B]\ny=3\n");

  // Removing what is not there succeeds and changes nothing, nor creates a file.
  EXPECT_TRUE(WriteConfigItem(path, "Mivu", "Now_ID", std::nullopt));
  EXPECT_TRUE(WriteConfigItem(path, "A", "absent", std::nullopt));
  EXPECT_EQ(FileContent(path), "[A]\r\nx=1\r\n[B]\ny=3\n");
  EXPECT_TRUE(WriteConfigItem(dir.File("absent.ini"), "Mivu", std::nullopt, std::nullopt));
  EXPECT_FALSE(Exists(dir.File("absent.ini")));
}

TEST_F(ConfigFileTest, RefusesWhatWouldBreakTheFileAndLeavesItAlone) {
  const std::string before = "[Mivu]\r\nNow_ID=1\r\n";
  PutFile(path, before);
  std::string reason;
  EXPECT_FALSE(WriteConfigItem(path, "Mivu", "Now_ID", "2\r\n[Evil]", &reason));
  EXPECT_FALSE(reason.empty());
  EXPECT_FALSE(WriteConfigItem(path, "Mivu", "Now_ID",
                               std::string_view("2\0"
                                                "3",
                                                3)));
  EXPECT_FALSE(WriteConfigItem(path, "Mivu", "Now=ID", "2"));
  EXPECT_FALSE(WriteConfigItem(path, "Mivu", "[Now_ID", "2"));
  EXPECT_FALSE(WriteConfigItem(path, "Mivu", "", "2"));
  EXPECT_FALSE(WriteConfigItem(path, "Mi]vu", "Now_ID", "2"));
  EXPECT_FALSE(WriteConfigItem(path, "", "Now_ID", "2"));
  EXPECT_FALSE(WriteConfigItem("", "Mivu", "Now_ID", "2"));
  EXPECT_EQ(FileContent(path), before);
  EXPECT_EQ(dir.Listing(), "config.ini\n");
}

TEST_F(ConfigFileTest, AFailedWriteIsReportedWithItsReason) {
  std::string reason;
  // A path through a regular file can never be written, whoever we are.
  PutFile(path, "[Mivu]\r\nNow_ID=1\r\n");
  EXPECT_FALSE(WriteConfigItem(path + "/config.ini", "Mivu", "Now_ID", "2", &reason));
  EXPECT_EQ(reason, "Not a directory");
  // An existing file that cannot be read is not replaced by a file holding only our key.
  std::string directory = dir.File("folder.ini");
  ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
  EXPECT_FALSE(WriteConfigItem(directory, "Mivu", "Now_ID", "2", &reason));
  EXPECT_EQ(reason, "Is a directory");
  EXPECT_EQ(FileContent(path), "[Mivu]\r\nNow_ID=1\r\n");
}

TEST_F(ConfigFileTest, AWritableFileInAReadOnlyFolderIsSavedInPlace) {
  dir.HandTo(test::UnprivilegedUser, test::UnprivilegedGroup);
  test::RunUnprivileged([&] {
    PutFile(path, "[Mivu]\r\nNow_ID=1\r\n");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
    std::string reason;
    EXPECT_TRUE(WriteConfigItem(path, "Mivu", "Now_ID", "2", &reason)) << reason;
    EXPECT_EQ(FileContent(path), "[Mivu]\r\nNow_ID=2\r\n");
    EXPECT_EQ(ReadConfigItem(path, "Mivu", "Now_ID"), "2");
    EXPECT_EQ(dir.Listing(), "config.ini\n");
  });
}

// Editors on Windows may save the file as UTF-8 starting with a byte-order mark.
constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

TEST_F(ConfigFileTest, ReadsThroughAByteOrderMark) {
  std::string mark(ByteOrderMark);
  EXPECT_EQ(Read(mark + "[Mivu]\r\nNow_ID=5\r\n"), "5");
  EXPECT_EQ(Read(mark + "[Other]\r\nA=1\r\n[Mivu]\r\nNow_ID=6\r\n"), "6");
  // Only a mark at the very start is skipped.
  EXPECT_EQ(Read("[Other]\r\n" + mark + "[Mivu]\r\nNow_ID=7\r\n"), "none");
}

TEST_F(ConfigFileTest, WritesThroughAByteOrderMarkAndKeepsIt) {
  std::string mark(ByteOrderMark);
  EXPECT_EQ(AfterWrite(mark + "[Mivu]\r\nNow_ID=1\r\n", "2"), mark + "[Mivu]\r\nNow_ID=2\r\n");
  EXPECT_EQ(AfterWrite(mark + "[Mivu]\r\nA=1\r\n", "3"), mark + "[Mivu]\r\nA=1\r\nNow_ID=3\r\n");
  EXPECT_EQ(AfterWrite(mark + "[A]\r\nx=1\r\n", "4"),
            mark + "[A]\r\nx=1\r\n\r\n[Mivu]\r\nNow_ID=4\r\n");
  EXPECT_EQ(AfterWrite(mark, "5"), mark + "[Mivu]\r\nNow_ID=5\r\n");
  // Removing the first section leaves the mark in front of what follows.
  PutFile(path, mark + "[Mivu]\r\nNow_ID=1\r\n[B]\r\ny=2\r\n");
  ASSERT_TRUE(WriteConfigItem(path, "Mivu", std::nullopt, std::nullopt));
  EXPECT_EQ(FileContent(path), mark + "[B]\r\ny=2\r\n");
  // A file without a mark does not get one.
  EXPECT_EQ(AfterWrite("[Mivu]\r\nNow_ID=1\r\n", "6"), "[Mivu]\r\nNow_ID=6\r\n");
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_TRUE(WriteConfigItem(path, "Mivu", "Now_ID", "7"));
  EXPECT_EQ(FileContent(path), "[Mivu]\r\nNow_ID=7\r\n");
}

}  // namespace
}  // namespace shopwalk
