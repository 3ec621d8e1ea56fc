// The PostgreSQL store as nodes use it: several nodes share one walk without losing or repeating
// an ID, a dead node's work is taken over, a node whose lease was taken stops, failed shops are
// retried by one node, and reports wait through a stopped server and land once it is back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "results/pg/pg_schema.h"
#include "results/pg/pg_store.h"
#include "results/pg/pg_walk.h"
#include "tests/results/pg_test_support.h"
#include "tests/results/store_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/postgres_server.h"

namespace shopwalk {
namespace {

using test::Connect;
using test::FreshDatabase;
using test::QueryInt;
using test::QueryInts;
using test::QuickSettings;
using test::SampleRecord;
using test::ValueOf;
using test::WaitUntil;
using test::WalkingPgStore;
using test::WalkStore;

constexpr auto Patience = std::chrono::seconds(60);

results::WalkRequest Range(std::int64_t first, std::int64_t last) {
  results::WalkRequest request;
  request.from = first;
  request.to = last;
  return request;
}

// Answers as a walk would: a row for IDs divisible by 3, a failure for those ending in 7, no
// shop otherwise.
void MixedAnswer(PgStore& store, const WorkSource::Next& next) {
  if (next.shopId % 3 == 0) {
    store.RowAppended(SampleRecord(next.shopId));
  } else if (next.shopId % 10 == 7 && !next.retryOfFailed) {
    store.Failed({next.shopId, 4, "timeout"});
  } else {
    store.Answered(next.shopId, ShopOutcome::NoShop);
  }
}

std::vector<std::int64_t> Sequence(std::int64_t first, std::int64_t last) {
  std::vector<std::int64_t> ids;
  for (std::int64_t id = first; id <= last; ++id) ids.push_back(id);
  return ids;
}

TEST(PgStoreTest, NodesShareAWalkWithoutLosingOrRepeatingAnId) {
  const std::string uri = FreshDatabase();
  constexpr int Nodes = 3;
  std::vector<std::unique_ptr<PgStore>> stores;
  for (int node = 0; node < Nodes; ++node) {
    stores.push_back(WalkingPgStore(uri, Range(1, 437)));
    ASSERT_TRUE(stores.back());
  }
  // Every node joined the one walk.
  for (const auto& store : stores) EXPECT_EQ(store->Walk().walkId, stores[0]->Walk().walkId);
  EXPECT_TRUE(stores[0]->Walk().created);
  EXPECT_FALSE(stores[1]->Walk().created);

  std::vector<std::vector<std::int32_t>> handedOut(Nodes);
  std::vector<std::thread> walkers;
  for (int node = 0; node < Nodes; ++node) {
    walkers.emplace_back(
        [&, node] { handedOut[node] = WalkStore(*stores[node], MixedAnswer, SIZE_MAX, Patience); });
  }
  for (std::thread& walker : walkers) walker.join();
  for (const auto& store : stores) EXPECT_TRUE(store->Flush(Patience));

  // Each ID of the range was handed out once, to one node, failed shops once more for a retry.
  std::map<std::int32_t, int> times;
  std::size_t retries = 0;
  for (const auto& ids : handedOut) {
    for (std::int32_t id : ids) ++times[id];
  }
  for (std::int32_t id = 1; id <= 437; ++id) {
    const int expected = id % 10 == 7 && id % 3 != 0 ? 2 : 1;
    EXPECT_EQ(times[id], expected) << id;
    retries += static_cast<std::size_t>(expected - 1);
  }
  EXPECT_EQ(times.size(), 437u);
  std::uint64_t claimed = 0, done = 0;
  for (const auto& store : stores) {
    const PgStoreCounters counters = store->Counters();
    claimed += counters.blocksClaimed;
    done += counters.blocksDone;
    EXPECT_EQ(counters.leasesLost, 0u);
    EXPECT_EQ(counters.reportsNotHeld, 0u);
  }
  EXPECT_EQ(claimed, 44u);
  EXPECT_EQ(done, 44u);

  pg::Connection connection = Connect(uri);
  EXPECT_EQ(QueryInts(connection, "SELECT shop_id FROM shopwalk.outcomes ORDER BY shop_id"),
            Sequence(1, 437));
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.shops"), 437 / 3);
  // Retried failures answered no shop the second time.
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.failed_shops"), 0);
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.outcomes WHERE outcome = 3"), 0);
  EXPECT_GT(retries, 0u);

  const StoreSummary summary = stores[0]->Summary().value();
  const std::optional<SharedWalkSummary> sharedWalk = stores[0]->WalkSummary().value();
  EXPECT_EQ(summary.rows, 437u / 3);
  EXPECT_EQ(summary.lowestWalked, 1);
  EXPECT_EQ(summary.highestWalked, 437);
  ASSERT_TRUE(sharedWalk);
  EXPECT_TRUE(sharedWalk->finished);
  EXPECT_EQ(sharedWalk->place, 437);
  EXPECT_EQ(sharedWalk->blocksDone, 44u);
  EXPECT_EQ(sharedWalk->blocksHeld, 0u);
  ASSERT_EQ(sharedWalk->nodes.size(), 3u);
  std::size_t nodeBlocks = 0;
  for (const WalkNodeSummary& node : sharedWalk->nodes) {
    EXPECT_FALSE(node.stopped);
    EXPECT_EQ(node.pid, ::getpid());
    EXPECT_FALSE(node.host.empty());
    EXPECT_GT(node.lastSeenUnixMs, 0);
    nodeBlocks += node.blocksDone;
  }
  EXPECT_EQ(nodeBlocks, 44u);
  // The walk alone, as progress displays read it, tells the same.
  const std::optional<SharedWalkSummary> walk = stores[1]->WalkSummary().value();
  ASSERT_TRUE(walk);
  EXPECT_EQ(walk->place, 437);
  EXPECT_EQ(walk->blocksDone, 44u);
  EXPECT_EQ(walk->nodes.size(), 3u);
  EXPECT_EQ(stores[0]->LastPlace(RunKind::CommandLine).value(), "437");
}

TEST(PgStoreTest, ADeadNodesBlockIsTakenOverWithoutItsAnsweredIds) {
  const std::string uri = FreshDatabase();
  pg::Connection connection = Connect(uri);
  ASSERT_TRUE(results::CreateOrUpgradePgSchema(connection));
  results::JoinedWalk walk;
  results::WalkRequest request = Range(50, 69);
  request.blockSize = 10;
  walk = ValueOf(results::JoinWalk(connection, request));
  // A node claims the first block, answers three of its IDs and dies: its lease runs out.
  std::int64_t deadNode = ValueOf(results::RegisterNode(connection, walk.walkId, "gone", 1, 0));
  std::optional<results::Lease> block =
      ValueOf(results::ClaimNewBlock(connection, walk.walkId, deadNode, 1));
  ASSERT_TRUE(block);
  bool held = ValueOf(results::WriteRow(connection, *block, SampleRecord(51)));
  held = ValueOf(results::WriteAnswer(connection, *block, 55, ShopOutcome::NoFields));
  held = ValueOf(results::WriteFailure(connection, *block, {58, 4, "timeout"}, 3600000));
  ASSERT_TRUE(held);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return QueryInt(connection,
                        "SELECT count(*) FROM shopwalk.blocks WHERE lease_until < now()") == 1;
      },
      Patience));

  auto store = WalkingPgStore(uri, Range(1, 1000));
  ASSERT_TRUE(store);
  EXPECT_FALSE(store->Walk().created);
  EXPECT_TRUE(store->Walk().fromIgnored);
  // The end given later wins.
  EXPECT_EQ(store->Walk().endId, 1000);
  std::vector<std::int32_t> ids = WalkStore(*store, {}, 17);
  // The expired block first, without the three answered IDs, then the next new block.
  EXPECT_EQ(ids, (std::vector<std::int32_t>{50, 52, 53, 54, 56, 57, 59, 60, 61, 62, 63, 64, 65, 66,
                                            67, 68, 69}));
  ASSERT_TRUE(store->Flush(Patience));
  // Both blocks done (the next one is claimed ahead of need).
  EXPECT_GE(store->Counters().blocksClaimed, 2u);
  ASSERT_TRUE(WaitUntil([&] { return store->Counters().blocksDone == 2; }, Patience));
  // The dead node's answers stay as they were.
  EXPECT_EQ(QueryInt(connection, "SELECT outcome FROM shopwalk.outcomes WHERE shop_id = 55"), 2);
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.shops"), 1);
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.outcomes"), 20);
  EXPECT_EQ(QueryInt(connection, "SELECT claims FROM shopwalk.blocks WHERE first_id = 50"), 2);
}

TEST(PgStoreTest, ANodeWhoseLeaseWasTakenWritesNothingAndDropsTheBlock) {
  const std::string uri = FreshDatabase();
  PgStoreSettings settings = QuickSettings();
  // Renewals far apart: the node stays "frozen" between them for the test.
  settings.lease = std::chrono::milliseconds(600000);
  settings.renewEvery = std::chrono::milliseconds(200000);
  auto store = WalkingPgStore(uri, Range(1, 100), settings);
  ASSERT_TRUE(store);
  std::vector<std::int32_t> first = WalkStore(
      *store, [](PgStore&, const WorkSource::Next&) {}, 3);
  ASSERT_EQ(first, (std::vector<std::int32_t>{1, 2, 3}));
  store->Answered(1, ShopOutcome::NoShop);
  ASSERT_TRUE(store->Flush(Patience));

  // Meanwhile another node found the lease expired and took the block over.
  pg::Connection connection = Connect(uri);
  std::int64_t otherNode =
      ValueOf(results::RegisterNode(connection, store->Walk().walkId, "other", 2, 0));
  std::optional<results::Lease> taken;
  {
    pg::Transaction transaction(connection);
    ASSERT_TRUE(transaction.Begin());
    ASSERT_TRUE(connection.Execute(
        "UPDATE shopwalk.blocks SET lease_until = now() - interval '1 hour' WHERE first_id = 1"));
    taken = ValueOf(results::ClaimExpiredBlock(connection, otherNode, 600000));
    ASSERT_TRUE(transaction.Commit());
  }
  ASSERT_TRUE(taken);
  ASSERT_EQ(taken->firstId, 1);

  // The old holder's reports are refused by the fence, and it drops the block.
  store->RowAppended(SampleRecord(2));
  store->Failed({3, 2, "timeout"});
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(store->Counters().leasesLost, 1u);
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.shops"), 0);
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.failed_shops"), 0);
  EXPECT_EQ(QueryInts(connection, "SELECT shop_id FROM shopwalk.outcomes"),
            std::vector<std::int64_t>{1});
  // It goes on with its next block, never with the rest of the lost one.
  std::vector<std::int32_t> next = WalkStore(*store, {}, 5);
  EXPECT_EQ(next, (std::vector<std::int32_t>{11, 12, 13, 14, 15}));
  // A late report for the lost block is not written either.
  store->Answered(4, ShopOutcome::NoShop);
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.outcomes WHERE shop_id = 4"), 0);
  EXPECT_GE(store->Counters().reportsNotHeld, 1u);
}

TEST(PgStoreTest, AClosedNodeLetsItsBlocksGoAtOnce) {
  const std::string uri = FreshDatabase();
  PgStoreSettings settings = QuickSettings();
  settings.lease = std::chrono::milliseconds(600000);
  settings.renewEvery = std::chrono::milliseconds(1000);
  {
    auto store = WalkingPgStore(uri, Range(1, 30), settings);
    ASSERT_TRUE(store);
    // Four IDs handed out; one is answered, three are still in flight when it closes.
    std::vector<std::int32_t> ids = WalkStore(
        *store, [](PgStore&, const WorkSource::Next&) {}, 4);
    store->Answered(ids[0], ShopOutcome::NoShop);
  }
  pg::Connection connection = Connect(uri);
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.nodes WHERE stopped_at IS NULL"),
            0);
  auto next = WalkingPgStore(uri, {}, settings);
  ASSERT_TRUE(next);
  std::vector<std::int32_t> ids = WalkStore(*next, MixedAnswer);
  std::sort(ids.begin(), ids.end());
  // Everything but the one answered ID, with no wait for the long lease; failures retried.
  std::vector<std::int32_t> expected;
  for (std::int32_t id = 2; id <= 30; ++id) {
    expected.push_back(id);
    if (id % 10 == 7 && id % 3 != 0) expected.push_back(id);
  }
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(QueryInts(connection, "SELECT shop_id FROM shopwalk.outcomes ORDER BY shop_id"),
            Sequence(1, 30));
}

TEST(PgStoreTest, FailedShopsAreRetriedByOneNodeAtATime) {
  const std::string uri = FreshDatabase();
  // A first walk leaves failed shops behind.
  {
    PgStoreSettings settings = QuickSettings();
    settings.failedRetryDelay = std::chrono::hours(1);
    auto store = WalkingPgStore(uri, Range(1, 40), settings);
    ASSERT_TRUE(store);
    WalkStore(*store, [](PgStore& s, const WorkSource::Next& next) {
      if (next.shopId % 4 == 0) {
        s.Failed({next.shopId, 5, "reason " + std::to_string(next.shopId % 8)});
      } else {
        s.Answered(next.shopId, ShopOutcome::NoShop);
      }
    });
    EXPECT_EQ(store->Summary().value().failed, 10u);
    ASSERT_TRUE(store->WalkSummary().value());
    EXPECT_EQ(store->WalkSummary().value()->failedWaiting, 10u);
  }
  pg::Connection connection = Connect(uri);
  ASSERT_TRUE(connection.Execute("UPDATE shopwalk.failed_shops SET due_at = now()"));

  // Two nodes start the next walk: they claim the due failures first, each shop by one.
  std::vector<std::unique_ptr<PgStore>> stores;
  results::WalkRequest next;
  next.count = 20;
  for (int node = 0; node < 2; ++node) {
    stores.push_back(WalkingPgStore(uri, next));
    ASSERT_TRUE(stores.back());
  }
  EXPECT_EQ(stores[0]->Walk().firstId, 41);
  EXPECT_EQ(stores[0]->Walk().endId, 60);
  std::mutex mutex;
  std::map<std::int32_t, int> retried;
  std::vector<std::thread> walkers;
  for (int node = 0; node < 2; ++node) {
    walkers.emplace_back([&, node] {
      WalkStore(*stores[node], [&](PgStore& s, const WorkSource::Next& shop) {
        if (shop.retryOfFailed) {
          std::lock_guard lock(mutex);
          ++retried[shop.shopId];
          // Half of them fail again, and stay on the list with their new tries.
          if (shop.shopId % 8 == 0) {
            s.Failed({shop.shopId, 6, "still failing"});
            return;
          }
          s.RowAppended(SampleRecord(shop.shopId));
          return;
        }
        s.Answered(shop.shopId, ShopOutcome::NoShop);
      });
    });
  }
  for (std::thread& walker : walkers) walker.join();
  for (const auto& store : stores) ASSERT_TRUE(store->Flush(Patience));
  // Every failure was retried once per round, by one node: rounds go on while they are due.
  for (std::int32_t id = 4; id <= 40; id += 4) {
    EXPECT_EQ(retried[id], id % 8 == 0 ? 3 : 1) << id;
  }
  EXPECT_EQ(stores[0]->Counters().failedShopsClaimed + stores[1]->Counters().failedShopsClaimed,
            5u + 5u * 3u);
  EXPECT_EQ(QueryInts(connection, "SELECT shop_id FROM shopwalk.failed_shops ORDER BY shop_id"),
            (std::vector<std::int64_t>{8, 16, 24, 32, 40}));
  EXPECT_EQ(QueryInt(connection, "SELECT min(attempts) FROM shopwalk.failed_shops"), 6);
  EXPECT_EQ(QueryInt(connection, "SELECT min(retry_rounds) FROM shopwalk.failed_shops"), 3);
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.shops"), 5);
  const StoreSummary summary = stores[0]->Summary().value();
  const std::optional<SharedWalkSummary> sharedWalk = stores[0]->WalkSummary().value();
  ASSERT_TRUE(sharedWalk);
  EXPECT_EQ(sharedWalk->failedExhausted, 5u);
  ASSERT_EQ(summary.failureReasons.size(), 1u);
  EXPECT_EQ(summary.failureReasons[0].first, "still failing");
  // The engine's own list of failures to try first is empty: they come through the leases.
  EXPECT_TRUE(stores[0]->FailedShops().empty());
}

// A mark to revisit is written even for a shop whose block the node finished long ago (it is never
// lost), and the next walk asks the marked shops again first, each by one node, as often as they
// are marked again: their retries spend no rounds.
TEST(PgStoreTest, MarksAreNeverLostAndAreAskedAgainWithoutSpendingRounds) {
  const std::string uri = FreshDatabase();
  PgStoreSettings settings = QuickSettings();
  settings.blockSize = 5;
  settings.failedRetryRounds = 1;
  {
    auto store = WalkingPgStore(uri, Range(1, 20), settings);
    ASSERT_TRUE(store);
    WalkStore(*store, [](PgStore& s, const WorkSource::Next& next) {
      s.Answered(next.shopId, ShopOutcome::NoFields);
    });
    ASSERT_TRUE(store->Flush(Patience));
    EXPECT_EQ(store->WalkSummary().value()->blocksDone, 4u);
    store->ToRevisit(12);
    store->ToRevisit(3);
    ASSERT_TRUE(store->Flush(Patience));
    EXPECT_EQ(store->ShopsToRevisit(), (std::vector<std::int32_t>{12, 3}));
    EXPECT_EQ(store->Summary().value().failed, 0u);
  }

  std::map<std::int32_t, int> retried;
  auto store = WalkingPgStore(uri, Range(21, 25), settings);
  ASSERT_TRUE(store);
  const std::vector<std::int32_t> handedOut =
      WalkStore(*store, [&](PgStore& s, const WorkSource::Next& next) {
        if (!next.retryOfFailed) {
          s.Answered(next.shopId, ShopOutcome::NoShop);
        } else if (++retried[next.shopId] < 3) {
          s.ToRevisit(next.shopId);
        } else if (next.shopId == 3) {
          s.RowAppended(SampleRecord(3));
        } else {
          s.Answered(next.shopId, ShopOutcome::NoShop);
        }
      });
  ASSERT_GE(handedOut.size(), 2u);
  EXPECT_EQ((std::set<std::int32_t>{handedOut[0], handedOut[1]}), (std::set<std::int32_t>{3, 12}));
  EXPECT_EQ(retried, (std::map<std::int32_t, int>{{3, 3}, {12, 3}}));
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_TRUE(store->ShopsToRevisit().empty());
  EXPECT_EQ(test::IdsOf(test::AllRows(*store)), std::vector<std::int32_t>{3});
}

// A node opened for rewriting (reparse) claims only what no other node holds: finished blocks
// and failed shops no node is trying again; a walking node's block and the failed shop it tries
// are left alone and named, and what the rewriting node writes of them is dropped. A second
// rewriting node finds everything held. Closing lets it all go as it was: finished blocks stay
// finished, a failed shop not written keeps its rounds and is free again.
TEST(PgStoreTest, ARewritingNodeWritesOnlyWhatNoOtherNodeHolds) {
  const std::string uri = FreshDatabase();
  PgStoreSettings settings = QuickSettings();
  settings.lease = std::chrono::milliseconds(600000);
  settings.renewEvery = std::chrono::milliseconds(1000);
  settings.failedRetryDelay = std::chrono::hours(1);
  {
    auto first = WalkingPgStore(uri, Range(1, 40), settings);
    ASSERT_TRUE(first);
    WalkStore(*first, [](PgStore& s, const WorkSource::Next& next) {
      if (next.shopId % 4 == 0) {
        s.Failed({next.shopId, 5, "timeout"});
      } else {
        s.Answered(next.shopId, ShopOutcome::NoShop);
      }
    });
  }
  pg::Connection connection = Connect(uri);
  ASSERT_TRUE(
      connection.Execute("UPDATE shopwalk.failed_shops SET due_at = now() "
                         "WHERE shop_id = 4"));
  // A walking node of the next walk holds failed shop 4 and the block 41-50.
  auto walking = WalkingPgStore(uri, Range(41, 50), settings);
  ASSERT_TRUE(walking);
  const std::vector<std::int32_t> handed = WalkStore(
      *walking, [](PgStore&, const WorkSource::Next&) {}, 2);
  ASSERT_EQ(handed, (std::vector<std::int32_t>{4, 41}));

  auto opened = PgStore::OpenForRewriting(uri, settings);
  ASSERT_TRUE(opened) << opened.error().reason;
  PgStore& rewriting = **opened;
  EXPECT_EQ(rewriting.NextShop().kind, WorkSource::Next::Kind::End);
  const auto claim = rewriting.ClaimToRewrite(1, 60);
  ASSERT_TRUE(claim) << claim.error().reason;
  auto spans = [](const std::vector<SharedWalk::IdRange>& ranges) {
    std::vector<std::pair<std::int32_t, std::int32_t>> out;
    for (const SharedWalk::IdRange& range : ranges) out.emplace_back(range.first, range.last);
    return out;
  };
  using Spans = std::vector<std::pair<std::int32_t, std::int32_t>>;
  EXPECT_EQ(spans(claim->held), (Spans{{1, 3}, {5, 40}}));
  EXPECT_EQ(spans(claim->busy), (Spans{{4, 4}, {41, 50}}));

  rewriting.RowAppended(SampleRecord(8));  // a failed shop it holds
  rewriting.Answered(2, ShopOutcome::NoFields);
  rewriting.RowAppended(SampleRecord(4));   // the walking node's failed shop
  rewriting.RowAppended(SampleRecord(45));  // the walking node's block
  ASSERT_TRUE(rewriting.Flush(Patience));
  EXPECT_EQ(rewriting.Counters().reportsNotHeld, 2u);
  EXPECT_EQ(QueryInts(connection, "SELECT shop_id FROM shopwalk.shops"),
            (std::vector<std::int64_t>{8}));
  EXPECT_EQ(QueryInt(connection, "SELECT outcome FROM shopwalk.outcomes WHERE shop_id = 2"), 2);

  // Another rewriting node finds it all held.
  {
    auto second = PgStore::OpenForRewriting(uri, settings);
    ASSERT_TRUE(second);
    const auto none = (*second)->ClaimToRewrite(1, 60);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->held.empty());
    EXPECT_EQ(spans(none->busy), (Spans{{1, 50}}));
  }
  opened->reset();

  EXPECT_EQ(QueryInt(connection,
                     "SELECT count(*) FROM shopwalk.blocks WHERE last_id <= 40 AND "
                     "(done_at IS NULL OR lease_until IS NOT NULL)"),
            0);
  EXPECT_EQ(QueryInts(connection,
                      "SELECT shop_id FROM shopwalk.failed_shops WHERE "
                      "retry_node IS NULL AND retry_rounds = 0 ORDER BY shop_id"),
            (std::vector<std::int64_t>{12, 16, 20, 24, 28, 32, 36, 40}));
  // The walking node still holds its own, and finishes them.
  EXPECT_EQ(QueryInt(connection,
                     "SELECT count(*) FROM shopwalk.failed_shops WHERE shop_id = 4 AND "
                     "retry_until > now()"),
            1);
  walking->RowAppended(SampleRecord(4, "walked"));
  walking->Answered(41, ShopOutcome::NoShop);
  ASSERT_TRUE(walking->Flush(Patience));
  EXPECT_EQ(QueryInts(connection, "SELECT shop_id FROM shopwalk.shops ORDER BY shop_id"),
            (std::vector<std::int64_t>{4, 8}));
  EXPECT_EQ(walking->Counters().reportsNotHeld, 0u);
}

// A retried failed shop's answer may wait in the queue (the place delay) longer than a lease:
// the node keeps renewing the shop's lease until the answer is written, so no other node claims
// the shop meanwhile.
TEST(PgStoreTest, AFailedShopsLeaseIsRenewedWhileItsAnswerWaitsToBeWritten) {
  const std::string uri = FreshDatabase();
  {
    PgStoreSettings first = QuickSettings();
    first.failedRetryDelay = std::chrono::hours(1);
    auto store = WalkingPgStore(uri, Range(1, 10), first);
    ASSERT_TRUE(store);
    WalkStore(*store, [](PgStore& s, const WorkSource::Next& next) {
      if (next.shopId == 4) {
        s.Failed({next.shopId, 5, "timeout"});
      } else {
        s.Answered(next.shopId, ShopOutcome::NoShop);
      }
    });
  }
  pg::Connection connection = Connect(uri);
  ASSERT_TRUE(connection.Execute("UPDATE shopwalk.failed_shops SET due_at = now()"));

  PgStoreSettings settings = QuickSettings();
  // The answer waits for a flush.
  settings.placeDelay = std::chrono::hours(1);
  results::WalkRequest next;
  next.count = 10;
  auto store = WalkingPgStore(uri, next, settings);
  ASSERT_TRUE(store);
  WorkSource::Next given;
  const auto deadline = std::chrono::steady_clock::now() + Patience;
  while (!given.retryOfFailed && std::chrono::steady_clock::now() < deadline) {
    given = store->NextShop();
    ASSERT_NE(given.kind, WorkSource::Next::Kind::End);
  }
  ASSERT_TRUE(given.retryOfFailed);
  ASSERT_EQ(given.shopId, 4);
  store->Answered(4, ShopOutcome::NoShop);
  // Wait on the server's time until the lease taken at the claim would have run out.
  const std::int64_t claimedUntil =
      QueryInt(connection,
               "SELECT (extract(epoch FROM retry_until) * 1000)::bigint FROM "
               "shopwalk.failed_shops WHERE shop_id = 4");
  while (QueryInt(connection, "SELECT (extract(epoch FROM now()) * 1000)::bigint") <=
             claimedUntil &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(QueryInt(connection,
                     "SELECT count(*) FROM shopwalk.failed_shops WHERE shop_id = 4 "
                     "AND retry_until > now()"),
            1)
      << "the lease ran out while the answer waited";
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.failed_shops"), 0);
  EXPECT_EQ(store->Counters().leasesLost, 0u);
}

TEST(PgStoreTest, BytesComeBackExactlyThroughTheStore) {
  const std::string uri = FreshDatabase();
  auto store = WalkingPgStore(uri, Range(1, 10));
  ASSERT_TRUE(store);
  std::vector<ShopRecord> reported;
  WalkStore(*store, [&](PgStore& s, const WorkSource::Next& next) {
    ShopRecord record = SampleRecord(next.shopId);
    if (next.shopId == 4) record = ShopRecord{4, "", "", "", "", ""};
    if (next.shopId == 5) record.name += std::string(100000, '\x80');
    if (next.shopId == 6) record.messenger = std::string("\0\0\xff\xfe", 4);
    reported.push_back(record);
    s.RowAppended(record);
  });
  store->BeginRun(RunKind::CommandLine, std::string("\xb5\xea\x81", 3));
  store->Failed({3, 1, "late"});  // already answered under a finished block: not held
  ASSERT_TRUE(store->Flush(Patience));
  std::vector<ShopRecord> rows = test::AllRows(*store);
  EXPECT_EQ(test::RecordTexts(rows), test::RecordTexts(reported));
  EXPECT_EQ(store->Counters().reportsNotHeld, 1u);

  // A failure's reason as bytes.
  const std::string uri2 = FreshDatabase();
  auto failing = WalkingPgStore(uri2, Range(1, 1));
  ASSERT_TRUE(failing);
  const std::string reason = std::string("\xc1\xac\xbd\xd3\x00\xff", 6);
  WalkStore(
      *failing,
      [&](PgStore& s, const WorkSource::Next& next) {
        s.Failed({next.shopId, 3, reason});
      },
      1);
  ASSERT_TRUE(failing->Flush(Patience));
  const StoreSummary summary = failing->Summary().value();
  ASSERT_EQ(summary.failureReasons.size(), 1u);
  EXPECT_EQ(summary.failureReasons[0].first, reason);
}

TEST(PgStoreTest, ReportsWaitThroughAStoppedServerAndLandOnce) {
  test::PostgresServer server;
  ASSERT_EQ(server.Start(), "");
  const std::string uri = FreshDatabase(server);
  PgStoreSettings settings = QuickSettings();
  settings.maxWaitingReports = 5;
  settings.lease = std::chrono::milliseconds(30000);
  settings.renewEvery = std::chrono::milliseconds(300);
  auto store = WalkingPgStore(uri, Range(1, 60), settings);
  ASSERT_TRUE(store);
  test::StoreWatcher watcher(*store);
  std::vector<std::int32_t> ids = WalkStore(
      *store, [](PgStore&, const WorkSource::Next&) {}, 12);
  ASSERT_EQ(ids.size(), 12u);

  ASSERT_EQ(server.Stop(), "");
  EXPECT_FALSE(store->Congested());
  for (std::int32_t id : ids) {
    if (id % 2 == 0) {
      store->RowAppended(SampleRecord(id));
    } else {
      store->Answered(id, ShopOutcome::NoShop);
    }
  }
  // The writer holds one batch; the rest wait, more than the setting allows.
  ASSERT_TRUE(WaitUntil([&] { return store->Congested(); }, Patience));
  EXPECT_TRUE(watcher.WaitForTrouble(StoreProblem::Kind::Other));
  std::vector<std::int32_t> rowIds;
  std::copy_if(ids.begin(), ids.end(), std::back_inserter(rowIds),
               [](std::int32_t id) { return id % 2 == 0; });
  ASSERT_FALSE(rowIds.empty());
  // The trouble told first may be the keeper's (its claims fail too): the writer's own comes
  // once its next write has failed.
  ASSERT_TRUE(WaitUntil([&] { return store->Backlog().problem.has_value(); }, Patience));
  const StoreBacklog waiting = store->Backlog();
  EXPECT_GE(waiting.reports, ids.size());
  EXPECT_EQ(waiting.rows, rowIds.size());
  EXPECT_EQ(waiting.lowestRow, *std::min_element(rowIds.begin(), rowIds.end()));
  EXPECT_EQ(waiting.highestRow, *std::max_element(rowIds.begin(), rowIds.end()));
  EXPECT_TRUE(waiting.problem.has_value());
  EXPECT_FALSE(store->Flush(std::chrono::milliseconds(200)));
  // No work is handed out while the server is out of reach.
  ASSERT_TRUE(
      WaitUntil([&] { return store->NextShop().kind == WorkSource::Next::Kind::Wait; }, Patience));

  ASSERT_EQ(server.Start(), "");
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_FALSE(store->Congested());
  EXPECT_EQ(store->Backlog().reports, 0u);
  EXPECT_EQ(store->Backlog().rows, 0u);
  EXPECT_TRUE(watcher.WaitForRecovery());
  EXPECT_EQ(watcher.DurableRows(), 6u);

  // The rest of the walk, through a crash and restart of the server in the middle.
  std::atomic<bool> walking{true};
  std::vector<std::int32_t> rest;
  std::thread walker([&] {
    rest = WalkStore(*store, MixedAnswer, SIZE_MAX, std::chrono::seconds(120));
    walking = false;
  });
  ASSERT_TRUE(WaitUntil([&] { return !walking || store->Counters().blocksDone >= 2; }, Patience));
  const std::size_t toldBefore = watcher.Told().size();
  EXPECT_EQ(server.Stop(test::PostgresServer::StopMode::Immediate), "");
  // The server comes back once the store has met the crash (or the walk is over).
  EXPECT_TRUE(WaitUntil(
      [&] {
        const auto told = watcher.Told();
        return !walking || (told.size() > toldBefore && told.back().has_value());
      },
      Patience));
  EXPECT_EQ(server.Start(), "");
  walker.join();
  ASSERT_TRUE(store->Flush(Patience));

  pg::Connection connection = Connect(uri);
  EXPECT_EQ(QueryInts(connection, "SELECT shop_id FROM shopwalk.outcomes ORDER BY shop_id"),
            Sequence(1, 60));
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.shops WHERE shop_id <= 12"), 6);
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.blocks WHERE done_at IS NULL"), 0);
  EXPECT_EQ(store->Counters().reportsNotHeld, 0u);
  // Every ID handed out once (retried failures twice).
  std::map<std::int32_t, int> times;
  for (std::int32_t id : ids) ++times[id];
  for (std::int32_t id : rest) ++times[id];
  for (std::int32_t id = 1; id <= 60; ++id) {
    EXPECT_EQ(times[id], id > 12 && id % 10 == 7 && id % 3 != 0 ? 2 : 1) << id;
  }
}

TEST(PgStoreTest, RunsBelongToTheNodeAndNothingIsOfferedForRecovery) {
  const std::string uri = FreshDatabase();
  auto store = WalkingPgStore(uri, Range(1, 5));
  ASSERT_TRUE(store);
  store->BeginRun(RunKind::CommandLine, "0");
  WalkStore(*store);
  store->PlaceMoved("5");
  EXPECT_FALSE(store->Interrupted(RunKind::CommandLine).value());
  store->EndRun(true);
  ASSERT_TRUE(store->Flush(Patience));
  pg::Connection connection = Connect(uri);
  EXPECT_EQ(QueryInt(connection,
                     "SELECT count(*) FROM shopwalk.runs WHERE clean_end AND "
                     "place = '5' AND place_saved AND node_id = $1",
                     pg::Params().Int(store->NodeId())),
            1);
  EXPECT_EQ(store->LastPlace(RunKind::CommandLine).value(), "5");
  EXPECT_EQ(store->Summary().value().runs, 1u);

  // A reading copy refuses reports and says so, and hands out nothing.
  auto reading = PgStore::OpenForReading(uri);
  ASSERT_TRUE(reading);
  test::StoreWatcher watcher(**reading);
  (*reading)->Answered(99, ShopOutcome::NoShop);
  EXPECT_TRUE(watcher.WaitForTrouble(StoreProblem::Kind::NotWritable));
  EXPECT_FALSE((*reading)->Flush(std::chrono::milliseconds(100)));
  EXPECT_EQ((*reading)->NextShop().kind, WorkSource::Next::Kind::End);
  EXPECT_EQ((*reading)->Summary().value().rows, 0u);
  EXPECT_EQ(QueryInt(connection, "SELECT count(*) FROM shopwalk.outcomes"), 5);
}

// Another role of the database, given CREATE on public, plants there functions and an operator
// that PostgreSQL would pick over its own for a call without a schema (nextval('...'), whose
// text argument fits public.nextval(text) better) or an operator whose operands need a cast:
// each raises an error when it runs. The walk's claims, leases, failure records and status
// are unaffected.
TEST(PgStoreTest, FunctionsPlantedInPublicByAnotherRoleNeverRun) {
  const std::string uri = FreshDatabase();
  const std::string database = uri.substr(uri.rfind('/') + 1);
  const std::string role = "planter_" + database;
  pg::Connection admin = Connect(uri);
  ASSERT_TRUE(
      admin.Execute("CREATE ROLE " + role + " LOGIN; GRANT CREATE ON SCHEMA public TO " + role));
  const std::size_t user = uri.find("://") + 3;
  pg::Connection planter = Connect(uri.substr(0, user) + role + uri.substr(uri.find('@')));
  ASSERT_TRUE(planter.Execute(R"sql(
    CREATE FUNCTION public.nextval(text) RETURNS bigint LANGUAGE plpgsql
      AS $$BEGIN RAISE EXCEPTION 'planted nextval ran'; END$$;
    CREATE FUNCTION public.now() RETURNS timestamptz LANGUAGE plpgsql
      AS $$BEGIN RAISE EXCEPTION 'planted now ran'; END$$;
    CREATE FUNCTION public.times(numeric, integer) RETURNS numeric LANGUAGE plpgsql
      AS $$BEGIN RAISE EXCEPTION 'planted * ran'; END$$;
    CREATE OPERATOR public.* (LEFTARG = numeric, RIGHTARG = integer, FUNCTION = public.times);
  )sql"));
  // They are in the way of statements that do not name pg_catalog.
  const pg::Status shadowed = admin.Execute("SELECT nextval('shopwalk_sequence')");
  EXPECT_NE(shadowed.Message().find("planted nextval ran"), std::string::npos)
      << shadowed.Describe();

  // Failures stay recorded (their retry is an hour away).
  PgStoreSettings settings = QuickSettings();
  settings.failedRetryDelay = std::chrono::hours(1);
  auto store = WalkingPgStore(uri, Range(1, 57), settings);
  ASSERT_TRUE(store);
  test::StoreWatcher watcher(*store);
  const std::vector<std::int32_t> handedOut = WalkStore(*store, MixedAnswer, SIZE_MAX, Patience);
  ASSERT_TRUE(store->Flush(Patience));
  for (const std::optional<StoreProblem>& problem : watcher.Told()) {
    EXPECT_FALSE(problem) << problem->reason;
  }
  EXPECT_EQ(handedOut.size(), 57u);
  EXPECT_EQ(QueryInts(admin, "SELECT shop_id FROM shopwalk.outcomes ORDER BY shop_id"),
            Sequence(1, 57));
  EXPECT_EQ(QueryInt(admin, "SELECT count(*) FROM shopwalk.shops"), 19);
  // Every claim took an epoch of its own, and every block was finished.
  EXPECT_EQ(QueryInt(admin, "SELECT count(DISTINCT epoch) FROM shopwalk.blocks"), 6);
  EXPECT_EQ(QueryInt(admin, "SELECT count(*) FROM shopwalk.blocks WHERE done_at IS NULL"), 0);
  // 7, 17, 37 and 47 failed (27 and 57 made rows), each at a position of its own, due an hour
  // after it failed.
  EXPECT_EQ(QueryInts(admin, "SELECT shop_id FROM shopwalk.failed_shops ORDER BY position"),
            (std::vector<std::int64_t>{7, 17, 37, 47}));
  EXPECT_EQ(QueryInt(admin,
                     "SELECT count(*) FROM shopwalk.failed_shops "
                     "WHERE due_at - failed_at >= interval '59 minutes'"),
            4);
  EXPECT_EQ(QueryInt(admin, "SELECT count(*) FROM shopwalk.runs"), 0);

  const StoreSummary summary = store->Summary().value();
  const std::optional<SharedWalkSummary> sharedWalk = store->WalkSummary().value();
  EXPECT_EQ(summary.failed, 4u);
  ASSERT_TRUE(sharedWalk);
  EXPECT_EQ(sharedWalk->failedWaiting, 4u);
  ASSERT_EQ(sharedWalk->nodes.size(), 1u);
  EXPECT_GT(sharedWalk->nodes[0].lastSeenUnixMs, 0);
  // A run and its place.
  store->BeginRun(RunKind::CommandLine, "57");
  store->EndRun(true);
  ASSERT_TRUE(store->Flush(Patience));
  EXPECT_EQ(QueryInt(admin, "SELECT count(*) FROM shopwalk.runs WHERE ended_at IS NOT NULL"), 1);
}

// Rows written by someone else with IDs beyond 32 bits (2^32 + 7 would read as 7): reading them is
// a failure, and a block holding such IDs is said to be in trouble, never walked.
TEST(PgStoreTest, ShopIdsOutOfRangeInTheDatabaseAreFailuresNotCut) {
  const std::string uri = FreshDatabase();
  {
    auto store = WalkingPgStore(uri, Range(1, 20));
    ASSERT_TRUE(store);
    WalkStore(*store, MixedAnswer, SIZE_MAX, Patience);
    ASSERT_TRUE(store->Flush(Patience));
  }
  pg::Connection connection = Connect(uri);
  ASSERT_TRUE(connection.Execute(
      "INSERT INTO shopwalk.shops VALUES (4294967303, 'planted', '', '', '', '', now()); "
      "INSERT INTO shopwalk.outcomes (shop_id, outcome, answered_at) "
      "VALUES (4294967303, 0, now())"));
  auto reading = PgStore::OpenForReading(uri, QuickSettings());
  ASSERT_TRUE(reading);
  std::vector<std::int32_t> ids;
  const auto read = (*reading)->ForEachRow([&](const ShopRecord& record) {
    ids.push_back(record.shopId);
    EXPECT_NE(record.name, "planted") << record.shopId;
  });
  EXPECT_EQ(ids, (std::vector<std::int32_t>{3, 6, 9, 12, 15, 18}));
  // The read stops there and says why, as does the summary: the walked range cannot be told
  // (rather than ending at 7).
  ASSERT_FALSE(read);
  EXPECT_NE(read.error().reason.find("4294967303"), std::string::npos) << read.error().reason;
  const auto summary = (*reading)->Summary();
  ASSERT_FALSE(summary);
  EXPECT_NE(summary.error().reason.find("4294967303"), std::string::npos) << summary.error().reason;

  // A block of such IDs whose lease ran out: the next node says it cannot walk it.
  ASSERT_TRUE(connection.Execute(
      "DELETE FROM shopwalk.outcomes WHERE shop_id > 2147483647; "
      "DELETE FROM shopwalk.shops WHERE shop_id > 2147483647; "
      "INSERT INTO shopwalk.blocks (walk_id, first_id, last_id, node_id, epoch, lease_until) "
      "SELECT walk_id, 4294967290, 4294967303, NULL, 1, '-infinity' FROM shopwalk.walks"));
  results::WalkRequest next;
  next.count = 10;
  auto store = WalkingPgStore(uri, next);
  ASSERT_TRUE(store);
  test::StoreWatcher watcher(*store);
  ASSERT_TRUE(watcher.WaitForTrouble(StoreProblem::Kind::Other));
  bool named = false;
  for (const std::optional<StoreProblem>& problem : watcher.Told()) {
    if (problem && problem->reason.find("4294967290") != std::string::npos) named = true;
  }
  EXPECT_TRUE(named);
  // What it walks meanwhile is the new walk's.
  for (std::int32_t id : WalkStore(*store, MixedAnswer, 10, Patience)) {
    EXPECT_TRUE(id >= 21 && id <= 30) << id;
  }
}

// Reads while the server is down return its problem, each of them, rather than an empty store;
// once the server is back the next read opens a new connection and answers.
TEST(PgStoreTest, ReadsWhileTheServerIsDownReturnItsProblemAndAnswerOnceItIsBack) {
  test::PostgresServer server;
  ASSERT_EQ(server.Start(), "");
  const std::string uri = FreshDatabase(server);
  {
    auto store = WalkingPgStore(uri, Range(1, 20));
    ASSERT_TRUE(store);
    WalkStore(*store, MixedAnswer, SIZE_MAX, Patience);
    ASSERT_TRUE(store->Flush(Patience));
  }
  auto reading = PgStore::OpenForReading(uri, QuickSettings());
  ASSERT_TRUE(reading) << reading.error().reason;
  PgStore& store = **reading;
  ASSERT_EQ(store.Summary().value().rows, 6U);

  ASSERT_EQ(server.Stop(), "");
  std::vector<StoreProblem> problems;
  auto keep = [&problems](const auto& read) {
    EXPECT_FALSE(read);
    if (!read) problems.push_back(read.error());
  };
  keep(store.ForEachRow([](const ShopRecord&) {}));
  keep(store.Summary());
  keep(store.LastPlace(RunKind::CommandLine));
  keep(store.ReadFailedShops());
  keep(store.WalkSummary());
  for (const StoreProblem& problem : problems) {
    EXPECT_EQ(problem.kind, StoreProblem::Kind::Other);
    EXPECT_EQ(problem.path, uri);
    EXPECT_EQ(problem.reason.rfind("reading ", 0), 0U) << problem.reason;
  }

  ASSERT_EQ(server.Start(), "");
  const auto summary = store.Summary();
  ASSERT_TRUE(summary) << summary.error().reason;
  EXPECT_EQ(summary->rows, 6U);
  EXPECT_EQ(store.WalkSummary().value()->place, 20);
}

TEST(PgStoreTest, BadOpeningsFailWithWords) {
  test::PostgresServer stopped;
  PgStoreSettings settings = QuickSettings();
  auto opening = PgStore::OpenForWalking(stopped.Uri(), {}, settings);
  ASSERT_FALSE(opening);
  EXPECT_EQ(opening.error().kind, StoreProblem::Kind::Other);
  EXPECT_FALSE(opening.error().reason.empty());
  EXPECT_FALSE(PgStore::OpenForWalking("", {}, settings));

  const std::string uri = FreshDatabase();
  results::WalkRequest backwards = Range(100, 50);
  opening = PgStore::OpenForWalking(uri, backwards, settings);
  ASSERT_FALSE(opening);
  EXPECT_NE(opening.error().reason.find("below"), std::string::npos) << opening.error().reason;

  // Settings out of bounds are made sound.
  PgStoreSettings odd;
  odd.blockSize = -5;
  odd.lease = std::chrono::milliseconds(1);
  odd.renewEvery = std::chrono::milliseconds(100000);
  odd.failedRetryRounds = 0;
  odd.pacedRate = -3;
  const PgStoreSettings sound = odd.Normalized();
  EXPECT_EQ(sound.blockSize, 1);
  EXPECT_GE(sound.lease, std::chrono::milliseconds(300));
  EXPECT_LE(sound.renewEvery * 3, sound.lease);
  EXPECT_EQ(sound.failedRetryRounds, 1);
  EXPECT_EQ(sound.pacedRate, 0);
}

}  // namespace
}  // namespace shopwalk
