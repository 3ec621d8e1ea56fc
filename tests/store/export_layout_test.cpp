#include "store/export_layout.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "collect/gbk.h"
#include "tests/support/scratch_directory.h"
#include "store/result_columns.h"

namespace shopwalk {
namespace {

using test::Exists;
using test::FileContent;
using test::PutFile;
using test::ScratchDirectory;
using Row = ResultRow;

// GBK cell texts.
const std::string ShopName = Utf8ToGbk("甲乙小店");
const std::string Messenger = Utf8ToGbk("买家甲");
const std::string Address = "http://shop109428413.example.test";

// Rows held in memory; counts how often the row count is asked for.
class TestRows : public ResultRows {
 public:
  int RowCount() const override {
    ++rowCountCalls;
    return static_cast<int>(rows.size());
  }
  std::string CellText(int row, int column) const override {
    if (row < 0 || row >= static_cast<int>(rows.size()) || column < 0 ||
        column >= ResultColumnCount) {
      return {};
    }
    return rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
  }

  std::vector<Row> rows;
  mutable int rowCountCalls = 0;
};

class ExportTest : public ::testing::Test {
 protected:
  void AddRow(const Row& cells) { rows.rows.push_back(cells); }

  // Composes the rows in the layout a file named `path` gets and writes them there.
  WriteResult Export(const std::string& path, bool messengerOnly = true) {
    return WriteExport(path, ComposeExport(rows, ChooseExportLayout(path, messengerOnly)));
  }

  ScratchDirectory dir;
  TestRows rows;
  std::string answer = dir.File("shops.txt");
};

TEST_F(ExportTest, TheMessengerLayoutWritesOneNamePerLine) {
  AddRow({"1", ShopName, "5", Messenger, "2010-01-01", Address});
  AddRow({"2", "b", "0", "m2", "2011-02-02", Address});
  AddRow({"3", "c", "7", "m3", "2012-03-03", Address});
  EXPECT_TRUE(Export(answer));
  EXPECT_EQ(FileContent(answer), Messenger + "\r\nm2\r\nm3\r\n");
}

TEST_F(ExportTest, TheFullLayoutJoinsAllSixCellsAsTheyAre) {
  AddRow({"1", ShopName, "", Messenger, "2010-01-01", Address});
  AddRow({"2", "a--b", "3", "", "", "x\r\ny,\"z\""});
  EXPECT_TRUE(Export(answer, false));
  EXPECT_EQ(FileContent(answer), "1--" + ShopName + "----" + Messenger + "--2010-01-01--" +
                                     Address + "\r\n" + "2--a--b--3------x\r\ny,\"z\"\r\n");
}

TEST_F(ExportTest, AnEmptyMessengerNameGivesAnEmptyLine) {
  AddRow({"1", "a", "0", "m1", "", ""});
  AddRow({"2", "b", "0", "", "", ""});
  AddRow({"3", "c", "0", "m3", "", ""});
  EXPECT_TRUE(Export(answer));
  EXPECT_EQ(FileContent(answer), "m1\r\n\r\nm3\r\n");
}

TEST_F(ExportTest, ALongerExistingFileIsReplacedWhole) {
  PutFile(answer, std::string(5000, 'z') + "\r\n");
  AddRow({"1", "a", "0", "m1", "", ""});
  EXPECT_TRUE(Export(answer));
  EXPECT_EQ(FileContent(answer), "m1\r\n");
  EXPECT_EQ(dir.Listing(), "shops.txt\n");
}

TEST_F(ExportTest, NoRowsLeavesTheFileAlone) {
  EXPECT_TRUE(Export(answer));
  EXPECT_FALSE(Exists(answer));

  PutFile(answer, "earlier export\r\n");
  answer = dir.File("shops.csv");
  PutFile(answer, "a,b\r\n");
  EXPECT_TRUE(Export(answer));
  EXPECT_EQ(FileContent(answer), "a,b\r\n");
  EXPECT_EQ(FileContent(dir.File("shops.txt")), "earlier export\r\n");
}

TEST_F(ExportTest, AFailedWriteSaysWhichFileAndWhy) {
  std::string blocker = dir.File("blocker");
  PutFile(blocker, "");
  answer = blocker + "/shops.txt";
  AddRow({"1", "a", "0", "m1", "", ""});
  const WriteResult written = Export(answer);
  EXPECT_FALSE(written);
  EXPECT_EQ(written.path, answer);
  EXPECT_EQ(written.reason, "Not a directory");
  EXPECT_EQ(FileContent(blocker), "");
}

// Rows that a running collection appends while the export reads are not part of it.
class GrowingRows : public TestRows {
 public:
  std::string CellText(int row, int column) const override {
    if (row == 0 && column == MessengerColumn) {
      const_cast<GrowingRows*>(this)->rows.push_back({"", "", "", "late", "", ""});
    }
    return TestRows::CellText(row, column);
  }
};

TEST(ExportRowCountTest, TheRowCountIsTakenOnce) {
  GrowingRows rows;
  rows.rows = {{"", "", "", "m1", "", ""}, {"", "", "", "m2", "", ""}};
  ExportText text = ComposeExport(rows, ExportLayout::MessengerOnly);
  EXPECT_EQ(text.rows, 2);
  EXPECT_EQ(text.bytes, "m1\r\nm2\r\n");
  EXPECT_EQ(rows.rowCountCalls, 1);
}

TEST(CsvFieldTest, QuotesOnlyWhatNeedsIt) {
  auto field = [](std::string_view text) {
    std::string out;
    AppendCsvField(out, text);
    return out;
  };
  EXPECT_EQ(field(""), "");
  EXPECT_EQ(field("plain text"), "plain text");
  EXPECT_EQ(field(ShopName), ShopName);
  EXPECT_EQ(field("a,b"), "\"a,b\"");
  EXPECT_EQ(field("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(field("two\r\nlines"), "\"two\r\nlines\"");
  EXPECT_EQ(field("cr\r"), "\"cr\r\"");
  EXPECT_EQ(field("a--b"), "a--b");
}

TEST_F(ExportTest, ACsvNameGetsTheSpreadsheetLayoutWithAllColumns) {
  answer = dir.File("shops.CSV");  // messenger names only asked for: CSV still has all columns
  AddRow({"1", ShopName, "5", Messenger, "2010-01-01", Address});
  AddRow({"2", "a,b", "", "say \"hi\"", "two\r\nlines", ""});
  EXPECT_TRUE(Export(answer));
  std::string header = Utf8ToGbk("序号,店铺名称,卖家信誉,Quibo名,创店时间,店铺地址\r\n");
  EXPECT_EQ(FileContent(answer), header + "1," + ShopName + ",5," + Messenger + ",2010-01-01," +
                                     Address + "\r\n" +
                                     "2,\"a,b\",,\"say \"\"hi\"\"\",\"two\r\nlines\",\r\n");
}

std::vector<std::string> DecodeHexFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t colon = line.find(':');
  std::string rest = line.substr(colon + 1);
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = rest.find(',', start);
    std::string hex = rest.substr(start, comma == std::string::npos ? comma : comma - start);
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
      bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    fields.push_back(bytes);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return fields;
}

// Python's csv module reads the export back into exactly the list's cells.
TEST_F(ExportTest, ACsvReaderGetsTheCellsBack) {
  std::vector<Row> rows = {
      {"1", ShopName, "5", Messenger, "2010-01-01", Address},
      {"2", "a,b", "", "say \"hi\"", "two\r\nlines", "lf\nonly"},
      {"3", "", "", "", "", ""},
      {"4", "\"", ",", "\"\"", Utf8ToGbk("店铺,\"名称\""), " lead and trail "},
  };
  for (const Row& row : rows) AddRow(row);
  answer = dir.File("shops.csv");
  ASSERT_TRUE(Export(answer));

  std::string command = std::string("python3 ") + SHOPWALK_CSV_DUMP_SCRIPT + " '" + answer + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  ASSERT_TRUE(pipe);
  std::vector<std::vector<std::string>> records;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe.get())) {
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    ASSERT_EQ(line.substr(0, 2), "6:") << line;
    records.push_back(DecodeHexFields(line));
  }
  ASSERT_EQ(records.size(), rows.size() + 1);
  for (int column = 0; column < 6; ++column) {
    EXPECT_EQ(records[0][column], Utf8ToGbk(ResultColumnCaptions[column]));
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(records[i + 1], std::vector<std::string>(rows[i].begin(), rows[i].end()));
  }
}

}  // namespace
}  // namespace shopwalk
