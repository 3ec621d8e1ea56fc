// Stopping a walk of shopwalk-cli from outside: SIGINT and SIGTERM stop it cleanly with their exit
// codes and a summary, a second SIGINT ends it at once, and in every case the next walk goes on
// from the store's place without skipping a shop ID. Also the walking lock: a second walking copy
// is refused while status and export still read the store.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "results/sqlite/sqlite_store.h"
#include "tests/cli/cli_fixture.h"

namespace shopwalk::test {
namespace {

using std::chrono::milliseconds;

// Waits until the store holds at least `rows` rows.
bool WaitForStoredRows(const std::string& db, std::size_t rows) {
  return WaitUntil(
      [&] {
        const auto count = StoredRowCount(db);
        return count && *count >= rows;
      },
      Patience);
}

// The place the last command-line walk left in the store.
std::optional<std::int32_t> StoredPlace(const std::string& db) {
  auto opened = SqliteStore::OpenForReading(db);
  if (!opened) return std::nullopt;
  const auto place = (*opened)->LastPlace(RunKind::CommandLine).value();
  if (!place) return std::nullopt;
  return static_cast<std::int32_t>(std::stoll(*place));
}

class StopTest : public CliTest {
 protected:
  // Walks on from the store's place (no --from) to the end of a short range, and checks that over
  // every walk so far each shop ID from `firstStart` to that end was asked for, and the store
  // holds exactly the listed shops of that range.
  void ExpectNextWalkLeavesNoGap(std::int32_t firstStart) {
    const Finished next = Cli({"walk", "--count", "40", "--rate", "0", "--db", db});
    ASSERT_EQ(next.code, 0) << next.errors;
    const auto range = AnnouncedRange(next.errors);
    ASSERT_TRUE(range) << next.errors;
    EXPECT_NE(next.errors.find("(start from the last walk's place)"), std::string::npos)
        << next.errors;
    // It went on rather than starting over.
    EXPECT_GT(range->first, firstStart);
    EXPECT_EQ(MissingIds(RequestedShopIds(market), firstStart, range->last),
              std::vector<std::int32_t>{});
    EXPECT_EQ(StoredShops(db), ShopsListedBetween(firstStart, range->last));
  }
};

TEST_F(StopTest, SigintStopsWith130AndASummaryAndTheNextWalkGoesOn) {
  auto walk = StartCli({"walk", "--from", "5000", "--rate", "20", "--db", db});
  ASSERT_TRUE(WaitForStoredRows(db, 3)) << walk->Errors();
  walk->Signal(SIGINT);
  ASSERT_EQ(walk->Wait(Patience), 130) << walk->Errors();
  const std::string errors = walk->Errors();
  EXPECT_NE(errors.find("walked "), std::string::npos) << errors;
  EXPECT_NE(errors.find(" shop IDs (5000 to "), std::string::npos) << errors;
  EXPECT_NE(errors.find("; stopped by SIGINT\n"), std::string::npos) << errors;

  ExpectNextWalkLeavesNoGap(5000);
}

TEST_F(StopTest, SigtermStopsWith143KeepingWhatWasCollected) {
  auto walk = StartCli({"walk", "--from", "6000", "--rate", "20", "--db", db});
  ASSERT_TRUE(WaitForStoredRows(db, 2)) << walk->Errors();
  walk->Signal(SIGTERM);
  ASSERT_EQ(walk->Wait(Patience), 143) << walk->Errors();
  EXPECT_NE(walk->Errors().find("; stopped by SIGTERM\n"), std::string::npos) << walk->Errors();

  // Every listed shop up to the place is stored; above it only shops that finished in time.
  const auto place = StoredPlace(db);
  ASSERT_TRUE(place);
  ASSERT_GE(*place, 6000);
  const std::vector<ShopRecord> upToPlace = ShopsListedBetween(6000, *place);
  const std::vector<ShopRecord> stored = StoredShops(db);
  ASSERT_GE(stored.size(), upToPlace.size());
  EXPECT_EQ(std::vector<ShopRecord>(stored.begin(), stored.begin() + upToPlace.size()), upToPlace);
  const std::vector<ShopRecord> beyond = ShopsListedBetween(6000, *place + 100);
  for (const ShopRecord& shop : stored) {
    EXPECT_NE(std::find(beyond.begin(), beyond.end(), shop), beyond.end()) << shop.shopId;
  }

  ExpectNextWalkLeavesNoGap(6000);
}

TEST_F(StopTest, ASecondSigintEndsAtOnceAndTheStoreStillOpensAndGoesOn) {
  // Shops from 7020 on hang, so a clean stop waits for them.
  StallShopsFrom(7020);
  auto walk = StartCli({"walk", "--from", "7000", "--rate", "20", "--db", db});
  ASSERT_TRUE(WaitForStoredRows(db, 2)) << walk->Errors();
  ASSERT_TRUE(WaitUntil([&] { return RequestedShopIds(market).contains(7021); }, Patience));
  // Two signals sent back to back may arrive as one, so SIGINT goes again until the program
  // ends: the first starts the clean stop, a later one cuts it short.
  walk->Signal(SIGINT);
  std::optional<int> code;
  const auto deadline = std::chrono::steady_clock::now() + Patience;
  while (!(code = walk->Wait(milliseconds(100))) && std::chrono::steady_clock::now() < deadline) {
    walk->Signal(SIGINT);
  }
  ASSERT_EQ(code, 130) << walk->Errors();
  EXPECT_NE(walk->Errors().find("stopped at once"), std::string::npos) << walk->Errors();
  EXPECT_EQ(walk->Errors().find("stopped by SIGINT"), std::string::npos) << walk->Errors();

  StallShopsFrom(0);
  const Finished status = Cli({"status", "--db", db});
  ASSERT_EQ(status.code, 0) << status.errors;
  EXPECT_NE(status.output.find("(command line, interrupted)"), std::string::npos) << status.output;
  ExpectNextWalkLeavesNoGap(7000);
}

TEST_F(StopTest, AStoreInUseRefusesASecondWalkWhileStatusAndExportReadIt) {
  auto walk = StartCli({"walk", "--from", "8000", "--rate", "20", "--db", db});
  ASSERT_TRUE(WaitForStoredRows(db, 2)) << walk->Errors();

  // Refused before it walks; and refused again, so the refused copy left the lock alone.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const Finished second =
        Cli({"walk", "--from", "90000", "--count", "5", "--rate", "0", "--db", db});
    ASSERT_TRUE(second.code.has_value());
    EXPECT_NE(*second.code, 0);
    EXPECT_NE(second.errors.find(db), std::string::npos) << second.errors;
  }
  EXPECT_FALSE(RequestedShopIds(market).contains(90000));

  const Finished status = Cli({"status", "--db", db});
  EXPECT_EQ(status.code, 0) << status.errors;
  EXPECT_NE(status.output.find("rows         "), std::string::npos) << status.output;

  const std::string exported = dir.File("during.txt");
  const Finished exporting = Cli({"export", "--db", db, "--out", exported});
  ASSERT_EQ(exporting.code, 0) << exporting.errors;
  const std::string content = FileContent(exported).value_or("");
  std::size_t lines = 0;
  for (std::size_t at = content.find("\r\n"); at != std::string::npos;
       at = content.find("\r\n", at + 2)) {
    ++lines;
  }
  EXPECT_GE(lines, 2u) << content;
  EXPECT_EQ(content.rfind("1--", 0), 0u) << content;

  EXPECT_TRUE(walk->Running()) << walk->Errors();
  walk->Signal(SIGINT);
  ASSERT_EQ(walk->Wait(Patience), 130) << walk->Errors();
  // Once it has ended, the store walks again.
  EXPECT_EQ(Cli({"walk", "--count", "5", "--rate", "0", "--db", db}).code, 0);
}

}  // namespace
}  // namespace shopwalk::test
