// What is new in a store, exported: the shops first seen, changed or closed since a time (a date,
// a date and time, or a duration back from now on the store's clock), and the history of changes
// as JSON Lines whose every line stays one line of valid, inert text whatever the pages held.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/since_time.h"
#include "results/sqlite/sqlite_store.h"
#include "tests/support/manual_clock.h"
#include "tests/support/scratch_directory.h"

namespace shopwalk::test {
namespace {

constexpr std::int64_t Day = 86400000;

ShopRecord Shop(std::int32_t id, std::string name) {
  return ShopRecord{id,           std::move(name),
                    "12",         "m" + std::to_string(id),
                    "2020-01-02", "http://shop" + std::to_string(id) + ".example.test"};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::set<std::int32_t> ShopIdsIn(const std::string& jsonLines) {
  std::set<std::int32_t> ids;
  for (const std::string& line : Lines(jsonLines)) {
    const std::size_t at = line.find("\"shop_id\":");
    if (at != std::string::npos) ids.insert(std::stoi(line.substr(at + 10)));
  }
  return ids;
}

class ExportSinceTest : public ::testing::Test {
 protected:
  ExportSinceTest() {
    folders.store = dir.File("results.db");
    auto opened = SqliteStore::OpenForWalking(folders.store, clock);
    EXPECT_TRUE(opened);
    SqliteStore& store = **opened;
    start = UnixMs(clock.CalendarNow());
    store.RowAppended(Shop(1, "one"));
    store.RowAppended(Shop(2, "two"));
    store.RowAppended(Shop(3, "three"));
    EXPECT_TRUE(store.Flush(std::chrono::seconds(30)));
    clock.Advance(std::chrono::hours(48));
    store.SetChangeSource(ChangeSource::Refresh);
    store.RowAppended(Shop(2, std::string(Hostile)));
    store.ShopClosed(3);
    store.SetChangeSource(ChangeSource::Walk);
    store.RowAppended(Shop(4, "four"));
    EXPECT_TRUE(store.Flush(std::chrono::seconds(30)));
    clock.Advance(std::chrono::hours(1));
  }

  // The export's file for `arguments` (the store and the file given here).
  std::string Export(ExportCommand command) {
    command.db = folders.store;
    command.out = dir.File("out.jsonl");
    std::remove(command.out.c_str());
    EXPECT_EQ(RunExport(command, folders, clock), 0);
    return FileContent(command.out).value_or("");
  }

  // A shop owner's name: GBK, a byte that is no GBK, terminal controls, quotes, a line break.
  static constexpr std::string_view Hostile =
      "\xb5\xea\xff\x1b]0;x\x07\"\\\n\x9b"
      "2J\x7f";

  ScratchDirectory dir;
  ManualClock clock;
  Folders folders;
  std::int64_t start = 0;
};

TEST_F(ExportSinceTest, ShopsAreSelectedByWhenTheyWereFirstSeenChangedOrClosed) {
  ExportCommand command;
  command.newSince = "1d";
  EXPECT_EQ(ShopIdsIn(Export(command)), (std::set<std::int32_t>{4}));
  command.newSince = "3d";
  EXPECT_EQ(ShopIdsIn(Export(command)), (std::set<std::int32_t>{1, 2, 3, 4}));
  command.newSince = "2024-01-02";
  EXPECT_EQ(ShopIdsIn(Export(command)), (std::set<std::int32_t>{4}));
  command.newSince.clear();
  // A new shop is no changed one, and a closing changes no field.
  command.changedSince = "24h";
  EXPECT_EQ(ShopIdsIn(Export(command)), (std::set<std::int32_t>{2}));
  command.changedSince = "2024-01-02T23:59:59";
  EXPECT_EQ(ShopIdsIn(Export(command)), (std::set<std::int32_t>{2}));
  command.changedSince = "2024-01-03 00:00:01Z";
  EXPECT_EQ(ShopIdsIn(Export(command)), (std::set<std::int32_t>{}));
  command.changedSince.clear();
  command.closedSince = "2024-01-01";
  EXPECT_EQ(ShopIdsIn(Export(command)), (std::set<std::int32_t>{3}));
  command.closedSince = "30m";
  EXPECT_EQ(ShopIdsIn(Export(command)), (std::set<std::int32_t>{}));
}

TEST_F(ExportSinceTest, TheHistoryIsOneInertJsonLinePerChange) {
  ExportCommand command;
  command.history = true;
  const std::vector<std::string> lines = Lines(Export(command));
  ASSERT_EQ(lines.size(), 2u);
  // Every control character escaped (C0, DEL), the bytes that are no GBK replaced (a lone 0x9B,
  // which would be a terminal's CSI, among them).
  EXPECT_EQ(lines[0],
            "{\"shop_id\":2,\"field\":\"name\",\"old\":\"two\",\"new\":\"\xe5\xba\x97\xef\xbf\xbd"
            "\\u001b]0;x\\u0007\\\"\\\\\\n\xef\xbf\xbd"
            "2J\\u007f\",\"at\":\"2024-01-03T00:00:00.000Z\","
            "\"at_ms\":" +
                std::to_string(start + 2 * Day) + ",\"source\":\"refresh\"}");
  EXPECT_EQ(lines[1],
            "{\"shop_id\":3,\"field\":\"state\",\"old\":\"open\",\"new\":\"closed\","
            "\"at\":\"2024-01-03T00:00:00.000Z\",\"at_ms\":" +
                std::to_string(start + 2 * Day) + ",\"source\":\"refresh\"}");
  command.changedSince = "30m";
  EXPECT_EQ(Lines(Export(command)).size(), 0u);
}

TEST(SinceTimeTest, DatesTimesAndDurationsNameTheirTimeAndNothingElseIsTaken) {
  const std::int64_t now = 1'704'067'200'000;  // 2024-01-01 00:00:00 UTC
  EXPECT_EQ(SinceTime("2024-01-01", now).value(), now);
  EXPECT_EQ(SinceTime("2024-02-29T10:30", now).value(), now + (59 * 24 + 10) * 3600000LL + 1800000);
  EXPECT_EQ(SinceTime("2024-01-01 00:00:15Z", now).value(), now + 15000);
  EXPECT_EQ(SinceTime("7d", now).value(), now - 7 * Day);
  EXPECT_EQ(SinceTime("90m", now).value(), now - 5400000);
  for (const char* bad : {"", "7", "7D", "-1d", "2023-02-29", "2024-13-01", "2024-01-32",
                          "2024-01-01T24:00", "2024-01-01T10", "2024-1-1", "1969-12-31",
                          "2024-01-01T10:30:61", "2024-01-01x10:30", "yesterday"}) {
    EXPECT_FALSE(SinceTime(bad, now)) << bad;
  }
}

}  // namespace
}  // namespace shopwalk::test
