// A walk of shopwalk-cli to its end, judged by the marketplace's request log and pages, the rows
// it leaves in the store, the file it writes as it goes, every export form of the store read back
// by an independent reader, and what status says about the store afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "collect/gbk.h"
#include "collect/row_checks.h"
#include "results/sqlite/sqlite_store.h"
#include "store/export_layout.h"
#include "store/result_columns.h"
#include "tests/cli/cli_fixture.h"
#include "tests/support/shop_pages.h"

namespace shopwalk::test {
namespace {

std::string Hex(std::string_view bytes) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex += Digits[byte >> 4];
    hex += Digits[byte & 15];
  }
  return hex;
}

// A record of csv_dump.py: the field count, then each field's bytes in hex.
std::string CsvRecord(const std::vector<std::string>& fields) {
  std::string line = std::to_string(fields.size()) + ":";
  for (std::size_t i = 0; i < fields.size(); ++i) line += (i > 0 ? "," : "") + Hex(fields[i]);
  return line;
}

std::string CsvHeader(ExportEncoding encoding) {
  std::vector<std::string> captions;
  for (std::string_view caption : ResultColumnCaptions) {
    captions.push_back(encoding == ExportEncoding::Gbk ? Utf8ToGbk(caption) : std::string(caption));
  }
  return CsvRecord(captions);
}

// The checks `record` fails as the JSON Lines reader prints them: "a", "b".
std::string ChecksJson(const ShopRecord& record) {
  const std::string names = RowChecksText(CheckRow(record));
  std::string json;
  for (std::size_t start = 0; start < names.size();) {
    const std::size_t end = std::min(names.find(',', start), names.size());
    json += (json.empty() ? "\"" : ", \"") + names.substr(start, end - start) + "\"";
    start = end + 1;
  }
  return json;
}

// The line a form's reader gives for `record` at 1-based position `index`.
std::string ExpectedLine(const std::string& form, int index, const ShopRecord& record) {
  const ResultRow row = record.Row(std::to_string(index));
  if (form == "txt") {
    std::string line = row[0];
    for (int column = 1; column < ResultColumnCount; ++column) line += "--" + row[column];
    return line;
  }
  if (form == "csv") return CsvRecord({row.begin(), row.end()});
  if (form == "jsonl") {
    return "{\"index\": " + row[IndexColumn] + ", \"shop_id\": " + std::to_string(record.shopId) +
           ", \"name\": \"" + GbkToUtf8(record.name) + "\", \"reputation\": \"" +
           record.reputation + "\", \"messenger\": \"" + GbkToUtf8(record.messenger) +
           "\", \"opening_date\": \"" + record.openingDate + "\", \"address\": \"" +
           record.address + "\", \"checks\": [" + ChecksJson(record) + "]}";
  }
  // xlsx: the sheet's row under the header; index and reputation are numbers, an empty date
  // is no cell.
  const std::string date = record.openingDate.empty() ? "" : "s:\"" + record.openingDate + "\"";
  return std::to_string(index + 1) + ": n:" + row[IndexColumn] + "|s:\"" + GbkToUtf8(record.name) +
         "\"|n:" + record.reputation + "|s:\"" + GbkToUtf8(record.messenger) + "\"|" + date +
         "|s:\"" + record.address + "\"" +
         (CheckRow(record) == 0 ? "" : "|s:\"" + RowChecksText(CheckRow(record)) + "\"");
}

// The rows of an exported file as its form's reader gives them, after checking what comes
// before them (the CSV header, the sheet's name, widths and header).
std::vector<std::string> DataLines(const std::string& form, const std::string& path) {
  std::vector<std::string> lines;
  if (form == "txt") {
    const std::string content = FileContent(path).value_or("");
    std::size_t start = 0;
    while (start < content.size()) {
      const std::size_t end = content.find("\r\n", start);
      if (end == std::string::npos) {
        ADD_FAILURE() << path << ": the last line does not end in CR LF";
        break;
      }
      lines.push_back(content.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }
  if (form == "csv") {
    lines = RunReader(SHOPWALK_EXPORT_READERS "/csv_dump.py", path, "gbk").lines;
    if (lines.empty()) return lines;
    EXPECT_EQ(lines.front(), CsvHeader(ExportEncoding::Gbk)) << path;
    lines.erase(lines.begin());
    return lines;
  }
  if (form == "jsonl") return RunReader(SHOPWALK_EXPORT_READERS "/jsonl_dump.py", path).lines;
  lines = RunReader(SHOPWALK_EXPORT_READERS "/xlsx_dump.py", path).lines;
  if (lines.size() < 3) {
    ADD_FAILURE() << path << " has no sheet with a header";
    return {};
  }
  EXPECT_EQ(lines[0], "sheet 店铺");
  EXPECT_EQ(lines[1].rfind("cols ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2],
            R"(1: b:"序号"|b:"店铺名称"|b:"卖家信誉"|b:"Quibo名"|b:"创店时间"|b:"店铺地址"|)"
            R"(b:"检查")");
  lines.erase(lines.begin(), lines.begin() + 3);
  return lines;
}

// A walk's own file: each of `shops` once, numbered 1.. in the order the rows came (which
// follows the order the shops were answered in, not their IDs).
void ExpectEachShopOnceNumberedInOrder(const std::string& form, const std::string& path,
                                       const std::vector<ShopRecord>& shops) {
  const std::vector<std::string> lines = DataLines(form, path);
  EXPECT_EQ(lines.size(), shops.size()) << path;
  std::vector<bool> seen(shops.size(), false);
  for (std::size_t k = 0; k < lines.size(); ++k) {
    bool matched = false;
    for (std::size_t s = 0; s < shops.size() && !matched; ++s) {
      if (ExpectedLine(form, static_cast<int>(k + 1), shops[s]) != lines[k]) continue;
      EXPECT_FALSE(seen[s]) << "shop " << shops[s].shopId << " is in " << path << " twice";
      seen[s] = matched = true;
    }
    EXPECT_TRUE(matched) << path << " row " << k + 1
                         << " is no shop of the walk at its place: " << lines[k];
  }
}

class WalkAndExport : public CliTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(WalkAndExport, ACountedWalkListsEveryShopOnceAndEachFormReadsBack) {
  const std::string form = GetParam();
  const std::string walkFile = dir.File("walk." + form);
  const Finished walk = Cli(
      {"walk", "--from", "1000", "--count", "60", "--rate", "0", "--db", db, "--out", walkFile});
  ASSERT_EQ(walk.code, 0) << walk.errors;
  const auto range = AnnouncedRange(walk.errors);
  ASSERT_TRUE(range) << walk.errors;
  EXPECT_EQ(range->first, 1000);
  EXPECT_EQ(range->last, 1059);
  EXPECT_NE(walk.errors.find("walked 60 shop IDs (1000 to 1059)"), std::string::npos)
      << walk.errors;
  EXPECT_NE(walk.errors.find("; finished\n"), std::string::npos) << walk.errors;
  // Not on a terminal: no line is drawn over.
  EXPECT_EQ(walk.errors.find('\r'), std::string::npos) << walk.errors;
  EXPECT_EQ(walk.errors.find("\x1b["), std::string::npos) << walk.errors;

  // Every ID of the range was asked for, none outside it.
  const std::set<std::int32_t> requested = RequestedShopIds(market);
  EXPECT_EQ(MissingIds(requested, 1000, 1059), std::vector<std::int32_t>{});
  ASSERT_FALSE(requested.empty());
  EXPECT_EQ(*requested.begin(), 1000);
  EXPECT_EQ(*requested.rbegin(), 1059);

  // The store holds every listed shop of the range, once, as its pages show it.
  const std::vector<ShopRecord> listed = ShopsListedBetween(1000, 1059);
  ASSERT_GE(listed.size(), 5u);
  EXPECT_EQ(StoredShops(db), listed);

  ExpectEachShopOnceNumberedInOrder(form, walkFile, listed);

  // The export: every row of the store in shop-ID order, numbered 1..
  const std::string exported = dir.File("all." + form);
  const Finished exporting = Cli({"export", "--db", db, "--out", exported});
  ASSERT_EQ(exporting.code, 0) << exporting.errors;
  EXPECT_NE(exporting.errors.find("exported " + std::to_string(listed.size()) + " rows"),
            std::string::npos)
      << exporting.errors;
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    expected.push_back(ExpectedLine(form, static_cast<int>(i + 1), listed[i]));
  }
  EXPECT_EQ(DataLines(form, exported), expected);

  if (form == "txt") {
    std::string bytes, names;
    for (std::size_t i = 0; i < listed.size(); ++i) {
      bytes += expected[i] + "\r\n";
      names += listed[i].messenger + "\r\n";
    }
    EXPECT_EQ(FileContent(exported), bytes);

    const std::string namesFile = dir.File("names.txt");
    ASSERT_EQ(Cli({"export", "--db", db, "--out", namesFile, "--messenger-only"}).code, 0);
    EXPECT_EQ(FileContent(namesFile), names);

    const std::string utf8File = dir.File("utf8.txt");
    ASSERT_EQ(Cli({"export", "--db", db, "--out", utf8File, "--encoding", "utf-8"}).code, 0);
    EXPECT_EQ(FileContent(utf8File), GbkToUtf8(bytes));
  }
  if (form == "csv") {
    // --format wins over the name's ending; UTF-8 comes with a byte order mark.
    const std::string utf8File = dir.File("utf8.dat");
    ASSERT_EQ(
        Cli({"export", "--db", db, "--out", utf8File, "--format", "csv", "--encoding", "utf-8"})
            .code,
        0);
    EXPECT_EQ(FileContent(utf8File).value_or("").substr(0, 3), Utf8ByteOrderMark);
    std::vector<std::string> utf8Lines{CsvHeader(ExportEncoding::Utf8)};
    for (std::size_t i = 0; i < listed.size(); ++i) {
      ResultRow row = listed[i].Row(std::to_string(i + 1));
      for (std::string& cell : row) cell = GbkToUtf8(cell);
      utf8Lines.push_back(CsvRecord({row.begin(), row.end()}));
    }
    EXPECT_EQ(RunReader(SHOPWALK_EXPORT_READERS "/csv_dump.py", utf8File, "utf-8").lines,
              utf8Lines);
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, WalkAndExport, ::testing::Values("txt", "csv", "jsonl", "xlsx"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

// The status lines of `db`, each with the value it should hold.
void ExpectStatus(const std::string& output, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    EXPECT_NE(output.find(line + "\n"), std::string::npos) << "no \"" << line << "\" in\n"
                                                           << output;
  }
}

// A shop owner names their shop like a spreadsheet formula: the walk's CSV and the store's CSV
// export carry it as text, unless the export is asked for raw cells.
TEST_F(CliTest, AShopNamedLikeAFormulaIsTextInEveryCsvUnlessRawCellsAreAsked) {
  pages::Shop shop;
  shop.id = 4000;
  shop.name = "=HYPERLINK(\"http://x\",\"c\")";
  shop.messenger = "@cmd";
  shop.ratingToken = "formula";
  shop.openingDate = "2014-05-01";
  shop.reputation = "12";
  Page home;
  home.body = pages::HomePage(shop);
  market.SetPage(pages::ShopHost(shop.id), "/", home);
  Page rating;
  rating.body = pages::RatingPage(shop);
  market.SetPage(pages::RatingHost(), pages::RatingPath(shop), rating);

  const std::string walked = dir.File("walk.csv");
  const Finished walk =
      Cli({"walk", "--from", "4000", "--count", "1", "--rate", "0", "--db", db, "--out", walked});
  ASSERT_EQ(walk.code, 0) << walk.errors;
  const std::string asText =
      "1,\"'=HYPERLINK(\"\"http://x\"\",\"\"c\"\")\",12,\"'@cmd\",2014-05-01," +
      pages::ShopUrl(shop.id) + "\r\n";
  const std::string raw = "1,\"=HYPERLINK(\"\"http://x\"\",\"\"c\"\")\",12,@cmd,2014-05-01," +
                          pages::ShopUrl(shop.id) + "\r\n";
  const std::string header = Utf8ToGbk("序号,店铺名称,卖家信誉,Quibo名,创店时间,店铺地址\r\n");
  EXPECT_EQ(FileContent(walked), header + asText);

  const std::string exported = dir.File("export.csv");
  const Finished plain = Cli({"export", "--db", db, "--out", exported});
  ASSERT_EQ(plain.code, 0) << plain.errors;
  EXPECT_EQ(FileContent(exported), header + asText);
  const Finished rawCells = Cli({"export", "--db", db, "--out", exported, "--raw-cells"});
  ASSERT_EQ(rawCells.code, 0) << rawCells.errors;
  EXPECT_EQ(FileContent(exported), header + raw);
}

TEST_F(CliTest, AFieldTooLongForARowIsCutAndItsRowCountedInTheSummary) {
  // The first shop listed from 4000 on names itself with a megabyte.
  std::optional<pages::Shop> shop;
  for (std::int32_t id = 4000; id < 4020 && !shop; ++id) {
    const auto found = pages::DemoShop(id);
    if (found && found->hasName && found->hasMessenger && found->hasRatingLink) shop = found;
  }
  ASSERT_TRUE(shop.has_value());
  shop->name = std::string(1 << 20, 'n');
  Page home;
  home.body = pages::HomePage(*shop);
  market.SetPage(pages::ShopHost(shop->id), "/", home);

  const Finished walk = Cli({"walk", "--from", "4000", "--count", "20", "--rate", "0", "--db", db});
  ASSERT_EQ(walk.code, 0) << walk.errors;
  EXPECT_NE(walk.errors.find("; 1 row with cut fields; finished"), std::string::npos)
      << walk.errors;
  bool stored = false;
  for (const ShopRecord& record : StoredShops(db)) {
    if (record.shopId != shop->id) continue;
    stored = true;
    EXPECT_TRUE(record.name == std::string(MaxFieldBytes, 'n')) << record.name.size();
  }
  EXPECT_TRUE(stored);
}

TEST_F(CliTest, StatusNamesRunsWalkedRangeRowsFailuresAndThePlace) {
  // Shop 3010 redirects to itself for ever: it fails for good.
  Page loop;
  loop.misbehaviour = Misbehaviour::RedirectLoop;
  market.SetPage(pages::ShopHost(3010), "/", loop);

  const Finished first =
      Cli({"walk", "--from", "3000", "--count", "30", "--rate", "0", "--db", db});
  ASSERT_EQ(first.code, 0) << first.errors;
  Finished status = Cli({"status", "--db", db});
  ASSERT_EQ(status.code, 0) << status.errors;
  ExpectStatus(status.output,
               {"store        " + db, "runs         1", "walked       3000 to 3029",
                "rows         " + std::to_string(ShopsListedBetween(3000, 3029, {3010}).size()),
                "failed       1", "place        3029 (command line)"});
  EXPECT_NE(status.output.find("  redirect limit "), std::string::npos) << status.output;

  // A second walk goes on after the first one's place.
  const Finished second = Cli({"walk", "--count", "10", "--rate", "0", "--db", db});
  ASSERT_EQ(second.code, 0) << second.errors;
  const auto range = AnnouncedRange(second.errors);
  ASSERT_TRUE(range) << second.errors;
  EXPECT_EQ(range->first, 3030);
  EXPECT_EQ(range->last, 3039);
  EXPECT_EQ(StoredShops(db), ShopsListedBetween(3000, 3039, {3010}));
  status = Cli({"status", "--db", db});
  ASSERT_EQ(status.code, 0) << status.errors;
  ExpectStatus(status.output,
               {"runs         2", "walked       3000 to 3039",
                "rows         " + std::to_string(ShopsListedBetween(3000, 3039, {3010}).size()),
                "failed       1", "place        3039 (command line)"});

  // An end below where the next walk would start is a usage error, and leaves the store alone.
  const Finished backwards = Cli({"walk", "--to", "3020", "--db", db});
  EXPECT_EQ(backwards.code, 2) << backwards.errors;
  EXPECT_NE(backwards.errors.find("--to 3020 is below the first shop ID 3040"), std::string::npos)
      << backwards.errors;
  status = Cli({"status", "--db", db});
  ExpectStatus(status.output, {"runs         2", "place        3039 (command line)"});
}

// After its other lines, status counts the shops marked to revisit and the kept pages with their
// packed size and the pages the budget dropped.
TEST_F(CliTest, StatusCountsMarksAndKeptPagesAfterItsOtherLines) {
  {
    auto opened = SqliteStore::OpenForWalking(db);
    ASSERT_TRUE(opened) << opened.error().reason;
    SqliteStore& store = **opened;
    store.BeginRun(RunKind::CommandLine, "4");
    for (std::int32_t id : {5, 6, 7}) store.ToRevisit(id);
    store.Answered(7, ShopOutcome::NoShop);
    store.SetKeptPagesBudget(700000);
    for (std::int32_t id : {1, 2, 3}) {
      store.KeepPage(PackedPage{id, PageKind::Home, 0, 1, std::string(300000, 'x')});
    }
    store.PlaceMoved("7");
    ASSERT_TRUE(store.Flush(std::chrono::seconds(60)));
  }
  const Finished status = Cli({"status", "--db", db});
  ASSERT_EQ(status.code, 0) << status.errors;
  const std::size_t flagged = status.output.find("flagged      0\n");
  const std::size_t marks = status.output.find("to revisit   2\n");
  const std::size_t pages = status.output.find("kept pages   2, 0.6 MB packed, 1 dropped\n");
  ASSERT_NE(flagged, std::string::npos) << status.output;
  EXPECT_LT(flagged, marks) << status.output;
  EXPECT_LT(marks, pages) << status.output;
  EXPECT_NE(pages, std::string::npos) << status.output;
  EXPECT_NE(status.output.find("failed       0\n"), std::string::npos) << status.output;
}

TEST_F(CliTest, RowsFailingACheckAreKeptAndCountedByStatusAfterItsOtherLines) {
  // Shop 7001 writes letters into its reputation and a control byte into its name; 7002 a date
  // in another form. Both are kept as cut, and flagged.
  pages::Shop odd;
  odd.id = 7001;
  odd.name = "Odd\x1B[2J";
  odd.messenger = "m1";
  odd.ratingToken = "odd1";
  odd.openingDate = "2010-01-02";
  odd.reputation = "12a";
  pages::Shop late = odd;
  late.id = 7002;
  late.name = "Late";
  late.ratingToken = "late2";
  late.openingDate = "02/01/2010";
  late.reputation = "5";
  for (const pages::Shop& shop : {odd, late}) {
    Page home;
    home.body = pages::HomePage(shop);
    market.SetPage(pages::ShopHost(shop.id), "/", home);
    Page rating;
    rating.body = pages::RatingPage(shop);
    market.SetPage(pages::RatingHost(), pages::RatingPath(shop), rating);
  }
  const Finished walk = Cli({"walk", "--from", "7001", "--to", "7002", "--rate", "0", "--db", db});
  ASSERT_EQ(walk.code, 0) << walk.errors;
  const std::vector<ShopRecord> stored = StoredShops(db);
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].reputation, "12a");
  EXPECT_EQ(stored[0].name, "Odd\x1B[2J");

  const Finished status = Cli({"status", "--db", db});
  ASSERT_EQ(status.code, 0) << status.errors;
  const std::size_t place = status.output.find("place        7002 (command line)\n");
  const std::size_t flagged = status.output.find("flagged      2\n");
  ASSERT_NE(flagged, std::string::npos) << status.output;
  EXPECT_LT(place, flagged) << status.output;

  const std::string jsonl = dir.File("rows.jsonl");
  ASSERT_EQ(Cli({"export", "--db", db, "--out", jsonl}).code, 0);
  const std::vector<std::string> lines = DataLines("jsonl", jsonl);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(R"("checks": ["reputation", "control_bytes"]})"), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find(R"("checks": ["opening_date"]})"), std::string::npos) << lines[1];
}

}  // namespace
}  // namespace shopwalk::test
