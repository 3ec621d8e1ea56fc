#include "store/export_file.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "collect/controls.h"
#include "collect/gbk.h"
#include "collect/memory_ui.h"
#include "scratch_directory.h"
#include "store/export_layout.h"

namespace shopwalk {
namespace {

using testing_support::Exists;
using testing_support::FileContent;
using testing_support::PutFile;
using testing_support::ScratchDirectory;
using Row = std::array<std::string, 6>;

// GBK cell texts.
const std::string ShopName = Utf8ToGbk("甲乙小店");
const std::string Messenger = Utf8ToGbk("买家甲");
const std::string Address = "http://shop109428413.example.test";

class ExportTest : public ::testing::Test {
 protected:
  ExportTest() {
    ui.SetFileDialogAnswer([this](const std::string& directory, const std::string& proposed) {
      dialogDirectories.push_back(directory);
      proposals.push_back(proposed);
      return answer;
    });
  }

  void AddRow(const Row& cells) {
    int row = ui.InsertRow();
    for (int column = 0; column < 6; ++column) ui.SetCellText(row, column, cells[column]);
  }

  // Texts (UTF-8) of the messages shown so far.
  std::vector<std::string> Shown() {
    std::vector<std::string> texts;
    for (const auto& message : ui.Messages()) texts.push_back(GbkToUtf8(message.text));
    return texts;
  }

  void ExpectDoneNotice() {
    auto messages = ui.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(GbkToUtf8(messages[0].text), "导出完成!");
    EXPECT_EQ(messages[0].flags, 0);
    EXPECT_EQ(GbkToUtf8(messages[0].caption), "信息：");
  }

  ScratchDirectory dir;
  MemoryUi ui;
  std::string answer = dir.File("shops.txt");
  std::vector<std::string> dialogDirectories, proposals;
};

TEST_F(ExportTest, AFreshWindowExportsOneMessengerNamePerLine) {
  AddRow({"1", ShopName, "5", Messenger, "2010-01-01", Address});
  AddRow({"2", "b", "0", "m2", "2011-02-02", Address});
  AddRow({"3", "c", "7", "m3", "2012-03-03", Address});
  OnExportClicked(ui, dir.path());
  EXPECT_EQ(dialogDirectories, std::vector<std::string>{dir.path()});
  EXPECT_EQ(FileContent(answer), Messenger + "\r\nm2\r\nm3\r\n");
  ExpectDoneNotice();
}

TEST_F(ExportTest, TheFullLayoutJoinsAllSixCellsAsTheyAre) {
  ui.SetChecked(ctl::MessengerOnlyCheck, false);
  AddRow({"1", ShopName, "", Messenger, "2010-01-01", Address});
  AddRow({"2", "a--b", "3", "", "", "x\r\ny,\"z\""});
  OnExportClicked(ui, dir.path());
  EXPECT_EQ(FileContent(answer), "1--" + ShopName + "----" + Messenger + "--2010-01-01--" +
                                     Address + "\r\n" + "2--a--b--3------x\r\ny,\"z\"\r\n");
  ExpectDoneNotice();
}

TEST_F(ExportTest, AnEmptyMessengerNameGivesAnEmptyLine) {
  AddRow({"1", "a", "0", "m1", "", ""});
  AddRow({"2", "b", "0", "", "", ""});
  AddRow({"3", "c", "0", "m3", "", ""});
  OnExportClicked(ui, dir.path());
  EXPECT_EQ(FileContent(answer), "m1\r\n\r\nm3\r\n");
}

TEST_F(ExportTest, ALongerExistingFileIsReplacedWhole) {
  PutFile(answer, std::string(5000, 'z') + "\r\n");
  AddRow({"1", "a", "0", "m1", "", ""});
  OnExportClicked(ui, dir.path());
  EXPECT_EQ(FileContent(answer), "m1\r\n");
  EXPECT_EQ(dir.Listing(), "shops.txt\n");
}

TEST_F(ExportTest, NoRowsLeavesTheFileAloneButStillReportsDone) {
  OnExportClicked(ui, dir.path());
  EXPECT_FALSE(Exists(answer));
  ExpectDoneNotice();

  PutFile(answer, "earlier export\r\n");
  answer = dir.File("shops.csv");
  PutFile(answer, "a,b\r\n");
  OnExportClicked(ui, dir.path());
  EXPECT_EQ(FileContent(answer), "a,b\r\n");
  EXPECT_EQ(FileContent(dir.File("shops.txt")), "earlier export\r\n");
}

TEST_F(ExportTest, ACancelledDialogDoesNothing) {
  AddRow({"1", "a", "0", "m1", "", ""});
  answer = "";
  OnExportClicked(ui, dir.path());
  EXPECT_TRUE(ui.Messages().empty());
  EXPECT_EQ(dir.Listing(), "");
}

TEST_F(ExportTest, TheSecondDialogProposesTheFirstFile) {
  AddRow({"1", "a", "0", "m1", "", ""});
  OnExportClicked(ui, dir.path());
  answer = dir.File("second.txt");
  OnExportClicked(ui, dir.path());
  EXPECT_EQ(proposals, (std::vector<std::string>{"", dir.File("shops.txt")}));
  EXPECT_EQ(dialogDirectories, (std::vector<std::string>{dir.path(), dir.path()}));
  EXPECT_EQ(FileContent(answer), "m1\r\n");
}

TEST_F(ExportTest, AFailedWriteIsReportedInsteadOfDone) {
  std::string blocker = dir.File("blocker");
  PutFile(blocker, "");
  answer = blocker + "/shops.txt";
  AddRow({"1", "a", "0", "m1", "", ""});
  OnExportClicked(ui, dir.path());
  auto messages = ui.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(GbkToUtf8(messages[0].text), "导出失败：" + answer + "\r\nNot a directory");
  EXPECT_EQ(messages[0].flags, mb::Ok | mb::IconError);
  EXPECT_EQ(FileContent(blocker), "");
}

// Rows that a running collection appends while the export reads are not part of it.
class GrowingListUi : public MemoryUi {
 public:
  int RowCount() override {
    ++rowCountCalls;
    return MemoryUi::RowCount();
  }
  std::string GetCellText(int row, int column) override {
    if (row == 0 && column == MessengerColumn) {
      int added = MemoryUi::InsertRow();
      MemoryUi::SetCellText(added, MessengerColumn, "late");
    }
    return MemoryUi::GetCellText(row, column);
  }
  int rowCountCalls = 0;
};

TEST(ExportRowCountTest, TheRowCountIsTakenOnce) {
  GrowingListUi ui;
  ui.InsertRow();
  ui.SetCellText(0, MessengerColumn, "m1");
  ui.InsertRow();
  ui.SetCellText(1, MessengerColumn, "m2");
  ExportText text = ComposeExport(ui, ExportLayout::MessengerOnly);
  EXPECT_EQ(text.rows, 2);
  EXPECT_EQ(text.bytes, "m1\r\nm2\r\n");
  EXPECT_EQ(ui.rowCountCalls, 1);
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
  answer = dir.File("shops.CSV");  // the check box stays checked: CSV still has all columns
  AddRow({"1", ShopName, "5", Messenger, "2010-01-01", Address});
  AddRow({"2", "a,b", "", "say \"hi\"", "two\r\nlines", ""});
  OnExportClicked(ui, dir.path());
  std::string header = Utf8ToGbk("序号,店铺名称,卖家信誉,Quibo名,创店时间,店铺地址\r\n");
  EXPECT_EQ(FileContent(answer), header + "1," + ShopName + ",5," + Messenger + ",2010-01-01," +
                                     Address + "\r\n" +
                                     "2,\"a,b\",,\"say \"\"hi\"\"\",\"two\r\nlines\",\r\n");
  ExpectDoneNotice();
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
  if (std::system("python3 -c pass >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
  std::vector<Row> rows = {
      {"1", ShopName, "5", Messenger, "2010-01-01", Address},
      {"2", "a,b", "", "say \"hi\"", "two\r\nlines", "lf\nonly"},
      {"3", "", "", "", "", ""},
      {"4", "\"", ",", "\"\"", Utf8ToGbk("店铺,\"名称\""), " lead and trail "},
  };
  for (const Row& row : rows) AddRow(row);
  answer = dir.File("shops.csv");
  OnExportClicked(ui, dir.path());

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
    EXPECT_EQ(records[0][column], ui.ColumnCaption(column));
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(records[i + 1], std::vector<std::string>(rows[i].begin(), rows[i].end()));
  }
}

}  // namespace
}  // namespace shopwalk
