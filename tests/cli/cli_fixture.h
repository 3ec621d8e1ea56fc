// What the tests of shopwalk-cli share: the local test marketplace serving the synthetic shops,
// a scratch folder with the store in it, running the built program against both, and judging a
// walk by the marketplace's request log and its pages.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "collect/shop_record.h"
#include "tests/support/child_process.h"
#include "tests/support/living_shops.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk {

// For comparing records in the tests' expectations (found by argument-dependent lookup): the ID
// and every field.
bool operator==(const ShopRecord& a, const ShopRecord& b);
void PrintTo(const ShopRecord& record, std::ostream* out);

}  // namespace shopwalk

namespace shopwalk::test {

// Generous, for a loaded machine running suites side by side; a test only waits this long when
// something is wrong.
inline constexpr std::chrono::seconds Patience{90};

class CliTest : public ::testing::Test {
 protected:
  CliTest();

  // The environment of every child: every connection goes to the test marketplace (no proxy
  // variable is set), and the user's folders are in the scratch folder.
  std::vector<std::string> Environment() const;
  // Runs shopwalk-cli with `arguments` to its end.
  Finished Cli(const std::vector<std::string>& arguments) const;
  // Starts shopwalk-cli with `arguments`.
  std::unique_ptr<ChildProcess> StartCli(
      const std::vector<std::string>& arguments,
      ChildProcess::ErrorOutput errorOutput = ChildProcess::ErrorOutput::Pipe) const;

  // From now on, home pages of shops from `first` on answer only after a long stall (0: none
  // stall).
  void StallShopsFrom(std::int32_t first) { stallFrom = first; }

  // Read by the marketplace's threads, so it outlives the marketplace.
  std::atomic<std::int32_t> stallFrom{0};
  TestMarketplace market;
  ScratchDirectory dir;
  const std::string db = dir.File("s.db");
};

// The shops the synthetic marketplace lists with IDs from `first` to `last`, in ID order, as the
// engine collects them (GBK texts, "0" for a missing reputation, no date when the rating page has
// none). `skip` are left out.
std::vector<ShopRecord> ShopsListedBetween(std::int32_t first, std::int32_t last,
                                           const std::set<std::int32_t>& skip = {});
// IDs of the shops whose home pages were requested.
std::set<std::int32_t> RequestedShopIds(const TestMarketplace& market);
// The store's rows in shop-ID order (a failure is recorded when it cannot be read).
std::vector<ShopRecord> StoredShops(const std::string& db);
// Rows in the store, or nothing when it cannot be read (yet).
std::optional<std::size_t> StoredRowCount(const std::string& db);

// IDs of `from`..`to` missing from `ids`.
std::vector<std::int32_t> MissingIds(const std::set<std::int32_t>& ids, std::int32_t from,
                                     std::int32_t to);

// The lines a reader script of tests/store printed for `file`; `ok` when it exited with 0.
struct ReaderOutput {
  bool ok = false;
  std::vector<std::string> lines;
};
ReaderOutput RunReader(const std::string& script, const std::string& file,
                       const std::string& argument = "");

// The shop IDs of the line "walking from A to B" on a walk's standard error.
struct WalkRange {
  std::int32_t first = 0;
  std::int32_t last = 0;
};
std::optional<WalkRange> AnnouncedRange(const std::string& errors);

// A change as a store's history keeps it: shop, field, old and new bytes.
using KeptChange = std::tuple<std::int32_t, int, std::string, std::string>;
// The living marketplace's changes as a history should keep them (openings are no change of a
// listed shop), sorted.
std::vector<KeptChange> ExpectedChanges(const std::vector<LivingShops::Change>& changes);
// The "change" and "shop_id" of each JSON line of `lines`, in order.
std::vector<std::pair<std::string, std::int32_t>> ChangeLines(const std::string& lines);

}  // namespace shopwalk::test
