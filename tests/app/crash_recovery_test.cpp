// Killing a walk at random moments, over and over, with the results store: the headless engine
// and, every third time, the real program's window (offscreen) go on from each other's
// interrupted run with the window's own recovery; a headless walk with the command line's own
// recovery goes on from its interrupted walk. The walks run on the test's clock (a child process
// follows it, tests/support/child_clock.h), and a kill comes once the walk has made a number of
// rows durable and the marketplace has given a number of answers more, both drawn at random:
// never after a fixed time. After every kill -9:
//  - every row the writer reported durable is in the store (for the window, in its place in the
//    run's list), byte for byte as the marketplace's pages give it;
//  - no shop ID up to the recovered place lacks an answer on record, and the marketplace's own
//    request log shows it was asked;
//  - the export of the recovered list begins with the export the killed program made of its
//    durable rows, byte for byte (the window).
// At the end a walk runs to a last shop ID: no shop ID was skipped, every shop of the range is in
// the store once.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>

#include "collect/gbk.h"
#include "collect/text.h"
#include "results/sqlite/sqlite_store.h"
#include "store/export_layout.h"
#include "tests/results/store_test_support.h"
#include "tests/support/child_clock.h"
#include "tests/support/child_process.h"
#include "tests/support/clock_driver.h"
#include "tests/support/manual_clock.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/shop_pages.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::int32_t StartAfter = 109428412;
constexpr int Kills = 21;
constexpr int CommandLineKills = 10;
// A guard against hanging; nothing waits for it to pass.
constexpr seconds Hang{60};

// The row the engine makes of a shop of the synthetic marketplace, or nothing for one without.
std::optional<ResultRow> ExpectedCells(std::int32_t id) {
  const auto shop = pages::DemoShop(id);
  if (!shop || !shop->hasName || !shop->hasMessenger || !shop->hasRatingLink) return std::nullopt;
  ShopRecord record;
  record.shopId = id;
  record.name = Utf8ToGbk(shop->name);
  record.reputation = shop->reputation.empty() ? "0" : Utf8ToGbk(shop->reputation);
  record.messenger = Utf8ToGbk(shop->messenger);
  record.openingDate = shop->hasOpeningDate ? Utf8ToGbk(shop->openingDate) : "";
  record.address = pages::ShopUrl(id);
  return record.Row("");
}

class Rows : public ResultRows {
 public:
  explicit Rows(const std::vector<ShopRecord>& records) : records_(records) {}
  int RowCount() const override { return static_cast<int>(records_.size()); }
  std::string CellText(int row, int column) const override {
    return records_[static_cast<std::size_t>(row)].Row(NumberToText(row + 1))[column];
  }

 private:
  const std::vector<ShopRecord>& records_;
};

struct ChildLog {
  std::size_t restored = 0;
  bool continued = false;
  std::vector<std::int32_t> rows;  // ROW lines in order
  std::uint64_t durable = 0;       // the last DURABLE mark
  bool started = false;
};

ChildLog ParseLog(const std::string& output) {
  ChildLog log;
  std::istringstream lines(output);
  std::string word;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    fields >> word;
    if (word == "RESTORED") {
      fields >> log.restored;
    } else if (word == "CONTINUED") {
      log.continued = true;
    } else if (word == "ROW") {
      std::int64_t id = 0;
      fields >> id;
      log.rows.push_back(static_cast<std::int32_t>(id));
    } else if (word == "DURABLE") {
      fields >> log.durable;
    } else if (word == "STARTED") {
      log.started = true;
    }
  }
  return log;
}

class CrashRecoveryTest : public ::testing::Test {
 protected:
  CrashRecoveryTest() {
    market.SetFallbackGenerator(
        [this](const std::string& host, const std::string& path) -> std::optional<Page> {
          if (const auto id = pages::ShopIdOfHost(host)) {
            std::lock_guard lock(mutex);
            asked.insert(*id);
          }
          auto body = pages::DemoPage(host, path);
          if (!body) return std::nullopt;
          Page page;
          page.body = std::move(*body);
          return page;
        });
  }

  // With `testClock`, the walk follows the test's clock.
  std::vector<std::string> Environment(bool testClock = true) const {
    // The settings and store folders of the scratch directory; the home folder stays, with the
    // font cache the window's start needs.
    std::vector<std::string> environment = {
        "SHOPWALK_CONNECT_TO=" + market.ConnectAddress(), "QT_QPA_PLATFORM=offscreen",
        "XDG_CONFIG_HOME=" + dir.File("config"), "XDG_DATA_HOME=" + dir.File("data")};
    if (testClock) environment.push_back(shared.EnvironmentEntry());
    return environment;
  }

  // Lets the walk of `child` run, time moving as it needs, and kills it once it has made a
  // number of rows durable and the marketplace has given a number of answers more, both drawn
  // from `random`.
  void KillAtARandomMoment(ChildProcess& child, std::mt19937& random) {
    ASSERT_TRUE(child.WaitForOutput(
        [](const std::string& output) { return ParseLog(output).started; }, Hang))
        << child.Output() << child.Errors();
    // Time moves while not every worker of the walk sits at the marketplace, so the walk does
    // not hand out shops far faster than its workers take them.
    ClockDriver driver(
        clock, [this] { return market.InFlight("") < 10; },
        [this] { return shared.ChildNextDeadline(); });
    const auto durable = static_cast<std::uint64_t>(std::uniform_int_distribution(0, 20)(random));
    const auto more = static_cast<std::size_t>(std::uniform_int_distribution(0, 60)(random));
    ASSERT_TRUE(child.WaitForOutput(
        [&](const std::string& output) { return ParseLog(output).durable >= durable; }, Hang))
        << "no " << durable << " durable rows: " << child.Output() << child.Errors();
    ASSERT_TRUE(market.WaitForAnswers("", market.Answers().size() + more, Hang));
    child.Signal(SIGKILL);
    ASSERT_EQ(child.Wait(Hang), -SIGKILL);
  }

  bool Asked(std::int32_t id) {
    std::lock_guard lock(mutex);
    return asked.contains(id);
  }

  // Whether the store has an answer for `id`: a row, an answer without one, or a failure.
  bool HasAnswer(std::int32_t id) {
    for (const auto& range : ranges) {
      if (range.first <= id && id <= range.last) return true;
    }
    return storedIds.contains(id) || failedIds.contains(id);
  }

  void ReadStore() {
    auto store = ReadingStore(path);
    ASSERT_TRUE(store);
    storedIds.clear();
    failedIds.clear();
    for (const ShopRecord& record : AllRows(*store)) storedIds.insert(record.shopId);
    for (const FailedShop& shop : store->FailedShops()) failedIds.insert(shop.shopId);
    ranges = StoredRanges(path);
  }

  // After the last walk: every shop up to `last` was asked for and has its row exactly when it is
  // a shop with fields, none failed, and every walk went on with the one run, which the last one
  // ended.
  void ExpectEveryShopListedOnceByOneRun(std::int32_t last) {
    ReadStore();
    for (std::int32_t id = StartAfter + 1; id <= last; ++id) {
      EXPECT_TRUE(Asked(id)) << "shop " << id << " was skipped";
      EXPECT_EQ(storedIds.contains(id), ExpectedCells(id).has_value()) << "shop " << id;
    }
    EXPECT_TRUE(failedIds.empty());
    const auto runs = StoredRuns(path);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(runs[0].cleanEnd);
  }

  TestMarketplace market;
  ScratchDirectory dir;
  std::string path = dir.File("shopwalk.db");
  // The walks' clock, shared with each child through a file.
  ManualClock clock;
  SharedClock shared{clock, dir.File("clock")};
  std::mutex mutex;
  std::set<std::int32_t> asked;
  std::set<std::int32_t> storedIds, failedIds;
  std::vector<StoredRange> ranges;
};

TEST_F(CrashRecoveryTest, KillingAWalkAtAnyMomentLosesNoDurableRowAndSkipsNoShopId) {
  std::random_device device;
  const unsigned seed = device();
  std::mt19937 random(seed);
  SCOPED_TRACE("random seed " + std::to_string(seed));

  // The rows known durable, in the run's order.
  std::vector<std::int32_t> durable;
  for (int kill = 0; kill < Kills; ++kill) {
    const bool window = kill % 3 == 2;
    SCOPED_TRACE(std::string(window ? "window" : "headless") + " walk, kill " +
                 std::to_string(kill));
    std::vector<std::string> arguments = {path, std::to_string(StartAfter)};
    if (!window) arguments.insert(arguments.begin(), "window");
    ChildProcess child(window ? SHOPWALK_WINDOW_CRASH_WALKER : SHOPWALK_CRASH_WALKER, arguments,
                       Environment());
    KillAtARandomMoment(child, random);
    const ChildLog log = ParseLog(child.Output());

    // What this child put back is what was durable before, and more may have become durable.
    EXPECT_GE(log.restored, durable.size());
    auto store = ReadingStore(path);
    ASSERT_TRUE(store);
    const std::optional<InterruptedRun> run = store->Interrupted(RunKind::Window).value();
    ASSERT_TRUE(run.has_value());
    const std::vector<std::int32_t> stored = IdsOf(run->rows);
    EXPECT_EQ(std::set<std::int32_t>(stored.begin(), stored.end()).size(), stored.size())
        << "a shop is twice in the run's list";
    // Rows restored by the child are the durable prefix it was given; then its own, in order.
    std::vector<std::int32_t> expected(stored.begin(),
                                       stored.begin() + std::min(log.restored, stored.size()));
    ASSERT_GE(log.rows.size(), log.durable);
    expected.insert(expected.end(), log.rows.begin(),
                    log.rows.begin() + static_cast<std::ptrdiff_t>(log.durable));
    ASSERT_GE(stored.size(), expected.size()) << "durable rows are missing";
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stored.begin()))
        << "the durable rows are not the run's list in order";
    for (std::size_t i = 0; i < durable.size() && i < stored.size(); ++i) {
      EXPECT_EQ(stored[i], durable[i]) << "row " << i << " changed";
    }
    for (const ShopRecord& record : run->rows) {
      const auto cells = ExpectedCells(record.shopId);
      ASSERT_TRUE(cells.has_value()) << "shop " << record.shopId << " has no row to give";
      EXPECT_EQ(record.Row(""), *cells) << "shop " << record.shopId;
    }

    // No shop ID up to the place lacks an answer, and each was asked of the marketplace.
    ReadStore();
    const std::int32_t place = TextToInt(run->place);
    EXPECT_GE(place, StartAfter);
    for (std::int32_t id = StartAfter + 1; id <= place; ++id) {
      EXPECT_TRUE(Asked(id)) << "shop " << id << " below the place " << place << " never asked";
      EXPECT_TRUE(HasAnswer(id)) << "shop " << id << " below the place " << place
                                 << " has no answer";
    }

    // The export the child made of its durable rows begins the recovered list's export.
    const std::string recovered =
        ComposeExport(Rows(run->rows), ExportLayout::Full, ExportEncoding::Gbk).bytes;
    if (const auto made = FileContent(path + ".durable-export"); made && log.durable > 0) {
      EXPECT_EQ(recovered.substr(0, made->size()), *made);
    }
    durable = stored;
  }

  // The last walk goes to an end past everything asked so far, and ends cleanly.
  std::int32_t last = 0;
  {
    std::lock_guard lock(mutex);
    last = *asked.rbegin() + 20;
  }
  const Finished ended = RunToEnd(
      SHOPWALK_CRASH_WALKER, {"window", path, std::to_string(StartAfter), std::to_string(last)},
      Environment(false), seconds(120));
  ASSERT_EQ(ended.code, 0) << ended.output << ended.errors;
  ExpectEveryShopListedOnceByOneRun(last);
}

TEST_F(CrashRecoveryTest, KillingACommandLineWalkAtAnyMomentLosesNoDurableRowAndSkipsNoShopId) {
  std::random_device device;
  const unsigned seed = device();
  std::mt19937 random(seed);
  SCOPED_TRACE("random seed " + std::to_string(seed));
  const std::string folder = dir.File("cli");
  std::filesystem::create_directories(folder);

  // The rows the killed walks reported durable, and the place of the last one.
  std::set<std::int32_t> durable;
  std::int32_t lastPlace = StartAfter;
  for (int kill = 0; kill < CommandLineKills; ++kill) {
    SCOPED_TRACE("command-line walk, kill " + std::to_string(kill));
    // A walk goes on with the interrupted one once that one's beginning was written.
    bool hadWalk = false;
    if (std::filesystem::exists(path)) {
      auto before = ReadingStore(path);
      ASSERT_TRUE(before);
      hadWalk = before->LastPlace(RunKind::CommandLine).value().has_value();
    }
    ChildProcess child(SHOPWALK_CRASH_WALKER,
                       {"command-line", path, folder, std::to_string(StartAfter)}, Environment());
    KillAtARandomMoment(child, random);
    const ChildLog log = ParseLog(child.Output());
    EXPECT_EQ(log.continued, hadWalk) << child.Output();

    // Every row reported durable, by this walk or one before, is in the store as the page gives
    // it.
    ASSERT_GE(log.rows.size(), log.durable);
    durable.insert(log.rows.begin(), log.rows.begin() + static_cast<std::ptrdiff_t>(log.durable));
    auto store = ReadingStore(path);
    ASSERT_TRUE(store);
    std::map<std::int32_t, ShopRecord> stored;
    for (const ShopRecord& record : AllRows(*store)) stored[record.shopId] = record;
    for (const std::int32_t id : durable) {
      const auto found = stored.find(id);
      ASSERT_NE(found, stored.end()) << "durable row " << id << " lost";
      EXPECT_EQ(found->second.Row(""), ExpectedCells(id)) << "shop " << id;
    }

    // No shop ID up to the place lacks an answer, and each was asked of the marketplace; the
    // place never goes back.
    ReadStore();
    const std::optional<std::string> placeText = store->LastPlace(RunKind::CommandLine).value();
    if (!placeText) continue;
    const std::int32_t place = TextToInt(*placeText);
    EXPECT_GE(place, lastPlace);
    for (std::int32_t id = StartAfter + 1; id <= place; ++id) {
      EXPECT_TRUE(Asked(id)) << "shop " << id << " below the place " << place << " never asked";
      EXPECT_TRUE(HasAnswer(id)) << "shop " << id << " below the place " << place
                                 << " has no answer";
    }
    lastPlace = place;
  }

  // The last walk goes to an end past everything asked so far, and ends cleanly.
  std::int32_t last = 0;
  {
    std::lock_guard lock(mutex);
    last = *asked.rbegin() + 20;
  }
  const Finished ended =
      RunToEnd(SHOPWALK_CRASH_WALKER,
               {"command-line", path, folder, std::to_string(StartAfter), std::to_string(last)},
               Environment(false), seconds(120));
  ASSERT_EQ(ended.code, 0) << ended.output << ended.errors;
  ExpectEveryShopListedOnceByOneRun(last);
}

}  // namespace
}  // namespace shopwalk::test
