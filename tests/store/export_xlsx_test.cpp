// The Excel workbook export, read back from its XML parts by Python's zipfile and ElementTree
// (xlsx_dump.py): header, numbers and texts, column widths, sheets, and how the file replaces
// its target.
#include "store/export_xlsx.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "collect/gbk.h"
#include "tests/store/export_test_rows.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/unprivileged.h"

namespace shopwalk {
namespace {

using test::FileContent;
using test::Mode;
using test::PutFile;
using test::RunReader;
using test::ScratchDirectory;
using test::TestRows;

const std::string Header =
    R"(1: b:"序号"|b:"店铺名称"|b:"卖家信誉"|b:"Quibo名"|b:"创店时间"|b:"店铺地址"|b:"检查")";

class XlsxExportTest : public ::testing::Test {
 protected:
  // Exports every row to `path` (shops.xlsx by default); what xlsx_dump.py reads from it.
  std::vector<std::string> ExportAndRead(int rowsPerSheet = XlsxMaxRowsPerSheet) {
    const WriteResult written =
        WriteXlsxExport(rows, static_cast<int>(rows.rows.size()), path, rowsPerSheet);
    EXPECT_TRUE(written) << written.reason;
    const test::ScriptOutput output = RunReader(SHOPWALK_EXPORT_READERS "/xlsx_dump.py", path);
    EXPECT_TRUE(output.ok);
    return output.lines;
  }

  // The widths of the "cols" line. The format stores a width with the cell padding added in
  // pixels, so a column asked to be w characters wide is stored as a little under w + 1.
  static std::vector<int> Widths(const std::string& colsLine) {
    std::vector<int> widths;
    std::size_t at = colsLine.find(' ');
    while (at != std::string::npos) {
      widths.push_back(static_cast<int>(std::stod(colsLine.substr(at + 1))));
      at = colsLine.find(' ', at + 1);
    }
    return widths;
  }

  ScratchDirectory dir;
  TestRows rows;
  std::string path = dir.File("shops.xlsx");
};

TEST_F(XlsxExportTest, CellsComeBackAsNumbersOrUtf8TextUnderAHeader) {
  rows.rows = {
      {"1", Utf8ToGbk("甲乙小店"), "12", Utf8ToGbk("买家甲"), "2014-05-01",
       "http://shop109428413.velmo.com"},
      {"2", " lead and trail ", "-12.5", "tab\there", "two\r\nlines", "_x0041_ stays"},
      {"x3", "\xFF\xFE", "-", "ab\x81", "ctl\x01\x1F", std::string("nul\0z", 5)},
      {"4", "", "007", "", "", ""},
      {"1e3", "", "1234567890123456", "", "", ""},
  };
  const std::vector<std::string> lines = ExportAndRead();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "sheet 店铺");
  EXPECT_EQ(lines[2], Header);
  EXPECT_EQ(lines[3], R"(2: n:1|s:"甲乙小店"|n:12|s:"买家甲"|s:"2014-05-01"|)"
                      R"(s:"http://shop109428413.velmo.com")");
  // The checks a row fails in the last column, none for a row that passes them.
  EXPECT_EQ(lines[4], R"(3: n:2|s:" lead and trail "|n:-12.5|s:"tab\there"|s:"two\r\nlines"|)"
                      R"(s:"_x0041_ stays"|s:"reputation,opening_date,control_bytes")");
  EXPECT_EQ(lines[5], R"(4: s:"x3"|s:"��"|s:"-"|s:"ab�"|s:"ctl\u0001\u001f"|s:"nul�z"|)"
                      R"(s:"reputation,opening_date")");
  EXPECT_EQ(lines[6], R"(5: n:4||s:"007")");
  EXPECT_EQ(lines[7], R"(6: s:"1e3"||s:"1234567890123456")");
  // The longest text plus 2, at least 6; CJK characters count twice ("店铺名称" is 8 wide,
  // " lead and trail " 16, "2014-05-01" and "two\r\nlines" 10, the address 30, the checks 37).
  EXPECT_EQ(Widths(lines[1]), (std::vector<int>{6, 18, 18, 10, 12, 32, 39}));
}

// A workbook holds page text as text cells, never as formulas, whatever the text looks like.
TEST_F(XlsxExportTest, FormulaLookingTextsStayTextCells) {
  rows.rows = {
      {"1", "=HYPERLINK(\"http://x\",\"c\")", "+3", "@SUM(A1)", Utf8ToGbk("＝1+1"), "-cmd"}};
  const std::vector<std::string> lines = ExportAndRead();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3], R"x(2: n:1|s:"=HYPERLINK(\"http://x\",\"c\")"|s:"+3"|s:"@SUM(A1)"|)x"
                      R"x(s:"＝1+1"|s:"-cmd"|s:"reputation,opening_date")x");
}

TEST_F(XlsxExportTest, RowsBeyondASheetContinueOnTheNextUnderTheirOwnHeader) {
  for (int i = 1; i <= 5; ++i) rows.rows.push_back({std::to_string(i), "", "0", "", "", ""});
  const std::vector<std::string> lines = ExportAndRead(2);
  const std::vector<std::string> expected = {
      "sheet 店铺",   lines[1],  Header, "2: n:1||n:0", "3: n:2||n:0",
      "sheet 店铺 2", lines[6],  Header, "2: n:3||n:0", "3: n:4||n:0",
      "sheet 店铺 3", lines[11], Header, "2: n:5||n:0"};
  EXPECT_EQ(lines, expected);
}

TEST_F(XlsxExportTest, ATextLongerThanACellHoldsIsCutAndTheColumnStaysSane) {
  std::string longName;
  for (int i = 0; i < 40'000; ++i) longName += Utf8ToGbk("甲");
  std::string escapes;
  for (int i = 0; i < 5'000; ++i) escapes += "_x0041_";
  rows.rows = {{"1", longName, "", escapes, "", ""}};
  const std::vector<std::string> lines = ExportAndRead();
  ASSERT_EQ(lines.size(), 4u);
  std::string expectedName;
  for (int i = 0; i < XlsxMaxCellCharacters; ++i) expectedName += "甲";
  EXPECT_NE(lines[3].find("|s:\"" + expectedName + "\"|"), std::string::npos);
  // Each escape look-alike takes 13 characters in the file ("_x005F_x0041_"): 2520 fit whole,
  // and the 7 characters left hold the next one's guarded '_'.
  std::string expectedEscapes;
  for (int i = 0; i < 2520; ++i) expectedEscapes += "_x0041_";
  EXPECT_NE(lines[3].find("|s:\"" + expectedEscapes + "_\""), std::string::npos);
  EXPECT_EQ(Widths(lines[1])[1], static_cast<int>(XlsxMaxColumnWidth));
}

TEST_F(XlsxExportTest, AnExistingFileIsReplacedKeepingItsPermissionBits) {
  rows.rows = {{"1", "a", "0", "m1", "", ""}};
  PutFile(path, "old");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  const std::string link = dir.File("link.xlsx");
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  ASSERT_TRUE(WriteXlsxExport(rows, 1, link));
  EXPECT_EQ(FileContent(path)->substr(0, 2), "PK");
  EXPECT_EQ(Mode(path), 0640u);
  struct stat info {};
  ASSERT_EQ(::lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(dir.Listing(), "link.xlsx\nshops.xlsx\n");
}

// A read-only file is refused; so is a writable file in a read-only folder, where the workbook
// cannot be made beside it. Either way the file is as it was.
TEST_F(XlsxExportTest, AFileThatCannotBeReplacedIsLeftAsItWas) {
  dir.HandTo(test::UnprivilegedUser, test::UnprivilegedGroup);
  test::RunUnprivileged([&] {
    rows.rows = {{"1", "a", "0", "m1", "", ""}};
    const std::string locked = dir.File("locked.xlsx");
    PutFile(locked, "old");
    ASSERT_EQ(::chmod(locked.c_str(), 0444), 0);
    WriteResult written = WriteXlsxExport(rows, 1, locked);
    EXPECT_FALSE(written);
    EXPECT_EQ(written.reason, "Permission denied");

    PutFile(path, "old");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
    written = WriteXlsxExport(rows, 1, path);
    EXPECT_FALSE(written);
    EXPECT_EQ(written.reason, "Permission denied");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);

    EXPECT_EQ(FileContent(locked), "old");
    EXPECT_EQ(FileContent(path), "old");
    EXPECT_EQ(dir.Listing(), "locked.xlsx\nshops.xlsx\n");
  });
}

}  // namespace
}  // namespace shopwalk
