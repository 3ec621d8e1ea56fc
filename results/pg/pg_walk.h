// The statements of a walk shared by several machines through one PostgreSQL database: joining
// the walk, registering a node, claiming work under leases, renewing and releasing them, and
// writing what the walk found fenced by the lease it was found under.
//
// Work is shared by leases. The ID range is handed out in blocks from a shared cursor; a failed
// shop due for a retry is claimed on its own. Every claim takes a new epoch from one sequence,
// and every write of a row or an outcome checks, in the same statement, that the block (or the
// failed shop) still has that epoch: a node that froze and woke after its lease was taken over
// writes nothing. Writes are idempotent (one row and one outcome per shop, upserted), so a block
// finished twice still holds one row per shop.
//
// Every function runs on the connection it is given, in the caller's transaction if one is open,
// and returns what it found or the database's failure (an Expected: never both, so nothing is
// read from a call that failed); none keeps state between calls. Where the value is itself
// "nothing" or false (no block to claim, a write whose lease was lost), the call still succeeded:
// test the result for failure first, then its value.
//
// Others may create objects in a schema on the search path (public): every function the
// statements call is named with its schema (pg_catalog.now(), pg_catalog.nextval(...)), and
// every operator has operands of the types a pg_catalog operator takes exactly (which PostgreSQL
// then picks before any other, pg_catalog being searched first). Nothing relies on a session
// setting such as search_path: a transaction-pooling proxy in front of the server keeps none.
//
// Values read back are checked where a wrong one would do harm: a shop ID outside 0 to
// HighestShopId (written by someone else) is a failure with BadValueState, never cut to 32 bits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/expected.h"
#include "collect/result_sink.h"
#include "collect/shop_record.h"
#include "results/page_packer.h"
#include "results/pg/pg.h"
#include "results/report.h"

namespace shopwalk::results {

// The highest shop ID there is.
inline constexpr std::int64_t HighestShopId = 2147483647;
// The SQLSTATE of a walk request that cannot be met (a class of our own).
inline constexpr const char* RefusedWalkState = "SW002";
// The SQLSTATE of a value read from the database that cannot be right (a class of our own).
inline constexpr const char* BadValueState = "SW003";

// `value`, read from `where` ("shopwalk.shops" or the like), as a shop ID; a failure with
// BadValueState naming the value and where it was read when it is outside 0 to HighestShopId.
Expected<std::int32_t, pg::Status> ReadShopId(std::int64_t value, const char* where);

// What a node asks of the walk it joins (the command line's --from, --to and --count).
//
// The database holds one current walk. A node joins it while it is unfinished; otherwise (no walk
// yet, or the last one finished) the node begins a new one.
//  - The first ID: `from` of the node that begins the walk; without it, the ID after the end of
//    the walk before; without one, `defaultFirst`. A node joining an existing walk cannot move
//    its start: its `from` is ignored (and said so in JoinedWalk::fromIgnored).
//  - The shared end: `to`, or `count` IDs counted from the walk's first ID (so nodes started with
//    the same command line agree on one end); `to` wins when both are given. A node that gives an
//    end sets the shared end to it, the latest word winning, except that it never drops below the
//    IDs already handed out (then the walk ends after them). An end below the walk's first ID is
//    refused. A node that gives no end leaves the shared end as it is; a walk begun without an end
//    goes on up to the highest shop ID.
struct WalkRequest {
  std::optional<std::int64_t> from;
  std::optional<std::int64_t> to;
  std::optional<std::int64_t> count;
  std::int64_t defaultFirst = 1;
  // The block size of a new walk (an existing walk keeps its own).
  int blockSize = 1000;
};

// The walk a node joined.
struct JoinedWalk {
  std::int64_t walkId = 0;
  std::int64_t firstId = 0;
  // The shared end after joining; nothing: up to the highest shop ID.
  std::optional<std::int64_t> endId;
  int blockSize = 0;
  // This node began the walk.
  bool created = false;
  // `from` was given but the walk existed already, with another first ID.
  bool fromIgnored = false;
};

// Work held by a node.
struct Lease {
  enum class Kind { Block, FailedShop };
  Kind kind = Kind::Block;
  // The block (0 for a failed shop).
  std::int64_t blockId = 0;
  // The block's walk (a failed shop: the walk of its outcome, 0 when none).
  std::int64_t walkId = 0;
  // The IDs it covers, both included; a failed shop's ID twice.
  std::int64_t firstId = 0;
  std::int64_t lastId = 0;
  std::int64_t epoch = 0;
};

// Joins the current walk or begins a new one (see WalkRequest), in a transaction of its own under
// an advisory lock, so that nodes starting together agree on one walk. A request that cannot be
// met (a first ID or end out of range, an end below the first ID, a walk that reached the highest
// shop ID) fails with RefusedWalkState and a sentence for the user.
Expected<JoinedWalk, pg::Status> JoinWalk(pg::Connection& connection, const WalkRequest& request);

// Registers a node of `walkId` for status displays; `host` is kept in printable ASCII. The node's
// ID.
Expected<std::int64_t, pg::Status> RegisterNode(pg::Connection& connection, std::int64_t walkId,
                                                const std::string& host, std::int64_t pid,
                                                double pacedRate);
// The node is alive: its last-seen time and its measured rate (IDs answered a second).
pg::Status NodeSeen(pg::Connection& connection, std::int64_t nodeId, double rate);
pg::Status NodeStopped(pg::Connection& connection, std::int64_t nodeId);

// Claims, each in one statement (SELECT ... FOR UPDATE SKIP LOCKED, or one atomic update of the
// cursor), so two nodes never hold one block or one failed shop. `leaseMs` is the lease's length.
// A claimed block or failed shop with IDs outside 0 to HighestShopId (or a block ending before it
// starts) is a failure with BadValueState; the bad block or failed shop stays claimed (out of
// the way until its lease expires), so that the node's next claims find other work.
//
// A block of any walk whose lease expired (its holder died, hung, or let it go); nothing when
// none did.
Expected<std::optional<Lease>, pg::Status> ClaimExpiredBlock(pg::Connection& connection,
                                                             std::int64_t nodeId,
                                                             std::int64_t leaseMs);
// Up to `limit` failed shops due for a retry (oldest failure first) that were claimed fewer than
// `maxRounds` times and whose retry lease, if any, expired. Each claim counts as a round. When
// one of them has a bad ID, the others claimed with it are let go at once with their round given
// back (a claim the caller never learns of would hold them and spend their rounds unseen).
Expected<std::vector<Lease>, pg::Status> ClaimFailedShops(pg::Connection& connection,
                                                          std::int64_t nodeId, std::int64_t leaseMs,
                                                          int maxRounds, int limit);
// The next new block of `walkId` from its shared cursor; nothing when the cursor passed the end.
Expected<std::optional<Lease>, pg::Status> ClaimNewBlock(pg::Connection& connection,
                                                         std::int64_t walkId, std::int64_t nodeId,
                                                         std::int64_t leaseMs);
// The IDs of a block that have an outcome in its walk already (a re-claimed block skips them), in
// order.
Expected<std::vector<std::int64_t>, pg::Status> AnsweredIds(pg::Connection& connection,
                                                            const Lease& block);

// Extends the leases with these epochs that the node still holds; the epochs it kept. A held
// epoch missing from them was taken over (or its work finished elsewhere).
Expected<std::vector<std::int64_t>, pg::Status> RenewLeases(
    pg::Connection& connection, std::int64_t nodeId, std::int64_t leaseMs,
    const std::vector<std::int64_t>& blockEpochs, const std::vector<std::int64_t>& failedEpochs);
// Lets leases go at once, for any node to claim: blocks, failed shops tried already (their round
// counts), and failed shops not handed out yet (their round is given back).
pg::Status ReleaseLeases(pg::Connection& connection, std::int64_t nodeId,
                         const std::vector<std::int64_t>& blockEpochs,
                         const std::vector<std::int64_t>& triedFailedEpochs,
                         const std::vector<std::int64_t>& untriedFailedEpochs);

// Rewriting what walks found (reparse): a node that claims no blocks of its own takes leases on
// the IDs it writes again, beside the walking nodes, and they fence its writes as any node's.
//
// The ID of the latest walk; nothing when no walk was ever begun.
Expected<std::optional<std::int64_t>, pg::Status> LatestWalkId(pg::Connection& connection);
// What ClaimToRewrite took, and what it left to others.
struct RewriteLeases {
  // Blocks of any walk overlapping the range: finished ones (their epoch changes; they stay
  // finished and keep their node), and unfinished ones whose lease ran out (held as a claim of
  // the node, like ClaimExpiredBlock's).
  std::vector<Lease> blocks;
  // Failed shops in the range that no node is trying again (no round is spent on them).
  std::vector<Lease> failedShops;
  // IDs (both ends included, within the range) held by another node under a lease that has not
  // run out: its blocks, and failed shops it is trying again.
  std::vector<std::pair<std::int64_t, std::int64_t>> busy;
};
// Claims, in one transaction, the blocks and failed shops of IDs `from` to `to` that no other
// node holds, for `leaseMs`. Waits for a node's transaction writing under one of them; a block or
// failed shop with an ID out of range is a failure with BadValueState (nothing is claimed).
Expected<RewriteLeases, pg::Status> ClaimToRewrite(pg::Connection& connection, std::int64_t nodeId,
                                                   std::int64_t leaseMs, std::int64_t from,
                                                   std::int64_t to);
// Extends the rewriting leases with these epochs; the epochs still held.
Expected<std::vector<std::int64_t>, pg::Status> RenewRewriteLeases(
    pg::Connection& connection, std::int64_t leaseMs, const std::vector<std::int64_t>& blockEpochs,
    const std::vector<std::int64_t>& failedEpochs);
// Lets rewriting leases go: a finished block is finished as before, an unfinished one is free for
// any node to claim at once (its answered IDs are skipped), a failed shop not written is due as it
// was, with the rounds it had.
pg::Status ReleaseRewriteLeases(pg::Connection& connection,
                                const std::vector<std::int64_t>& blockEpochs,
                                const std::vector<std::int64_t>& failedEpochs);

// Marks a block done when every ID in it has an outcome of its walk, fenced by its epoch.
struct BlockFinish {
  enum class Kind {
    Done,     // done (now or before)
    Lost,     // the block has another epoch now: the node no longer holds it
    Missing,  // still held, but `missing` lack an outcome
  };
  Kind kind = Kind::Done;
  std::vector<std::int64_t> missing;
};
Expected<BlockFinish, pg::Status> FinishBlock(pg::Connection& connection, const Lease& block);

// Whether walk `walkId` is over: its cursor passed its end and every block is done (then it is
// marked finished). A walk without an end is over once its cursor passed the highest shop ID.
Expected<bool, pg::Status> WalkOver(pg::Connection& connection, std::int64_t walkId);

// Whether some node is trying a failed shop again under a lease that has not expired (its answer
// may make the shop due once more), or a mark to revisit is due (a mark written just after a look
// for work may have made it so).
Expected<bool, pg::Status> FailedShopsInRetry(pg::Connection& connection);

// Locks the leases a transaction is about to write under, blocks before failed shops and each in
// ID order, so that writes and renewals (which lock in the same order) never deadlock.
pg::Status LockLeasesForWriting(pg::Connection& connection,
                                const std::vector<std::int64_t>& blockIds,
                                const std::vector<std::int64_t>& failedShopIds);

// Fenced writes: each writes only while `lease` (a block holding the shop's ID, or the failed
// shop itself) still has its epoch, and says whether it did (true: the lease held and the write
// landed; false: the node no longer holds the lease and nothing was written). Under a failed shop's
// lease the write also ends the lease (the shop leaves the failed list, or is recorded failed
// again with its next retry due `retryDelayMs` later).
//
// A row: the shop's row (upserted, its changes recorded as made by `source`, its times `unixMs`,
// the server's now without it) and its outcome; the shop leaves the failed list.
Expected<bool, pg::Status> WriteRow(pg::Connection& connection, const Lease& lease,
                                    const ShopRecord& record,
                                    ChangeSource source = ChangeSource::Walk,
                                    std::optional<std::int64_t> unixMs = std::nullopt);
// A listed shop answered "no such shop": its row is marked closed (checked and closed at
// `unixMs`, the server's now without it; a shop closed already keeps its closing time) by
// `source`; the shop leaves the failed list. A shop without a row is left alone (the write still
// holds).
Expected<bool, pg::Status> WriteClosed(pg::Connection& connection, const Lease& lease,
                                       std::int64_t shopId, ChangeSource source,
                                       std::optional<std::int64_t> unixMs = std::nullopt);
// An answer without a row (NoShop or NoFields; anything else is recorded as Failed); the shop
// leaves the failed list.
Expected<bool, pg::Status> WriteAnswer(pg::Connection& connection, const Lease& lease,
                                       std::int64_t shopId, ShopOutcome outcome);
// A failure for good; the shop is due for a retry `retryDelayMs` later. Failing again under its
// own retry lease keeps the rounds it had.
Expected<bool, pg::Status> WriteFailure(pg::Connection& connection, const Lease& lease,
                                        const FailedShop& shop, std::int64_t retryDelayMs);

// A mark to revisit the shop, written while `lease` holds (as WriteRow): the shop gets a failed
// outcome (its block can finish) and goes on the failed list as a mark (listed with `reason`), due
// at once, its retries not counting as rounds, until a row, an answer or a failure comes.
Expected<bool, pg::Status> WriteRevisit(pg::Connection& connection, const Lease& lease,
                                        std::int64_t shopId, std::string_view reason);
// The same mark for a shop whose lease the node no longer holds (its answer was written before
// the pages were found not to match): never lost, unless another node is trying the shop again
// under a live lease now (its answer decides).
pg::Status MarkToRevisit(pg::Connection& connection, std::int64_t shopId, std::string_view reason);

// A kept page of the shop, written while `lease` holds (a block: its epoch; a failed shop: no
// other node took it over since), replacing the shop's page of its kind. `held` as above;
// `packedDelta`: how the packed bytes kept changed (the tally is the caller's, once a batch).
struct KeptPageWrite {
  bool held = false;
  std::int64_t packedDelta = 0;
};
Expected<KeptPageWrite, pg::Status> WriteKeptPage(pg::Connection& connection, const Lease& lease,
                                                  const PackedPage& page);
// Adds `packedDelta` to the tally of packed bytes kept; then, with a budget (0: none), drops the
// oldest kept pages until the tally fits (never the newest page), counting them as dropped.
pg::Status TallyKeptPages(pg::Connection& connection, std::int64_t packedDelta,
                          std::uint64_t budget);

}  // namespace shopwalk::results
