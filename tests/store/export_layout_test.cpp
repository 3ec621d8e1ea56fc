// The byte layouts of the export (text, CSV, JSON Lines) in both encodings, written through
// ExportRows and read back byte for byte or by Python's csv and json modules.
#include "store/export_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collect/gbk.h"
#include "store/export_rows.h"
#include "store/result_columns.h"
#include "tests/store/export_test_rows.h"
#include "tests/support/scratch_directory.h"

namespace shopwalk {
namespace {

using test::FileContent;
using test::PutFile;
using test::RunReader;
using test::ScratchDirectory;
using test::TestRows;
using Row = ResultRow;

// GBK cell texts.
const std::string ShopName = Utf8ToGbk("甲乙小店");
const std::string Messenger = Utf8ToGbk("买家甲");
const std::string Address = "http://shop109428413.example.test";
// Bytes that are not GBK: two invalid bytes, and a lead byte with nothing after it.
const std::string BadBytes = "\xFF\xFE";
const std::string LoneLead = "ab\x81";
constexpr std::string_view Replacement = "\xEF\xBF\xBD";

class ExportLayoutTest : public ::testing::Test {
 protected:
  void AddRow(const Row& cells) { rows.rows.push_back(cells); }

  // Exports the rows to `name` in the form its ending asks for; the file's bytes.
  std::string Export(const std::string& name, bool messengerOnly,
                     ExportEncoding encoding = ExportEncoding::Gbk) {
    answer = dir.File(name);
    ExportOptions options{FormatForFileName(name), messengerOnly, encoding};
    const WriteResult written = ExportRows(rows, answer, options);
    EXPECT_TRUE(written) << written.reason;
    return FileContent(answer).value_or("(missing)");
  }

  // The records Python's csv module reads from the file, each field's bytes.
  std::vector<std::vector<std::string>> CsvRecords(const std::string& encoding) {
    const test::ScriptOutput output =
        RunReader(SHOPWALK_EXPORT_READERS "/csv_dump.py", answer, encoding);
    EXPECT_TRUE(output.ok);
    std::vector<std::vector<std::string>> records;
    for (const std::string& line : output.lines) {
      std::vector<std::string> fields(1);
      for (std::size_t i = line.find(':') + 1; i < line.size(); ++i) {
        if (line[i] == ',') {
          fields.emplace_back();
        } else {
          fields.back() += static_cast<char>(std::stoi(line.substr(i++, 2), nullptr, 16));
        }
      }
      records.push_back(fields);
    }
    return records;
  }

  ScratchDirectory dir;
  TestRows rows;
  std::string answer;
};

TEST_F(ExportLayoutTest, TextWritesMessengerNamesOrAllCellsAsTheyAre) {
  AddRow({"1", ShopName, "", Messenger, "2010-01-01", Address});
  AddRow({"2", "a--b", "3", "", "", "x\r\ny,\"z\""});
  AddRow({"3", BadBytes, "0", LoneLead, "", ""});
  EXPECT_EQ(Export("shops.txt", true), Messenger + "\r\n\r\n" + LoneLead + "\r\n");
  EXPECT_EQ(Export("shops.txt", false), "1--" + ShopName + "----" + Messenger + "--2010-01-01--" +
                                            Address + "\r\n" + "2--a--b--3------x\r\ny,\"z\"\r\n" +
                                            "3--" + BadBytes + "--0--" + LoneLead + "----\r\n");
}

TEST_F(ExportLayoutTest, Utf8TextConvertsEveryCellWithoutAByteOrderMark) {
  AddRow({"1", ShopName, "5", Messenger, "2010-01-01", Address});
  AddRow({"2", BadBytes, "0", LoneLead, "", ""});
  const std::string bad = std::string(Replacement) + std::string(Replacement);
  const std::string lone = "ab" + std::string(Replacement);
  EXPECT_EQ(Export("shops.txt", true, ExportEncoding::Utf8), "买家甲\r\n" + lone + "\r\n");
  EXPECT_EQ(Export("shops.TXT", false, ExportEncoding::Utf8),
            "1--甲乙小店--5--买家甲--2010-01-01--" + Address + "\r\n2--" + bad + "--0--" + lone +
                "----\r\n");
}

TEST_F(ExportLayoutTest, ALongerExistingFileIsReplacedWhole) {
  answer = dir.File("shops.txt");
  PutFile(answer, std::string(5000, 'z') + "\r\n");
  AddRow({"1", "a", "0", "m1", "", ""});
  EXPECT_EQ(Export("shops.txt", true), "m1\r\n");
  EXPECT_EQ(dir.Listing(), "shops.txt\n");
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

TEST_F(ExportLayoutTest, CsvHasAHeaderAndAllColumnsEvenWhenMessengerNamesAreAsked) {
  AddRow({"1", ShopName, "5", Messenger, "2010-01-01", Address});
  AddRow({"2", "a,b", "", "say \"hi\"", "two\r\nlines", ""});
  const std::string header = "序号,店铺名称,卖家信誉,Quibo名,创店时间,店铺地址\r\n";
  EXPECT_EQ(Export("shops.CSV", true), Utf8ToGbk(header) + "1," + ShopName + ",5," + Messenger +
                                           ",2010-01-01," + Address + "\r\n" +
                                           "2,\"a,b\",,\"say \"\"hi\"\"\",\"two\r\nlines\",\r\n");
  EXPECT_EQ(Export("shops.csv", true, ExportEncoding::Utf8),
            "\xEF\xBB\xBF" + header + "1,甲乙小店,5,买家甲,2010-01-01," + Address + "\r\n" +
                "2,\"a,b\",,\"say \"\"hi\"\"\",\"two\r\nlines\",\r\n");
}

// Python's csv module reads both encodings back into exactly the list's cells: GBK bytes as
// they were (bytes that are not GBK included), UTF-8 converted with U+FFFD for those.
TEST_F(ExportLayoutTest, ACsvReaderGetsTheCellsBack) {
  const std::vector<Row> cells = {
      {"1", ShopName, "5", Messenger, "2010-01-01", Address},
      {"2", "a,b", "", "say \"hi\"", "two\r\nlines", "lf\nonly"},
      {"3", "", "", "", "", ""},
      {"4", "\"", ",", "\"\"", Utf8ToGbk("店铺,\"名称\""), " lead and trail "},
      {"5", BadBytes, "x" + BadBytes + "y", LoneLead, "\x81", ""},
  };
  for (const Row& row : cells) AddRow(row);
  for (ExportEncoding encoding : {ExportEncoding::Gbk, ExportEncoding::Utf8}) {
    const bool gbk = encoding == ExportEncoding::Gbk;
    SCOPED_TRACE(gbk ? "GBK" : "UTF-8");
    Export("shops.csv", false, encoding);
    const std::vector<std::vector<std::string>> records = CsvRecords(gbk ? "gbk" : "utf-8");
    ASSERT_EQ(records.size(), cells.size() + 1);
    for (int column = 0; column < ResultColumnCount; ++column) {
      const std::string caption(ResultColumnCaptions[column]);
      EXPECT_EQ(records[0][column], gbk ? Utf8ToGbk(caption) : caption);
    }
    for (std::size_t i = 0; i < cells.size(); ++i) {
      std::vector<std::string> expected(cells[i].begin(), cells[i].end());
      if (!gbk) {
        for (std::string& cell : expected) cell = GbkToUtf8(cell);
      }
      EXPECT_EQ(records[i + 1], expected);
    }
  }
  // The converted bytes are U+FFFD, one for each byte that starts no GBK character.
  EXPECT_EQ(GbkToUtf8(BadBytes), std::string(Replacement) + std::string(Replacement));
  EXPECT_EQ(GbkToUtf8(LoneLead), "ab" + std::string(Replacement));
}

// Page text is written by shop owners: a CSV cell that a spreadsheet program would run as a
// formula comes back to a CSV reader with a "'" before it (and so shows as text), in both
// encodings and with the full-width forms in each; plain numbers and other cells come back as
// they are. With raw cells every cell comes back as it is.
TEST_F(ExportLayoutTest, CsvCellsASpreadsheetWouldRunAreWrittenAsText) {
  const std::string hyperlink = "=HYPERLINK(\"http://x\",\"c\")";
  const std::vector<Row> cells = {
      {"1", hyperlink, "-5", "@SUM(A1:A9)", "+3.5", "-cmd|' /C calc'!A0"},
      {"2", "\tx", "-0.5", "\rx", "-", "a=b"},
      {"3", Utf8ToGbk("＝1+1"), "0", Utf8ToGbk("＋1"), Utf8ToGbk("－1"), Utf8ToGbk("＠x")},
      {"-4", " =not first", "", Utf8ToGbk("甲＝乙"), "=", "-007"},
  };
  // Which cells are made text: per row, by column.
  const std::vector<std::vector<bool>> made = {
      {false, true, false, true, true, true},
      {false, true, false, true, true, false},
      {false, true, false, true, true, true},
      {false, false, false, false, true, true},
  };
  for (const Row& row : cells) AddRow(row);
  for (ExportEncoding encoding : {ExportEncoding::Gbk, ExportEncoding::Utf8}) {
    const bool gbk = encoding == ExportEncoding::Gbk;
    for (bool raw : {false, true}) {
      SCOPED_TRACE(std::string(gbk ? "GBK" : "UTF-8") + (raw ? ", raw cells" : ""));
      answer = dir.File("shops.csv");
      const WriteResult written =
          ExportRows(rows, answer, ExportOptions{ExportFormat::Csv, false, encoding, raw});
      ASSERT_TRUE(written) << written.reason;
      const std::vector<std::vector<std::string>> records = CsvRecords(gbk ? "gbk" : "utf-8");
      ASSERT_EQ(records.size(), cells.size() + 1);
      for (std::size_t i = 0; i < cells.size(); ++i) {
        for (int column = 0; column < ResultColumnCount; ++column) {
          std::string expected = gbk ? cells[i][column] : GbkToUtf8(cells[i][column]);
          if (made[i][column] && !raw) expected = "'" + expected;
          EXPECT_EQ(records[i + 1][column], expected) << "row " << i << ", column " << column;
        }
      }
    }
  }
  // The cell is quoted whole, its own quotes doubled.
  answer = dir.File("shops.csv");
  ASSERT_TRUE(ExportRows(rows, answer, ExportOptions{ExportFormat::Csv, false}));
  EXPECT_NE(FileContent(answer).value_or("").find(
                "\r\n1,\"'=HYPERLINK(\"\"http://x\"\",\"\"c\"\")\",-5,"),
            std::string::npos);
}

// Python's json module reads one object per line: the index a number when it is one, the shop
// ID from the address or null, every other cell a string, all UTF-8.
TEST_F(ExportLayoutTest, JsonLinesReadBackLineByLine) {
  AddRow({"1", ShopName, "12", Messenger, "2014-05-01", "http://shop109428413.velmo.com"});
  AddRow({"2", "a\"b\\c", "\b\f\x01\x1F", "tab\there", "two\r\nlines", "not an address"});
  AddRow({"x7", BadBytes, "0", LoneLead, std::string("nul\0", 4), "HTTP://SHOP5.example.test"});
  // Messenger names only and the GBK encoding do not apply to JSON Lines.
  const std::string bytes = Export("shops.JSONL", true, ExportEncoding::Gbk);
  EXPECT_EQ(bytes.substr(0, bytes.find('\n') + 1),
            "{\"index\":1,\"shop_id\":109428413,\"name\":\"甲乙小店\",\"reputation\":\"12\","
            "\"messenger\":\"买家甲\",\"opening_date\":\"2014-05-01\","
            "\"address\":\"http://shop109428413.velmo.com\",\"checks\":[]}\n");
  const test::ScriptOutput output = RunReader(SHOPWALK_EXPORT_READERS "/jsonl_dump.py", answer);
  ASSERT_TRUE(output.ok);
  EXPECT_EQ(
      output.lines,
      (std::vector<std::string>{
          R"({"index": 1, "shop_id": 109428413, "name": "甲乙小店", "reputation": "12", )"
          R"("messenger": "买家甲", "opening_date": "2014-05-01", )"
          R"("address": "http://shop109428413.velmo.com", "checks": []})",
          R"({"index": 2, "shop_id": null, "name": "a\"b\\c", "reputation": "\b\f\u0001\u001f", )"
          R"("messenger": "tab\there", "opening_date": "two\r\nlines", )"
          R"("address": "not an address", )"
          R"("checks": ["reputation", "opening_date", "control_bytes"]})",
          R"({"index": "x7", "shop_id": 5, "name": "��", "reputation": "0", )"
          R"("messenger": "ab�", "opening_date": "nul\u0000", )"
          R"("address": "HTTP://SHOP5.example.test", "checks": ["opening_date"]})",
      }));
}

}  // namespace
}  // namespace shopwalk
