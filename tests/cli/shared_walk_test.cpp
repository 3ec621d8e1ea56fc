// Several shopwalk-cli processes sharing one walk through a PostgreSQL server of the test's own,
// against the local test marketplace: three nodes flat out store what one node alone stores, with
// one outcome per shop ID; a node killed in the middle of a block, or frozen past its lease while
// answers wait in it, loses its block to another node and writes nothing after it; a server
// restarted under the walk loses nothing; failed shops are tried again by one node at a time.
// What others wrote into the shared database reaches the terminal with its control bytes shown,
// and a password in the database's URI shows nowhere. reparse cuts a shared walk's kept pages
// again under leases of its own, beside a walking node.
//
// The marketplace holds chosen shops' pages until the test lets them go, so a node is caught
// holding a block with answers in flight whatever the machine's speed; no case depends on how
// long anything takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "collect/gbk.h"
#include "results/pg/pg.h"
#include "results/pg/pg_store.h"
#include "tests/cli/cli_fixture.h"
#include "tests/results/pg_test_support.h"
#include "tests/support/changing_pages.h"
#include "tests/support/page_repairs.h"
#include "tests/support/postgres_server.h"
#include "tests/support/shop_pages.h"

namespace shopwalk::test {
namespace {

// Put before the names of shops whose pages changed while their block was taken over.
constexpr const char* RenamedPrefix = "新开";

// Whether shop `id` makes a row (it exists and shows its name, owner and rating link).
bool Listed(std::int32_t id) {
  return !ShopsListedBetween(id, id).empty();
}

// How the test marketplace answers shop home pages beyond the synthetic shops: pages held until
// the test lets them go, shops renamed, and shops that fail their first few requests. Safe from
// the marketplace's threads; outlives the marketplace, and lets held pages go before it stops.
class ShopPageControl {
 public:
  // A failing request: answered with HTTP 500 after a short stall (so that two requests for the
  // same shop at once would overlap in flight), or the connection reset without an answer.
  enum class Failure { Http500, Reset };

  // Home pages of listed shops from `first` to `last` wait until Release.
  void Hold(std::int32_t first, std::int32_t last) {
    std::lock_guard lock(mutex_);
    holdFirst_ = first;
    holdLast_ = last;
    holding_ = true;
  }
  // Also holds shop ID `id` (whether it is a shop or not).
  void HoldId(std::int32_t id) {
    std::lock_guard lock(mutex_);
    heldIds_.insert(id);
    holding_ = true;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      holding_ = false;
    }
    changed_.notify_all();
  }
  // Home pages asked for from now on name shops from `first` to `last` differently.
  void Rename(std::int32_t first, std::int32_t last) {
    std::lock_guard lock(mutex_);
    renameFirst_ = first;
    renameLast_ = last;
  }
  // Shop `id` fails its next `times` requests.
  void Fail(std::int32_t id, int times, Failure how) {
    std::lock_guard lock(mutex_);
    failures_[id] = {times, how};
  }
  // Requests held now, and held requests answered since the start.
  std::size_t Waiting() const {
    std::lock_guard lock(mutex_);
    return waiting_;
  }
  std::size_t AnsweredAfterHold() const {
    std::lock_guard lock(mutex_);
    return answeredAfterHold_;
  }

  // The home page of shop `id` now (waiting while it is held).
  Page HomePage(std::int32_t id) {
    std::unique_lock lock(mutex_);
    Page page;
    if (auto failing = failures_.find(id);
        failing != failures_.end() && failing->second.times > 0) {
      --failing->second.times;
      page.status = 500;
      page.body = "<html><body>busy</body></html>";
      if (failing->second.how == Failure::Reset) {
        page.misbehaviour = Misbehaviour::ResetBeforeAnswer;
      } else {
        page.misbehaviour = Misbehaviour::StallBeforeAnswer;
        page.stallMs = 300;
      }
      return page;
    }
    // What the page says is decided when it is asked for, however long it is held.
    std::optional<pages::Shop> shop = pages::DemoShop(id);
    if (shop && id >= renameFirst_ && id <= renameLast_) shop->name = RenamedPrefix + shop->name;
    page.body = shop ? pages::HomePage(*shop) : pages::NoShopPage(id);
    const bool held = heldIds_.contains(id) || (id >= holdFirst_ && id <= holdLast_ && Listed(id));
    if (held && holding_) {
      ++waiting_;
      changed_.wait(lock, [this] { return !holding_; });
      --waiting_;
      ++answeredAfterHold_;
    }
    return page;
  }

 private:
  struct Failing {
    int times = 0;
    Failure how = Failure::Http500;
  };
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool holding_ = false;
  std::int32_t holdFirst_ = 1;
  std::int32_t holdLast_ = 0;
  std::set<std::int32_t> heldIds_;
  std::int32_t renameFirst_ = 1;
  std::int32_t renameLast_ = 0;
  std::map<std::int32_t, Failing> failures_;
  std::size_t waiting_ = 0;
  std::size_t answeredAfterHold_ = 0;
};

// How a node walks.
struct NodeOptions {
  std::int32_t from = 1;
  std::int32_t count = 1000;
  int threads = 4;
  int blockSize = 100;
  int leaseMs = 2000;
  int renewMs = 500;
};

std::vector<std::int64_t> Sequence(std::int64_t first, std::int64_t last) {
  std::vector<std::int64_t> ids;
  for (std::int64_t id = first; id <= last; ++id) ids.push_back(id);
  return ids;
}

// Home-page requests per shop ID in the marketplace's log.
std::map<std::int32_t, int> HomeRequests(const TestMarketplace& market) {
  std::map<std::int32_t, int> counts;
  for (const RecordedRequest& request : market.Requests()) {
    if (const auto id = pages::ShopIdOfHost(request.host)) ++counts[*id];
  }
  return counts;
}

int CountOf(const std::map<std::int32_t, int>& counts, std::int32_t id) {
  const auto found = counts.find(id);
  return found == counts.end() ? 0 : found->second;
}

// Rating-page requests per shop ID in the marketplace's log.
std::map<std::int32_t, int> RatingRequests(const TestMarketplace& market) {
  std::map<std::int32_t, int> counts;
  for (const RecordedRequest& request : market.Requests()) {
    const std::string path = request.path.substr(0, request.path.find('?'));
    if (const auto shop = pages::DemoShopByRatingPath(path)) ++counts[shop->id];
  }
  return counts;
}

// The rows of the store in the database at `uri`, in shop-ID order.
std::vector<ShopRecord> DatabaseRows(const std::string& uri) {
  std::vector<ShopRecord> rows;
  auto opened = PgStore::OpenForReading(uri);
  if (!opened) {
    ADD_FAILURE() << "cannot read " << uri << ": " << opened.error().reason;
    return rows;
  }
  (*opened)->ForEachRow([&rows](const ShopRecord& record) { rows.push_back(record); });
  return rows;
}

// The first column of the first row of `sql`, or nothing while it cannot be read (the layout is
// not there yet, the server is away).
std::optional<std::int64_t> Peek(pg::Connection& connection, const std::string& uri,
                                 const std::string& sql, const pg::Params& params = {}) {
  if (!connection.IsAlive() && !connection.Open(uri)) return std::nullopt;
  pg::Result result;
  const pg::Status status = connection.Run(sql, params, result);
  if (!status) {
    if (status.ConnectionLost()) connection.Close();
    return std::nullopt;
  }
  if (result.Rows() == 0 || result.IsNull(0, 0)) return std::nullopt;
  return result.Int64(0, 0);
}

class SharedWalkTest : public ::testing::Test {
 protected:
  SharedWalkTest() {
    market.SetFallbackGenerator(
        [this](const std::string& host, const std::string& path) -> std::optional<Page> {
          if (const auto id = pages::ShopIdOfHost(host)) return control.HomePage(*id);
          if (const auto shop = pages::DemoShopByRatingPath(path.substr(0, path.find('?')))) {
            Page page;
            page.body = pages::RatingPage(*shop);
            return page;
          }
          return std::nullopt;
        });
  }
  // Held pages go first: the marketplace waits for its answers when it stops.
  ~SharedWalkTest() override { control.Release(); }

  void SetUp() override {
    ASSERT_EQ(server.Start(), "");
    ASSERT_EQ(server.CreateDatabase("walk"), "");
    uri = server.Uri("walk");
  }

  std::vector<std::string> Environment() const {
    return {"SHOPWALK_CONNECT_TO=" + market.ConnectAddress(), "HOME=" + dir.path(),
            "XDG_CONFIG_HOME=" + dir.File("config"), "XDG_DATA_HOME=" + dir.File("data")};
  }

  std::vector<std::string> WalkArguments(const NodeOptions& node) const {
    return {"walk",
            "--db",
            uri,
            "--from",
            std::to_string(node.from),
            "--count",
            std::to_string(node.count),
            "--rate",
            "0",
            "--threads",
            std::to_string(node.threads),
            "--block-size",
            std::to_string(node.blockSize),
            "--lease-ms",
            std::to_string(node.leaseMs),
            "--renew-ms",
            std::to_string(node.renewMs),
            "--quiet"};
  }

  std::vector<std::unique_ptr<ChildProcess>> StartNodes(int count, const NodeOptions& options) {
    std::vector<std::unique_ptr<ChildProcess>> nodes;
    for (int i = 0; i < count; ++i) {
      nodes.push_back(
          std::make_unique<ChildProcess>(program, WalkArguments(options), Environment()));
    }
    return nodes;
  }

  // Waits for every node to end; each is to finish with 0.
  void ExpectNodesFinish(std::vector<std::unique_ptr<ChildProcess>>& nodes) {
    for (auto& node : nodes) {
      const std::optional<int> code = node->Wait(Patience);
      EXPECT_EQ(code, 0) << "node " << node->Pid() << ": " << node->Errors();
    }
  }

  // The pid of the node holding the unfinished block that starts at `first`.
  std::optional<std::int64_t> HolderOf(std::int32_t first) {
    return Peek(
        peek, uri,
        "SELECT n.pid FROM shopwalk.blocks b JOIN shopwalk.nodes n ON n.node_id = b.node_id "
        "WHERE b.first_id = $1 AND b.done_at IS NULL",
        pg::Params().Int(first));
  }

  // Every shop ID from `first` to `last` has exactly one outcome, none failed, every block is
  // done and the rows are `expected`.
  void ExpectWalkComplete(std::int32_t first, std::int32_t last,
                          const std::vector<ShopRecord>& expected) {
    pg::Connection connection = Connect(uri);
    EXPECT_EQ(QueryInts(connection, "SELECT shop_id FROM shopwalk.outcomes ORDER BY shop_id"),
              Sequence(first, last));
    EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.outcomes WHERE outcome = 3"), 0);
    EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.failed_shops"), 0);
    EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.blocks WHERE done_at IS NULL"),
              0);
    EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.walks WHERE finished_at IS NULL"),
              0);
    const std::vector<ShopRecord> rows = DatabaseRows(uri);
    EXPECT_EQ(rows.size(), expected.size());
    EXPECT_TRUE(rows == expected);
    // The first differences, readably.
    int shown = 0;
    for (std::size_t i = 0; i < std::min(rows.size(), expected.size()) && shown < 5; ++i) {
      if (!(rows[i] == expected[i])) {
        ADD_FAILURE() << "row " << i << ": " << ::testing::PrintToString(rows[i]) << " instead of "
                      << ::testing::PrintToString(expected[i]);
        ++shown;
      }
    }
  }

  // The program the nodes run.
  std::string program = SHOPWALK_CLI_PATH;
  // Declared first: the marketplace's threads use it until the marketplace has stopped.
  ShopPageControl control;
  TestMarketplace market;
  ScratchDirectory dir;
  PostgresServer server;
  std::string uri;
  // The test's own connection for looking into the walk while it runs.
  pg::Connection peek;
};

// A shared walk keeps its pages across a change of the marketplace's pages and holds on it;
// export --pages writes the kept pages as the marketplace sent them. Once markers.ini fits the
// pages, reparse cuts the rows again from them as a node of the walk, beside a node walking at
// the same time: the shops that node holds are skipped and named, never written (their leases
// stay that node's), every other shop the kept pages show is listed, and the walking node then
// finishes the walk with the list the marketplace's truth gives.
TEST_F(SharedWalkTest, ReparseOfASharedWalkWritesUnderItsOwnLeasesBesideAWalkingNode) {
  // Beside the test's own settings folder, where it reads markers.ini.
  program = dir.File("shopwalk-cli");
  std::filesystem::copy_file(SHOPWALK_CLI_PATH, program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  constexpr std::int32_t First = 5000;
  constexpr std::int32_t Last = 5999;
  const pages::PageChange change{pages::PageChange::Kind::Layout, 5300, false, true};
  ChangingPages changing(market);
  changing.Change(change);
  NodeOptions options;
  options.from = First;
  options.count = Last - First + 1;
  // Small blocks: a node holding one batch of failed shops claims nothing more while they wait.
  options.blockSize = 10;
  // Leases that never run out while the test looks: what a node holds stays its own.
  options.leaseMs = 60000;
  options.renewMs = 10000;
  std::vector<std::string> arguments = WalkArguments(options);
  arguments.push_back("--keep-pages");
  const Finished held = RunToEnd(program, arguments, Environment(), Patience);
  ASSERT_EQ(held.code, 4) << held.errors;

  pg::Connection connection = Connect(uri);
  // Shops whose home and rating pages were both kept (a shop without one is asked again).
  std::set<std::int32_t> kept;
  for (const std::int64_t id :
       QueryInts(connection, "SELECT shop_id FROM shopwalk.kept_pages WHERE kind = 1")) {
    kept.insert(static_cast<std::int32_t>(id));
  }
  std::set<std::int32_t> keptBoth;
  for (const std::int64_t id :
       QueryInts(connection, "SELECT shop_id FROM shopwalk.kept_pages WHERE kind = 2")) {
    if (kept.contains(static_cast<std::int32_t>(id)))
      keptBoth.insert(static_cast<std::int32_t>(id));
  }
  const std::vector<std::int64_t> marked =
      QueryInts(connection, "SELECT shop_id FROM shopwalk.failed_shops ORDER BY shop_id");
  ASSERT_FALSE(marked.empty());
  ASSERT_GT(kept.size(), marked.size());

  const std::string out = dir.File("pages");
  std::filesystem::create_directory(out);
  const Finished exported =
      RunToEnd(program, {"export", "--db", uri, "--pages", out}, Environment(), Patience);
  ASSERT_EQ(exported.code, 0) << exported.errors;
  for (const std::int32_t id : kept) {
    const auto served = pages::ChangedDemoPage(pages::ShopHost(id), "/", change);
    ASSERT_TRUE(served.has_value()) << id;
    EXPECT_EQ(FileContent(out + "/" + std::to_string(id) + "-home.html"), served->body) << id;
  }

  // The fix; the marked shops' pages wait at a gate, so a walking node holds the first of them.
  PutFile(dir.File("markers.ini"),
          "Opening_Date_Left=\"data-start=\\\"\"\nOpening_Date_Right=\"\\\"\"\n"
          "Reputation_Left=\"data-credit=\\\"\"\nReputation_Right=\"\\\"\"\n");
  // Every other one is due later: the walking node claims the rest at once (all that are due),
  // while reparse, which writes a marked shop whenever it holds it, gets these.
  std::vector<std::int64_t> later;
  for (std::size_t i = 1; i < marked.size(); i += 2) later.push_back(marked[i]);
  ASSERT_TRUE(connection.Run(
      "UPDATE shopwalk.failed_shops SET due_at = now() + interval '1 hour' WHERE shop_id = ANY($1)",
      pg::Params().IntArray(later)));
  const auto gate = std::make_shared<AnswerGate>();
  for (const std::int64_t id : marked) {
    const std::string host = pages::ShopHost(static_cast<std::int32_t>(id));
    Page page;
    page.body = pages::ChangedDemoPage(host, "/", change)->body;
    page.contentType = pages::ChangedDemoPage(host, "/", change)->contentType;
    page.gate = gate;
    market.SetPage(host, "/", page);
  }
  std::vector<std::string> walking = WalkArguments(options);
  walking.push_back("--keep-pages");
  ChildProcess node(program, walking, Environment());
  const std::string heldByNode =
      "SELECT f.shop_id, f.retry_epoch FROM shopwalk.failed_shops f JOIN shopwalk.nodes n "
      "ON n.node_id = f.retry_node WHERE n.pid = $1 AND f.retry_until > now() ORDER BY f.shop_id";
  ASSERT_TRUE(WaitUntil(
      [&] {
        return gate->Held() > 0 && Peek(peek, uri,
                                        "SELECT count(*) FROM shopwalk.failed_shops f JOIN "
                                        "shopwalk.nodes n ON n.node_id = f.retry_node WHERE "
                                        "n.pid = $1 AND f.retry_until > now()",
                                        pg::Params().Int(node.Pid()))
                                           .value_or(0) > 0;
      },
      Patience));
  pg::Result before;
  ASSERT_TRUE(connection.Run(heldByNode, pg::Params().Int(node.Pid()), before));
  ASSERT_GT(before.Rows(), 0);
  ASSERT_LT(static_cast<std::size_t>(before.Rows()), marked.size());
  std::map<std::int32_t, ShopRecord> rowsBefore;
  for (const ShopRecord& row : DatabaseRows(uri)) rowsBefore.emplace(row.shopId, row);

  const Finished reparse = RunToEnd(program, {"reparse", "--db", uri}, Environment(), Patience);
  ASSERT_EQ(reparse.code, 0) << reparse.errors;
  // The marked shops it held had rows without the rating page's fields: now they have them.
  EXPECT_NE(reparse.output.find("rows changed   "), std::string::npos) << reparse.output;
  EXPECT_EQ(reparse.output.find("rows changed   0\n"), std::string::npos) << reparse.output;
  EXPECT_NE(reparse.output.find("held by nodes  "), std::string::npos) << reparse.output;

  // The node's shops: still its own, under the epochs it claimed them with, each named.
  pg::Result after;
  ASSERT_TRUE(connection.Run(heldByNode, pg::Params().Int(node.Pid()), after));
  std::map<std::int64_t, std::int64_t> heldAfter;
  for (int row = 0; row < after.Rows(); ++row) {
    heldAfter[after.Int64(row, 0)] = after.Int64(row, 1);
  }
  std::map<std::int32_t, ShopRecord> rowsAfter;
  for (const ShopRecord& row : DatabaseRows(uri)) rowsAfter.emplace(row.shopId, row);
  for (int row = 0; row < before.Rows(); ++row) {
    const std::int64_t id = before.Int64(row, 0);
    EXPECT_EQ(heldAfter[id], before.Int64(row, 1)) << id;
    const auto was = rowsBefore.find(static_cast<std::int32_t>(id));
    const auto now = rowsAfter.find(static_cast<std::int32_t>(id));
    EXPECT_EQ(was == rowsBefore.end(), now == rowsAfter.end()) << id;
    if (was != rowsBefore.end() && now != rowsAfter.end()) {
      EXPECT_EQ(was->second, now->second) << id;
    }
    EXPECT_NE(reparse.errors.find("shop IDs " + std::to_string(id) + " to " + std::to_string(id) +
                                  " are held by a walking node"),
              std::string::npos)
        << id << "\n"
        << reparse.errors;
  }
  // Every other shop the kept pages show is listed as the marketplace's truth says.
  std::map<std::int32_t, ShopRecord> truthRows;
  for (const ShopRecord& row : ShopsListedBetween(First, Last)) truthRows.emplace(row.shopId, row);
  for (const auto& [id, shop] : ChangingPages::Truth(First, Last)) {
    if (!keptBoth.contains(id) || heldAfter.contains(id)) continue;
    const auto now = rowsAfter.find(id);
    ASSERT_NE(now, rowsAfter.end()) << id << " is not listed after reparse";
    EXPECT_EQ(now->second, truthRows[id]) << id;
  }
  // reparse let its leases go: no block is left held, and nothing is being retried but the
  // node's own.
  EXPECT_EQ(QueryInt(connection,
                     "SELECT count(*) FROM shopwalk.blocks WHERE done_at IS NOT NULL AND "
                     "lease_until IS NOT NULL"),
            0);

  gate->Open();
  EXPECT_EQ(node.Wait(Patience), 0) << node.Errors();
  const std::map<std::int32_t, pages::Shop> truth = ChangingPages::Truth(First, Last);
  std::vector<std::int32_t> truthIds;
  for (const auto& [id, shop] : truth) truthIds.push_back(id);
  std::vector<std::int32_t> listed;
  for (const ShopRecord& row : DatabaseRows(uri)) listed.push_back(row.shopId);
  EXPECT_EQ(listed, truthIds);
  ExpectWalkComplete(First, Last, ShopsListedBetween(First, Last));
}

TEST_F(SharedWalkTest, ThreeNodesWalkEveryIdOnceAndStoreWhatOneNodeAloneStores) {
  constexpr std::int32_t First = 1;
  constexpr std::int32_t Count = 30000;
  constexpr std::int32_t Last = First + Count - 1;

  // One node alone, into a file store.
  const std::string single = dir.File("single.db");
  const Finished alone =
      RunToEnd(SHOPWALK_CLI_PATH,
               {"walk", "--db", single, "--from", std::to_string(First), "--count",
                std::to_string(Count), "--rate", "0", "--threads", "6", "--quiet"},
               Environment(), Patience);
  ASSERT_EQ(alone.code, 0) << alone.errors;
  const std::vector<ShopRecord> singleRows = StoredShops(single);
  ASSERT_EQ(singleRows, ShopsListedBetween(First, Last));
  market.ClearRequests();

  NodeOptions options;
  options.from = First;
  options.count = Count;
  options.threads = 4;
  options.blockSize = 500;
  // Leases long enough never to run out while the nodes run.
  options.leaseMs = 60000;
  options.renewMs = 10000;
  auto nodes = StartNodes(3, options);
  ExpectNodesFinish(nodes);

  ExpectWalkComplete(First, Last, singleRows);
  // Every ID was handed to one node only: its page was asked for once, from one node.
  const std::map<std::int32_t, int> requests = HomeRequests(market);
  std::vector<std::int32_t> askedOtherThanOnce;
  for (std::int32_t id = First; id <= Last; ++id) {
    if (CountOf(requests, id) != 1) askedOtherThanOnce.push_back(id);
  }
  EXPECT_EQ(askedOtherThanOnce, std::vector<std::int32_t>{});
  // All three took part.
  pg::Connection connection = Connect(uri);
  EXPECT_EQ(
      QueryInt(connection,
               "SELECT count(DISTINCT node_id) FROM shopwalk.blocks WHERE done_at IS NOT NULL"),
      3);
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.blocks"), Count / 500);

  // The status of the shared store tells the same.
  const Finished status = RunToEnd(SHOPWALK_CLI_PATH, {"status", "--db", uri}, Environment());
  ASSERT_EQ(status.code, 0) << status.errors;
  for (const std::string& line :
       {std::string("walked       1 to 30000\n"),
        "rows         " + std::to_string(singleRows.size()) + "\n",
        std::string("blocks     60 done, 0 held, 0 with an expired lease\n"),
        std::string("place        30000 (command line)\n")}) {
    EXPECT_NE(status.output.find(line), std::string::npos) << line << status.output;
  }

  // The export of the shared store is the export of the file store, byte for byte.
  const Finished sharedExport = RunToEnd(
      SHOPWALK_CLI_PATH, {"export", "--db", uri, "--out", dir.File("shared.csv")}, Environment());
  const Finished singleExport =
      RunToEnd(SHOPWALK_CLI_PATH, {"export", "--db", single, "--out", dir.File("single.csv")},
               Environment());
  ASSERT_EQ(sharedExport.code, 0) << sharedExport.errors;
  ASSERT_EQ(singleExport.code, 0) << singleExport.errors;
  const auto sharedBytes = FileContent(dir.File("shared.csv"));
  ASSERT_TRUE(sharedBytes);
  EXPECT_TRUE(sharedBytes == FileContent(dir.File("single.csv")));
  EXPECT_GT(sharedBytes->size(), singleRows.size() * 20);
}

TEST_F(SharedWalkTest, ABlockOfANodeKilledInItsMiddleIsFinishedByAnotherWithoutItsAnsweredIds) {
  NodeOptions options;
  options.from = 1;
  options.count = 2000;
  constexpr std::int32_t BlockFirst = 501;
  constexpr std::int32_t BlockLast = 600;
  // The listed shops in the block's second half hang: its holder answers the rest of the block
  // and is caught with the block unfinished.
  control.Hold(551, BlockLast);
  auto nodes = StartNodes(2, options);

  std::optional<std::int64_t> holderPid;
  ASSERT_TRUE(WaitUntil(
      [&] {
        holderPid = HolderOf(BlockFirst);
        const auto answered = Peek(
            peek, uri, "SELECT count(*) FROM shopwalk.outcomes WHERE shop_id BETWEEN $1 AND $2",
            pg::Params().Int(BlockFirst).Int(BlockLast));
        return holderPid && answered && *answered > 0 && control.Waiting() > 0;
      },
      Patience));
  auto holder = std::find_if(nodes.begin(), nodes.end(),
                             [&](const auto& node) { return node->Pid() == *holderPid; });
  ASSERT_NE(holder, nodes.end());
  (*holder)->Signal(SIGKILL);
  ASSERT_EQ((*holder)->Wait(Patience), -SIGKILL);
  const std::unique_ptr<ChildProcess>& survivor = nodes[holder == nodes.begin() ? 1 : 0];

  // What the dead node wrote stays; the rest of its block lacks an outcome.
  pg::Connection connection = Connect(uri);
  const std::vector<std::int64_t> answeredBefore =
      QueryInts(connection,
                "SELECT shop_id FROM shopwalk.outcomes WHERE shop_id BETWEEN $1 AND $2 "
                "ORDER BY shop_id",
                pg::Params().Int(BlockFirst).Int(BlockLast));
  ASSERT_FALSE(answeredBefore.empty());
  ASSERT_LT(answeredBefore.size(), static_cast<std::size_t>(BlockLast - BlockFirst + 1));
  control.Release();

  const std::optional<int> code = survivor->Wait(Patience);
  EXPECT_EQ(code, 0) << survivor->Errors();
  ExpectWalkComplete(1, 2000, ShopsListedBetween(1, 2000));
  // The survivor took the block over after its lease ran out (and may have claimed it again if
  // its own lease ran out on a loaded machine: leases are the server's wall time), and asked only
  // for the IDs that had no outcome.
  EXPECT_GE(QueryInt(connection, "SELECT claims FROM shopwalk.blocks WHERE first_id = $1",
                     pg::Params().Int(BlockFirst)),
            2);
  EXPECT_EQ(QueryInt(connection,
                     "SELECT n.pid FROM shopwalk.blocks b JOIN shopwalk.nodes n "
                     "ON n.node_id = b.node_id WHERE b.first_id = $1",
                     pg::Params().Int(BlockFirst)),
            survivor->Pid());
  const std::map<std::int32_t, int> requests = HomeRequests(market);
  for (const std::int64_t id : answeredBefore) {
    EXPECT_EQ(CountOf(requests, static_cast<std::int32_t>(id)), 1) << id;
  }
}

TEST_F(SharedWalkTest, ANodeFrozenPastItsLeaseWritesNothingOfTheBlockAnotherNodeFinished) {
  NodeOptions options;
  options.from = 1;
  options.count = 1000;
  constexpr std::int32_t BlockFirst = 301;
  constexpr std::int32_t BlockLast = 400;
  control.Hold(BlockFirst, BlockLast);
  auto nodes = StartNodes(2, options);

  // The block's holder waits for its listed shops' pages.
  std::optional<std::int64_t> holderPid;
  ASSERT_TRUE(WaitUntil(
      [&] {
        holderPid = HolderOf(BlockFirst);
        return holderPid && control.Waiting() > 0;
      },
      Patience));
  auto frozen = std::find_if(nodes.begin(), nodes.end(),
                             [&](const auto& node) { return node->Pid() == *holderPid; });
  ASSERT_NE(frozen, nodes.end());
  const std::unique_ptr<ChildProcess>& other = nodes[frozen == nodes.begin() ? 1 : 0];
  (*frozen)->Signal(SIGSTOP);
  // The pages it asked for are answered into its sockets while it is stopped; from now on the
  // marketplace names those shops differently.
  const std::size_t heldAnswers = control.Waiting();
  control.Rename(BlockFirst, BlockLast);
  control.Release();

  // The other node claims the block once its lease has run out, and finishes it.
  pg::Connection connection = Connect(uri);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return Peek(peek, uri,
                    "SELECT n.pid FROM shopwalk.blocks b JOIN shopwalk.nodes n "
                    "ON n.node_id = b.node_id WHERE b.first_id = $1 AND b.done_at IS NOT NULL",
                    pg::Params().Int(BlockFirst)) == other->Pid();
      },
      Patience));
  market.ClearRequests();
  (*frozen)->Signal(SIGCONT);
  ExpectNodesFinish(nodes);

  // The woken node read the answers it held (it went on to their rating pages), and its rows
  // were refused: the block's rows are those of the pages the other node read.
  EXPECT_GE(control.AnsweredAfterHold(), heldAnswers);
  int ratingPagesAfterWaking = 0;
  for (const auto& [id, count] : RatingRequests(market)) {
    if (id >= BlockFirst && id <= BlockLast) ratingPagesAfterWaking += count;
  }
  EXPECT_GE(ratingPagesAfterWaking, 1);
  std::vector<ShopRecord> expected = ShopsListedBetween(1, 1000);
  for (ShopRecord& record : expected) {
    if (record.shopId >= BlockFirst && record.shopId <= BlockLast) {
      record.name = Utf8ToGbk(RenamedPrefix + pages::DemoShop(record.shopId)->name);
    }
  }
  ExpectWalkComplete(1, 1000, expected);
  EXPECT_GE(QueryInt(connection, "SELECT claims FROM shopwalk.blocks WHERE first_id = $1",
                     pg::Params().Int(BlockFirst)),
            2);
}

TEST_F(SharedWalkTest, NodesGoOnThroughARestartOfTheServerAndLoseNothing) {
  NodeOptions options;
  options.from = 1;
  options.count = 5000;
  options.blockSize = 250;
  options.leaseMs = 3000;
  // The last ID keeps the walk open until the server is back.
  control.HoldId(5000);
  auto nodes = StartNodes(2, options);

  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto answered = Peek(peek, uri, "SELECT count(*) FROM shopwalk.outcomes");
        return answered && *answered >= 1000;
      },
      Patience));
  peek.Close();
  ASSERT_EQ(server.Stop(PostgresServer::StopMode::Fast), "");
  // Every node finds the server gone (and keeps what it collects meanwhile in memory).
  for (const auto& node : nodes) {
    EXPECT_TRUE(node->WaitForErrors("cannot write the store", Patience)) << node->Errors();
  }
  ASSERT_EQ(server.Start(), "");
  control.Release();

  ExpectNodesFinish(nodes);
  ExpectWalkComplete(1, 5000, ShopsListedBetween(1, 5000));
}

TEST_F(SharedWalkTest, FailedShopsAreTriedAgainByOneNodeAtATimeUntilAnswered) {
  // One try per claim: a shop whose page fails is failed for good at once and waits for a
  // retry under a lease of its own. A copy of the program reads the setting from the config.ini
  // beside it.
  program = dir.File("shopwalk-cli");
  std::filesystem::copy_file(SHOPWALK_CLI_PATH, program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  PutFile(dir.File("config.ini"), "[Mivu]\r\nMax_Attempts=1\r\n");
  NodeOptions options;
  options.from = 1;
  options.count = 400;
  options.threads = 3;
  options.blockSize = 50;
  // Few enough that no node takes the failures for an outage; shops and IDs without a shop.
  std::vector<std::int32_t> failing;
  for (std::int32_t id = 20; failing.size() < 2; ++id) {
    if (Listed(id)) failing.push_back(id);
  }
  for (std::int32_t id = 150; failing.size() < 4; ++id) {
    if (!pages::DemoShop(id)) failing.push_back(id);
  }
  // Each fails in the walk and in the first retry round, and is answered in the second.
  control.Fail(failing[0], 2, ShopPageControl::Failure::Http500);
  control.Fail(failing[1], 2, ShopPageControl::Failure::Reset);
  control.Fail(failing[2], 2, ShopPageControl::Failure::Http500);
  control.Fail(failing[3], 2, ShopPageControl::Failure::Reset);
  // The last ID keeps the walk open until the retries are over.
  control.HoldId(400);
  auto nodes = StartNodes(2, options);

  // Failed in the walk, each is due for its first round once the retry delay has passed.
  const std::string failedNotInRetry =
      "SELECT count(*) FROM shopwalk.failed_shops WHERE retry_until IS NULL AND retry_rounds = $1";
  for (const int round : {0, 1}) {
    ASSERT_TRUE(WaitUntil(
        [&] {
          return Peek(peek, uri, failedNotInRetry, pg::Params().Int(round)) == 4 &&
                 Peek(peek, uri, "SELECT count(*) FROM shopwalk.failed_shops") == 4;
        },
        Patience))
        << "round " << round;
    ASSERT_TRUE(peek.Execute("UPDATE shopwalk.failed_shops SET due_at = now()"));
  }
  ASSERT_TRUE(
      WaitUntil([&] { return Peek(peek, uri, "SELECT count(*) FROM shopwalk.failed_shops") == 0; },
                Patience));
  control.Release();
  ExpectNodesFinish(nodes);

  ExpectWalkComplete(1, 400, ShopsListedBetween(1, 400));
  // Each failed shop was asked for once in the walk and once a round, never by two nodes at
  // once.
  const std::map<std::int32_t, int> requests = HomeRequests(market);
  for (const std::int32_t id : failing) {
    EXPECT_EQ(CountOf(requests, id), 3) << id;
    EXPECT_EQ(market.MostInFlight(pages::ShopHost(id)), 1u) << id;
  }
}

// A password holding '?', '/', '@' and '%' (encoded where libpq needs it): warned of, and left out
// of the first line, the status and the store's failures, also of libpq's words about a URI it
// takes apart. Host names, failure reasons and places others wrote show their control bytes as
// \xNN rather than sending them to the terminal.
// After its other lines, status counts the shops marked to revisit and the kept pages, and says
// why a node stopped on its own (as the node recorded it: no control byte reaches the terminal).
TEST_F(SharedWalkTest, StatusShowsMarksKeptPagesAndWhyANodeStoppedAfterItsOtherLines) {
  std::int64_t nodeId = 0;
  {
    results::WalkRequest request;
    request.from = 1;
    auto store = WalkingPgStore(uri, request);
    ASSERT_TRUE(store);
    nodeId = store->NodeId();
    store->ToRevisit(3);
    store->ToRevisit(8);
    ASSERT_TRUE(store->Flush(Patience));
    ASSERT_TRUE(store->NodeHeld("pages no longer match (home pages give no fields)\x1b[2J\n"));
  }
  const Finished status = RunToEnd(program, {"status", "--db", uri}, Environment());
  ASSERT_EQ(status.code, 0) << status.errors;
  const std::size_t flagged = status.output.find("flagged      0\n");
  const std::size_t marks = status.output.find("to revisit   2\n");
  const std::size_t pages = status.output.find("kept pages   0, 0.0 MB packed, 0 dropped\n");
  const std::size_t held =
      status.output.find("held         node " + std::to_string(nodeId) +
                         ": pages no longer match (home pages give no fields)?[2J?\n");
  ASSERT_NE(flagged, std::string::npos) << status.output;
  EXPECT_LT(flagged, marks) << status.output;
  EXPECT_LT(marks, pages) << status.output;
  EXPECT_LT(pages, held) << status.output;
  EXPECT_NE(held, std::string::npos) << status.output;
  EXPECT_NE(status.output.find("failed       0\n"), std::string::npos) << status.output;
}

TEST_F(SharedWalkTest, NoPasswordAndNoControlByteFromTheDatabaseReachTheTerminal) {
  const std::string hostAndDatabase = uri.substr(uri.find('@'));
  const std::string withPassword = "postgresql://shopwalk:pa?ss%2Fw%40rd%25" + hostAndDatabase;
  const std::vector<std::string> secrets = {"pa?ss", "w%40rd", "w@rd", "%2F"};
  auto expectNoSecret = [&](const Finished& run) {
    for (const std::string& secret : secrets) {
      EXPECT_EQ(run.output.find(secret), std::string::npos) << run.output;
      EXPECT_EQ(run.errors.find(secret), std::string::npos) << run.errors;
    }
  };
  const std::string warning = "warning: the --db URI holds a password";

  const Finished walk = RunToEnd(
      program, {"walk", "--db", withPassword, "--from", "1", "--count", "20", "--rate", "0"},
      Environment(), Patience);
  ASSERT_EQ(walk.code, 0) << walk.errors;
  EXPECT_NE(walk.errors.find("store postgresql://shopwalk" + hostAndDatabase), std::string::npos)
      << walk.errors;
  EXPECT_NE(walk.errors.find(warning), std::string::npos) << walk.errors;
  expectNoSecret(walk);

  // Others write control bytes where status reads.
  pg::Connection connection = Connect(uri);
  ASSERT_TRUE(connection.Run("UPDATE shopwalk.nodes SET host = $1",
                             pg::Params().Text("evil\x1b]0;owned\x07")));
  ASSERT_TRUE(connection.Run(
      "INSERT INTO shopwalk.failed_shops (shop_id, attempts, reason, failed_at, position, due_at) "
      "VALUES (5, 3, $1, now(), 1, now() + interval '1 hour')",
      pg::Params().Bytes("\x1b[2Jgone\r\n")));
  ASSERT_TRUE(connection.Run(
      "INSERT INTO shopwalk.runs (run_id, kind, started_at, place) VALUES (1000, 1, now(), $1)",
      pg::Params().Bytes(std::string("12\x1b[31m\x7f\x00", 9))));

  const Finished status = RunToEnd(program, {"status", "--db", withPassword}, Environment());
  ASSERT_EQ(status.code, 0) << status.errors;
  EXPECT_NE(status.output.find("store        postgresql://shopwalk" + hostAndDatabase + "\n"),
            std::string::npos)
      << status.output;
  EXPECT_NE(status.errors.find(warning), std::string::npos) << status.errors;
  expectNoSecret(status);
  for (const std::string& shown :
       {std::string(R"(   evil\x1B]0;owned\x07 pid )"), std::string(R"(  \x1B[2Jgone\x0D\x0A )"),
        std::string(R"(place        12\x1B[31m\x7F\x00 (window))")}) {
    EXPECT_NE(status.output.find(shown), std::string::npos) << shown << "\n" << status.output;
  }
  for (const char control : {'\x1b', '\x07', '\x7f', '\r', '\0'}) {
    EXPECT_EQ(status.output.find(control), std::string::npos) << static_cast<int>(control);
  }

  // The server away, and a URI that libpq takes apart at the unencoded '/' and '@'.
  ASSERT_EQ(server.Stop(), "");
  for (const std::string& broken :
       {withPassword, "postgresql://shopwalk:pa?ss/w@rd%25" + hostAndDatabase}) {
    const Finished failed = RunToEnd(program, {"status", "--db", broken}, Environment());
    EXPECT_EQ(failed.code, 1) << failed.errors;
    EXPECT_NE(failed.errors.find("cannot read the store postgresql://shopwalk" + hostAndDatabase),
              std::string::npos)
        << failed.errors;
    expectNoSecret(failed);
    EXPECT_EQ(failed.errors.find("rd%25"), std::string::npos) << failed.errors;
  }
}

// Two nodes of a shared walk across a change of the marketplace's pages each hold on it and end
// with exit code 4, each saying why; once markers.ini beside the program fits the pages (or the
// marketplace stops serving the change), two nodes started again finish the walk: every ID has
// one outcome, none is left failed or to ask again, and the rows are the marketplace's truth.
class SharedPageGuardTest : public SharedWalkTest,
                            public ::testing::WithParamInterface<PageRepair> {
 protected:
  SharedPageGuardTest() {
    // Copied beside the test's own settings folder, where it reads markers.ini.
    const std::string copy = dir.File("shopwalk-cli");
    std::filesystem::copy_file(program, copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    program = copy;
  }
};

TEST_P(SharedPageGuardTest, NodesHoldOnAChangeAndTheNextNodesListEveryShop) {
  const PageRepair& repair = GetParam();
  NodeOptions options;
  options.from = 5000;
  options.count = 2000;
  options.leaseMs = 600;
  options.renewMs = 200;
  const std::int32_t last = options.from + options.count - 1;
  ChangingPages changing(market);
  changing.Change(repair.change);

  auto held = StartNodes(2, options);
  for (auto& node : held) {
    EXPECT_EQ(node->Wait(Patience), 4) << node->Errors();
    EXPECT_NE(node->Errors().find("held: pages no longer match"), std::string::npos)
        << node->Errors();
  }
  // They held within a window of the change each: the walk's last IDs were never asked.
  const std::map<std::int32_t, int> asked = HomeRequests(market);
  ASSERT_FALSE(asked.empty());
  EXPECT_LT(asked.rbegin()->first, last - 500);

  if (repair.markersIni.empty()) {
    changing.Revert();
  } else {
    PutFile(dir.File("markers.ini"), repair.markersIni);
  }
  auto next = StartNodes(2, options);
  ExpectNodesFinish(next);
  ExpectWalkComplete(options.from, last, ShopsListedBetween(options.from, last));
}

INSTANTIATE_TEST_SUITE_P(EveryKind, SharedPageGuardTest, ::testing::ValuesIn(PageRepairs(5300)),
                         [](const ::testing::TestParamInfo<PageRepair>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace shopwalk::test
