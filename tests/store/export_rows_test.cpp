// The export's front: the form chosen by the file name, and what every form shares (the row
// count taken once, no rows leaving the file alone, failures reported with nothing left behind),
// and the shop ID the rows give.
#include "store/export_rows.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/store/export_test_rows.h"
#include "tests/support/scratch_directory.h"

namespace shopwalk {
namespace {

using test::FileContent;
using test::PutFile;
using test::ScratchDirectory;
using test::TestRows;

constexpr ExportFormat AllFormats[] = {ExportFormat::Text, ExportFormat::Csv, ExportFormat::Jsonl,
                                       ExportFormat::Xlsx};

std::string NameFor(ExportFormat format) {
  switch (format) {
    case ExportFormat::Csv:
      return "shops.csv";
    case ExportFormat::Jsonl:
      return "shops.jsonl";
    case ExportFormat::Xlsx:
      return "shops.xlsx";
    default:
      return "shops.txt";
  }
}

TEST(ExportFormatTest, TheFileNameEndingChoosesTheForm) {
  EXPECT_EQ(FormatForFileName("/a/shops.CsV"), ExportFormat::Csv);
  EXPECT_EQ(FormatForFileName("/a/shops.jsonl"), ExportFormat::Jsonl);
  EXPECT_EQ(FormatForFileName("/a/SHOPS.XLSX"), ExportFormat::Xlsx);
  for (const char* text : {"shops.txt", "shops", "shops.json", "shops.xls", "/a.csv/shops", ""}) {
    EXPECT_EQ(FormatForFileName(text), ExportFormat::Text) << text;
  }
}

class ExportRowsTest : public ::testing::TestWithParam<ExportFormat> {
 protected:
  WriteResult Export(const std::string& path) {
    return ExportRows(rows, path, ExportOptions{GetParam(), false, ExportEncoding::Gbk});
  }

  ScratchDirectory dir;
  TestRows rows;
};

// Rows that a running collection appends while the export reads are not part of it.
class GrowingRows : public TestRows {
 public:
  std::string CellText(int row, int column) const override {
    if (row == 0 && column == MessengerColumn) {
      const_cast<GrowingRows*>(this)->rows.push_back({"3", "", "", "late", "", ""});
    }
    return TestRows::CellText(row, column);
  }
};

TEST_P(ExportRowsTest, TheRowCountIsTakenOnce) {
  GrowingRows growing;
  growing.rows = {{"1", "", "", "m1", "", ""}, {"2", "", "", "m2", "", ""}};
  const std::string path = dir.File(NameFor(GetParam()));
  ASSERT_TRUE(ExportRows(growing, path, ExportOptions{GetParam(), true, ExportEncoding::Gbk}));
  EXPECT_EQ(growing.rowCountCalls, 1);
  EXPECT_NE(FileContent(path).value_or(""), "");
  // The late row's messenger name is nowhere in the file, compressed or not.
  if (GetParam() != ExportFormat::Xlsx) {
    EXPECT_EQ(FileContent(path)->find("late"), std::string::npos);
  }
}

TEST_P(ExportRowsTest, NoRowsLeavesTheFileAlone) {
  const std::string path = dir.File(NameFor(GetParam()));
  EXPECT_TRUE(Export(path));
  EXPECT_EQ(dir.Listing(), "");
  PutFile(path, "earlier export\r\n");
  EXPECT_TRUE(Export(path));
  EXPECT_EQ(FileContent(path), "earlier export\r\n");
  EXPECT_EQ(dir.Listing(), NameFor(GetParam()) + "\n");
}

TEST_P(ExportRowsTest, AFailedWriteSaysWhichFileAndWhyAndLeavesNothingBehind) {
  rows.rows = {{"1", "a", "0", "m1", "", "http://shop1.example.test"}};
  const std::string name = NameFor(GetParam());
  struct Case {
    std::string path;
    std::string reason;
  };
  PutFile(dir.File("blocker"), "");
  ASSERT_EQ(::mkdir(dir.File(name + ".d").c_str(), 0755), 0);
  const std::vector<Case> cases = {
      {dir.File("missing/" + name), "No such file or directory"},
      {dir.File("blocker/" + name), "Not a directory"},
      {dir.File(name + ".d"), "Is a directory"},
  };
  for (const Case& failing : cases) {
    SCOPED_TRACE(failing.path);
    const WriteResult written = Export(failing.path);
    EXPECT_FALSE(written);
    EXPECT_EQ(written.path, failing.path);
    EXPECT_EQ(written.reason, failing.reason);
  }
  EXPECT_EQ(FileContent(dir.File("blocker")), "");
  EXPECT_EQ(dir.Listing(), "blocker\n" + name + ".d\n");
  EXPECT_TRUE(std::filesystem::is_empty(dir.File(name + ".d")));
}

INSTANTIATE_TEST_SUITE_P(EveryForm, ExportRowsTest, ::testing::ValuesIn(AllFormats),
                         [](const auto& info) {
                           const std::string name = NameFor(info.param);
                           return name.substr(name.find('.') + 1);
                         });

TEST(ShopIdTest, IsReadFromTheAddressTheEngineBuilds) {
  EXPECT_EQ(ResultRows::ShopIdInAddress("http://shop109428413.velmo.com"), 109428413);
  EXPECT_EQ(ResultRows::ShopIdInAddress("HTTPS://Shop0.x"), 0);
  EXPECT_EQ(ResultRows::ShopIdInAddress("http://shop999999999999999999.x"), 999999999999999999);
  for (const char* other :
       {"", "http://shop.x", "http://shop12", "http://shop12.", "http://shop012.x",
        "http://shopx12.x", "ftp://shop12.x", " http://shop12.x", "http://shop12:80/",
        "http://shop1000000000000000000.x", "http://www.x/shop12.x"}) {
    EXPECT_EQ(ResultRows::ShopIdInAddress(other), std::nullopt) << other;
  }

  TestRows rows;
  rows.rows = {{"1", "", "", "", "", "http://shop7.x"}};
  EXPECT_EQ(rows.ShopId(0), 7);
  EXPECT_EQ(rows.ShopId(1), std::nullopt);
}

}  // namespace
}  // namespace shopwalk
