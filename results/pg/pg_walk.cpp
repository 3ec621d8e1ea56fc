#include "results/pg/pg_walk.h"

#include <algorithm>
#include <limits>
#include <string_view>

namespace shopwalk::results {
namespace {

// Taken (for the transaction) by a node joining or beginning a walk: "swjoin" in ASCII.
constexpr std::int64_t JoinLockKey = 0x73776a6f696e;

// A length in milliseconds as an interval, for a bigint parameter.
#define SW_MS(param) "(" param "::double precision * interval '1 millisecond')"

// The cursor's bound: the walk's end, or the highest shop ID.
#define SW_BOUND(walk) "LEAST(coalesce(" walk ".end_id, 2147483647), 2147483647)"

Unexpected<pg::Status> Refused(const std::string& sentence) {
  return MakeUnexpected(pg::Status(RefusedWalkState, sentence, false));
}

bool IsShopId(std::int64_t id) {
  return id >= 0 && id <= HighestShopId;
}

// Fences, as the first part of a WITH: `lease` has one row (the outcome's walk) while the lease
// holds. $1 the shop ID, $2 the block, $3 the epoch.
//
// A block: read and share-locked, so a claim (which locks it for update) waits for the writing
// transaction, and a write after a claim sees the new epoch.
constexpr std::string_view BlockFence =
    "WITH lease AS (SELECT b.walk_id FROM shopwalk.blocks b WHERE b.block_id = $2 "
    "AND b.epoch = $3 AND b.first_id <= $1 AND $1 <= b.last_id FOR SHARE)";
// A failed shop under its retry lease, for a row or an answer: the write takes it off the
// failed list in the same step. The outcome keeps the walk it had.
constexpr std::string_view FailedShopLeaveFence =
    "WITH lease AS (DELETE FROM shopwalk.failed_shops f WHERE f.shop_id = $1 AND "
    "f.retry_epoch = $3 AND $2::bigint = 0 RETURNING (SELECT o.walk_id FROM shopwalk.outcomes o "
    "WHERE o.shop_id = f.shop_id) AS walk_id)";
// A failed shop failing again under its retry lease: recorded again ($4 tries, $5 the reason, $6
// the delay before the next retry), with the rounds it had.
constexpr std::string_view FailedShopAgainFence =
    "WITH lease AS (UPDATE shopwalk.failed_shops f SET attempts = $4, reason = $5, "
    "failed_at = pg_catalog.now(), position = pg_catalog.nextval('shopwalk.failure_positions'), "
    "due_at = pg_catalog.now() + " SW_MS("$6") ", retry_node = NULL, retry_epoch = NULL, "
    "retry_until = NULL, revisit = false, "
    "retry_rounds = CASE WHEN f.revisit THEN 0 ELSE f.retry_rounds END "
    "WHERE f.shop_id = $1 AND f.retry_epoch = $3 AND $2::bigint = 0 "
    "RETURNING (SELECT o.walk_id FROM shopwalk.outcomes o WHERE o.shop_id = f.shop_id) AS walk_id)";

// The outcome ($1 the shop, `code` the outcome), written under the lease.
std::string OutcomePart(std::string_view code) {
  return ", outcome AS (INSERT INTO shopwalk.outcomes (shop_id, outcome, answered_at, walk_id) "
         "SELECT $1, " +
         std::string(code) +
         ", pg_catalog.now(), lease.walk_id FROM lease ON CONFLICT (shop_id) DO UPDATE SET "
         "outcome = excluded.outcome, answered_at = excluded.answered_at, "
         "walk_id = excluded.walk_id RETURNING 1)";
}

// Under a block's lease: the shop leaves the failed list (whoever tries it again now writes
// nothing: its lease ended with the row).
constexpr std::string_view LeaveFailedList =
    ", unfailed AS (DELETE FROM shopwalk.failed_shops WHERE shop_id = $1 "
    "AND EXISTS (SELECT 1 FROM lease) RETURNING 1)";

// The time of a write: $N in Unix milliseconds, or the server's clock when it is NULL.
#define SW_TIME(param)                             \
  "coalesce(pg_catalog.to_timestamp(" param        \
  "::double precision / 1000::double precision), " \
  "pg_catalog.now())"

// The row ($4 to $8 its fields, $9 what collected it, $10 when): a new shop is first seen and
// changed then; a known one changed then when a field's bytes differ (the history trigger records
// which), and is open again.
constexpr std::string_view ShopPart =
    ", shop AS (INSERT INTO shopwalk.shops AS s (shop_id, name, reputation, messenger, "
    "opening_date, address, collected_at, collected_by, first_seen_at, changed_at) "
    "SELECT $1, $4, $5, $6, $7, $8, " SW_TIME("$10") ", $9::smallint, " SW_TIME("$10") ", "
    SW_TIME("$10") " FROM lease "
    "ON CONFLICT (shop_id) DO UPDATE SET changed_at = CASE WHEN "
    "s.name IS DISTINCT FROM excluded.name OR s.reputation IS DISTINCT FROM excluded.reputation "
    "OR s.messenger IS DISTINCT FROM excluded.messenger "
    "OR s.opening_date IS DISTINCT FROM excluded.opening_date "
    "OR s.address IS DISTINCT FROM excluded.address THEN excluded.collected_at "
    "ELSE s.changed_at END, name = excluded.name, reputation = excluded.reputation, "
    "messenger = excluded.messenger, opening_date = excluded.opening_date, "
    "address = excluded.address, collected_at = excluded.collected_at, "
    "collected_by = excluded.collected_by, closed_at = NULL RETURNING 1)";

// Under a block's lease: recorded failed ($4 tries, $5 the reason, $6 the retry delay), its
// rounds starting again.
constexpr std::string_view EnterFailedList =
    ", failed AS (INSERT INTO shopwalk.failed_shops (shop_id, attempts, reason, failed_at, "
    "position, due_at, retry_rounds) SELECT $1, $4, $5, pg_catalog.now(), "
    "pg_catalog.nextval('shopwalk.failure_positions'), "
    "pg_catalog.now() + " SW_MS("$6") ", 0 FROM lease "
    "ON CONFLICT (shop_id) DO UPDATE SET attempts = excluded.attempts, reason = excluded.reason, "
    "failed_at = excluded.failed_at, position = excluded.position, due_at = excluded.due_at, "
    "retry_rounds = 0, retry_node = NULL, retry_epoch = NULL, retry_until = NULL, "
    "revisit = false RETURNING 1)";

// A mark to revisit ($4 the reason it is listed with): on the failed list, due at once.
constexpr std::string_view MarkValues =
    "SELECT $1, 0, $4, pg_catalog.now(), pg_catalog.nextval('shopwalk.failure_positions'), "
    "pg_catalog.now(), 0, true";
constexpr std::string_view MarkColumns =
    "INSERT INTO shopwalk.failed_shops (shop_id, attempts, reason, failed_at, position, due_at, "
    "retry_rounds, revisit) ";
constexpr std::string_view MarkOnConflict =
    " ON CONFLICT (shop_id) DO UPDATE SET attempts = 0, reason = excluded.reason, "
    "failed_at = excluded.failed_at, position = excluded.position, due_at = excluded.due_at, "
    "retry_rounds = 0, retry_node = NULL, retry_epoch = NULL, retry_until = NULL, revisit = true";

constexpr std::string_view HeldAnswer = " SELECT pg_catalog.count(*) FROM lease";

pg::Params FenceParams(const Lease& lease, std::int64_t shopId) {
  pg::Params params;
  params.Int(shopId).Int(lease.kind == Lease::Kind::Block ? lease.blockId : 0).Int(lease.epoch);
  return params;
}

// Whether the fenced write held its lease.
Expected<bool, pg::Status> RunFenced(pg::Connection& connection, const std::string& sql,
                                     const pg::Params& params) {
  pg::Result result;
  if (auto status = connection.Run(sql, params, result); !status) return MakeUnexpected(status);
  return result.Int64(0, 0) > 0;
}

Expected<std::optional<Lease>, pg::Status> BlockFrom(const pg::Result& result) {
  if (result.Rows() == 0) return std::optional<Lease>();
  Lease lease;
  lease.kind = Lease::Kind::Block;
  lease.blockId = result.Int64(0, 0);
  lease.walkId = result.Int64(0, 1);
  lease.firstId = result.Int64(0, 2);
  lease.lastId = result.Int64(0, 3);
  lease.epoch = result.Int64(0, 4);
  for (std::int64_t id : {lease.firstId, lease.lastId}) {
    if (auto checked = ReadShopId(id, "shopwalk.blocks"); !checked) {
      return MakeUnexpected(checked.error());
    }
  }
  if (lease.lastId < lease.firstId) {
    return MakeUnexpected(pg::Status(BadValueState,
                                     "block " + std::to_string(lease.blockId) +
                                         " in shopwalk.blocks ends (" +
                                         std::to_string(lease.lastId) + ") before it starts (" +
                                         std::to_string(lease.firstId) + ")",
                                     false));
  }
  return std::optional<Lease>(lease);
}

std::string PrintableAscii(const std::string& text) {
  std::string printable = text.substr(0, 255);
  for (char& c : printable) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  return printable;
}

}  // namespace

Expected<std::int32_t, pg::Status> ReadShopId(std::int64_t value, const char* where) {
  if (!IsShopId(value)) {
    return MakeUnexpected(pg::Status(BadValueState,
                                     "the shop ID " + std::to_string(value) + " in " + where +
                                         " is out of range (0 to " + std::to_string(HighestShopId) +
                                         ")",
                                     false));
  }
  return static_cast<std::int32_t>(value);
}

Expected<JoinedWalk, pg::Status> JoinWalk(pg::Connection& connection, const WalkRequest& request) {
  if (request.from && !IsShopId(*request.from)) {
    return Refused("the first shop ID " + std::to_string(*request.from) +
                   " is out of range (0 to " + std::to_string(HighestShopId) + ")");
  }
  if (request.to && !IsShopId(*request.to)) {
    return Refused("the last shop ID " + std::to_string(*request.to) + " is out of range (0 to " +
                   std::to_string(HighestShopId) + ")");
  }
  if (request.count && *request.count <= 0) {
    return Refused("the count of shop IDs must be at least 1");
  }
  pg::Transaction transaction(connection);
  if (auto status = transaction.Begin(); !status) return MakeUnexpected(status);
  if (auto status = connection.Run("SELECT pg_catalog.pg_advisory_xact_lock($1)",
                                   pg::Params().Int(JoinLockKey));
      !status) {
    return MakeUnexpected(status);
  }
  JoinedWalk walk;
  pg::Result last;
  if (auto status = connection.Run(
          "SELECT w.walk_id, w.first_id, w.end_id, w.next_id, w.block_size, "
          "w.finished_at IS NOT NULL OR (w.next_id > " SW_BOUND(
              "w") " AND NOT EXISTS ("
                   "SELECT 1 FROM shopwalk.blocks b WHERE b.walk_id = w.walk_id AND b.done_at IS "
                   "NULL)) "
                   "FROM shopwalk.walks w ORDER BY w.walk_id DESC LIMIT 1 FOR UPDATE",
          last);
      !status) {
    return MakeUnexpected(status);
  }
  // The end a request asks for, counted from `first`, clamped to the highest shop ID.
  auto requestedEnd = [&request](std::int64_t first) -> std::optional<std::int64_t> {
    if (request.to) return *request.to;
    if (request.count) return std::min(HighestShopId, first + *request.count - 1);
    return std::nullopt;
  };

  const bool exists = last.Rows() > 0;
  if (exists && !last.Bool(0, 5)) {
    // Join the current walk.
    walk.walkId = last.Int64(0, 0);
    walk.firstId = last.Int64(0, 1);
    if (!last.IsNull(0, 2)) walk.endId = last.Int64(0, 2);
    if (auto checked = ReadShopId(walk.firstId, "shopwalk.walks"); !checked)
      return MakeUnexpected(checked.error());
    if (walk.endId) {
      if (auto checked = ReadShopId(*walk.endId, "shopwalk.walks"); !checked)
        return MakeUnexpected(checked.error());
    }
    const std::int64_t next = last.Int64(0, 3);
    walk.blockSize = static_cast<int>(last.Int64(0, 4));
    walk.fromIgnored = request.from && *request.from != walk.firstId;
    if (auto end = requestedEnd(walk.firstId)) {
      if (*end < walk.firstId) {
        return Refused("the last shop ID " + std::to_string(*end) +
                       " is below the first shop ID of the shared walk, " +
                       std::to_string(walk.firstId));
      }
      // Never below what was handed out already.
      walk.endId = std::max(*end, next - 1);
      if (auto checked = ReadShopId(*walk.endId, "shopwalk.walks"); !checked)
        return MakeUnexpected(checked.error());
      if (auto status = connection.Run("UPDATE shopwalk.walks SET end_id = $2 WHERE walk_id = $1",
                                       pg::Params().Int(walk.walkId).Int(*walk.endId));
          !status) {
        return MakeUnexpected(status);
      }
    }
    if (auto status = transaction.Commit(); !status) return MakeUnexpected(status);
    return walk;
  }

  // Begin a new walk.
  std::int64_t first = request.defaultFirst;
  if (request.from) {
    first = *request.from;
  } else if (exists) {
    if (last.IsNull(0, 2)) return Refused("the last walk reached the highest shop ID");
    first = last.Int64(0, 2) + 1;
  }
  if (first == HighestShopId + 1) {
    return Refused(exists ? "the last walk reached the highest shop ID"
                          : "the place to start after is the highest shop ID already");
  }
  if (!IsShopId(first)) {
    return Refused("the first shop ID " + std::to_string(first) + " is out of range (0 to " +
                   std::to_string(HighestShopId) + ")");
  }
  const std::optional<std::int64_t> end = requestedEnd(first);
  if (end && *end < first) {
    return Refused("the last shop ID " + std::to_string(*end) + " is below the first, " +
                   std::to_string(first));
  }
  const int blockSize = std::max(1, request.blockSize);
  if (exists) {
    if (auto status = connection.Run("UPDATE shopwalk.walks SET finished_at = pg_catalog.now() "
                                     "WHERE walk_id = $1 AND finished_at IS NULL",
                                     pg::Params().Int(last.Int64(0, 0)));
        !status) {
      return MakeUnexpected(status);
    }
  }
  pg::Params params;
  params.Int(first);
  if (end) {
    params.Int(*end);
  } else {
    params.NullInt();
  }
  params.Int(blockSize);
  pg::Result created;
  if (auto status =
          connection.Run("INSERT INTO shopwalk.walks (first_id, end_id, next_id, block_size) "
                         "VALUES ($1, $2, $1, $3) RETURNING walk_id",
                         params, created);
      !status) {
    return MakeUnexpected(status);
  }
  walk.walkId = created.Int64(0, 0);
  walk.firstId = first;
  walk.endId = end;
  walk.blockSize = blockSize;
  walk.created = true;
  if (auto status = transaction.Commit(); !status) return MakeUnexpected(status);
  return walk;
}

Expected<std::int64_t, pg::Status> RegisterNode(pg::Connection& connection, std::int64_t walkId,
                                                const std::string& host, std::int64_t pid,
                                                double pacedRate) {
  pg::Result result;
  if (auto status = connection.Run(
          "INSERT INTO shopwalk.nodes (walk_id, host, pid, paced_rate) VALUES ($1, $2, $3, $4) "
          "RETURNING node_id",
          pg::Params().Int(walkId).Text(PrintableAscii(host)).Int(pid).Double(pacedRate), result);
      !status) {
    return MakeUnexpected(status);
  }
  return result.Int64(0, 0);
}

pg::Status NodeSeen(pg::Connection& connection, std::int64_t nodeId, double rate) {
  return connection.Run(
      "UPDATE shopwalk.nodes SET last_seen = pg_catalog.now(), rate = $2 WHERE node_id = $1",
      pg::Params().Int(nodeId).Double(rate));
}

pg::Status NodeStopped(pg::Connection& connection, std::int64_t nodeId) {
  return connection.Run(
      "UPDATE shopwalk.nodes SET last_seen = pg_catalog.now(), stopped_at = pg_catalog.now(), "
      "rate = 0 WHERE node_id = $1",
      pg::Params().Int(nodeId));
}

Expected<std::optional<Lease>, pg::Status> ClaimExpiredBlock(pg::Connection& connection,
                                                             std::int64_t nodeId,
                                                             std::int64_t leaseMs) {
  pg::Result result;
  if (auto status = connection.Run(
          "UPDATE shopwalk.blocks b SET node_id = $1, "
          "epoch = pg_catalog.nextval('shopwalk.lease_epochs'), "
          "lease_until = pg_catalog.now() + " SW_MS(
              "$2") ", claims = b.claims + 1 "
                    "WHERE b.block_id = (SELECT block_id FROM shopwalk.blocks "
                    "WHERE done_at IS NULL AND lease_until < pg_catalog.now() "
                    "ORDER BY walk_id, first_id LIMIT 1 "
                    "FOR UPDATE SKIP LOCKED) "
                    "RETURNING b.block_id, b.walk_id, b.first_id, b.last_id, b.epoch",
          pg::Params().Int(nodeId).Int(leaseMs), result);
      !status) {
    return MakeUnexpected(status);
  }
  return BlockFrom(result);
}

Expected<std::vector<Lease>, pg::Status> ClaimFailedShops(pg::Connection& connection,
                                                          std::int64_t nodeId, std::int64_t leaseMs,
                                                          int maxRounds, int limit) {
  pg::Result result;
  if (auto status = connection.Run(
          "UPDATE shopwalk.failed_shops f SET retry_node = $1, "
          "retry_epoch = pg_catalog.nextval('shopwalk.lease_epochs'), "
          "retry_until = pg_catalog.now() + " SW_MS(
              "$2") ", retry_rounds = f.retry_rounds + 1 "
                    "WHERE f.shop_id IN (SELECT shop_id FROM shopwalk.failed_shops "
                    "WHERE due_at <= pg_catalog.now() AND (retry_rounds < $3 OR revisit) "
                    "AND (retry_until IS NULL OR retry_until < pg_catalog.now()) "
                    "ORDER BY position LIMIT $4 FOR UPDATE SKIP LOCKED) "
                    "RETURNING f.shop_id, f.retry_epoch, coalesce((SELECT o.walk_id FROM "
                    "shopwalk.outcomes o WHERE o.shop_id = f.shop_id), 0), f.position",
          pg::Params().Int(nodeId).Int(leaseMs).Int(maxRounds).Int(std::max(0, limit)), result);
      !status) {
    return MakeUnexpected(status);
  }
  struct Claimed {
    Lease lease;
    std::int64_t position = 0;
  };
  std::vector<Claimed> rows;
  std::optional<pg::Status> bad;
  std::vector<std::int64_t> goodEpochs;
  for (int row = 0; row < result.Rows(); ++row) {
    Lease lease;
    lease.kind = Lease::Kind::FailedShop;
    lease.firstId = lease.lastId = result.Int64(row, 0);
    lease.epoch = result.Int64(row, 1);
    lease.walkId = result.Int64(row, 2);
    if (auto checked = ReadShopId(lease.firstId, "shopwalk.failed_shops"); !checked) {
      if (!bad) bad = checked.error();
      continue;
    }
    goodEpochs.push_back(lease.epoch);
    rows.push_back({lease, result.Int64(row, 3)});
  }
  if (bad) {
    // The good ones go back at once, their round given back; the bad ones stay claimed until
    // their leases expire. Should letting go fail too, their leases expire as well: the bad value
    // is what the caller must hear of.
    (void)ReleaseLeases(connection, nodeId, {}, {}, goodEpochs);
    return MakeUnexpected(std::move(*bad));
  }
  // Oldest failure first (UPDATE ... RETURNING keeps no order).
  std::sort(rows.begin(), rows.end(),
            [](const Claimed& a, const Claimed& b) { return a.position < b.position; });
  std::vector<Lease> claimed;
  claimed.reserve(rows.size());
  for (const Claimed& row : rows) claimed.push_back(row.lease);
  return claimed;
}

Expected<std::optional<Lease>, pg::Status> ClaimNewBlock(pg::Connection& connection,
                                                         std::int64_t walkId, std::int64_t nodeId,
                                                         std::int64_t leaseMs) {
  pg::Result result;
  // One statement: the cursor moves under the walk's row lock (a concurrent claim waits for it,
  // then reads the moved cursor), so concurrent claims get consecutive blocks. The cursor never
  // passes the end: a later, higher end goes on from there.
  if (auto status = connection.Run(
          "WITH current AS (SELECT w.walk_id, w.next_id AS first_id, "
          "LEAST(w.next_id + w.block_size - 1, " SW_BOUND(
              "w") ") AS last_id "
                   "FROM shopwalk.walks w WHERE w.walk_id = $1 AND w.finished_at IS NULL "
                   "AND w.next_id <= " SW_BOUND(
                       "w") " FOR UPDATE), "
                            "moved AS (UPDATE shopwalk.walks w SET next_id = c.last_id + 1 FROM "
                            "current c "
                            "WHERE w.walk_id = c.walk_id RETURNING c.walk_id, c.first_id, "
                            "c.last_id) "
                            "INSERT INTO shopwalk.blocks (walk_id, first_id, last_id, node_id, "
                            "epoch, lease_until) "
                            "SELECT walk_id, first_id, last_id, $2, "
                            "pg_catalog.nextval('shopwalk.lease_epochs'), "
                            "pg_catalog.now() + " SW_MS(
                                "$3") " FROM moved "
                                      "RETURNING block_id, walk_id, first_id, last_id, epoch",
          pg::Params().Int(walkId).Int(nodeId).Int(leaseMs), result);
      !status) {
    return MakeUnexpected(status);
  }
  return BlockFrom(result);
}

Expected<std::vector<std::int64_t>, pg::Status> AnsweredIds(pg::Connection& connection,
                                                            const Lease& block) {
  pg::Result result;
  if (auto status = connection.Run(
          "SELECT shop_id FROM shopwalk.outcomes WHERE walk_id = $1 AND shop_id BETWEEN $2 AND $3 "
          "ORDER BY shop_id",
          pg::Params().Int(block.walkId).Int(block.firstId).Int(block.lastId), result);
      !status) {
    return MakeUnexpected(status);
  }
  std::vector<std::int64_t> ids;
  ids.reserve(static_cast<std::size_t>(result.Rows()));
  for (int row = 0; row < result.Rows(); ++row) ids.push_back(result.Int64(row, 0));
  return ids;
}

Expected<std::vector<std::int64_t>, pg::Status> RenewLeases(
    pg::Connection& connection, std::int64_t nodeId, std::int64_t leaseMs,
    const std::vector<std::int64_t>& blockEpochs, const std::vector<std::int64_t>& failedEpochs) {
  std::vector<std::int64_t> kept;
  pg::Result result;
  if (!blockEpochs.empty()) {
    if (auto status = connection.Run(
            "UPDATE shopwalk.blocks b SET lease_until = pg_catalog.now() + " SW_MS(
                "$2") " "
                      "WHERE b.block_id IN (SELECT block_id FROM shopwalk.blocks WHERE node_id = "
                      "$1 "
                      "AND epoch = ANY($3) AND done_at IS NULL ORDER BY block_id FOR UPDATE) "
                      "RETURNING b.epoch",
            pg::Params().Int(nodeId).Int(leaseMs).IntArray(blockEpochs), result);
        !status) {
      return MakeUnexpected(status);
    }
    for (int row = 0; row < result.Rows(); ++row) kept.push_back(result.Int64(row, 0));
  }
  if (!failedEpochs.empty()) {
    if (auto status = connection.Run(
            "UPDATE shopwalk.failed_shops f SET retry_until = pg_catalog.now() + " SW_MS(
                "$2") " "
                      "WHERE f.shop_id IN (SELECT shop_id FROM "
                      "shopwalk.failed_shops WHERE retry_node = $1 "
                      "AND retry_epoch = ANY($3) ORDER BY shop_id FOR UPDATE) "
                      "RETURNING f.retry_epoch",
            pg::Params().Int(nodeId).Int(leaseMs).IntArray(failedEpochs), result);
        !status) {
      return MakeUnexpected(status);
    }
    for (int row = 0; row < result.Rows(); ++row) kept.push_back(result.Int64(row, 0));
  }
  return kept;
}

pg::Status ReleaseLeases(pg::Connection& connection, std::int64_t nodeId,
                         const std::vector<std::int64_t>& blockEpochs,
                         const std::vector<std::int64_t>& triedFailedEpochs,
                         const std::vector<std::int64_t>& untriedFailedEpochs) {
  if (!blockEpochs.empty()) {
    if (auto status = connection.Run(
            "UPDATE shopwalk.blocks SET lease_until = '-infinity' WHERE node_id = $1 "
            "AND epoch = ANY($2) AND done_at IS NULL",
            pg::Params().Int(nodeId).IntArray(blockEpochs));
        !status) {
      return status;
    }
  }
  if (!triedFailedEpochs.empty()) {
    if (auto status = connection.Run(
            "UPDATE shopwalk.failed_shops SET retry_until = '-infinity' WHERE retry_node = $1 "
            "AND retry_epoch = ANY($2)",
            pg::Params().Int(nodeId).IntArray(triedFailedEpochs));
        !status) {
      return status;
    }
  }
  if (!untriedFailedEpochs.empty()) {
    if (auto status = connection.Run(
            "UPDATE shopwalk.failed_shops SET retry_until = NULL, retry_node = NULL, "
            "retry_epoch = NULL, retry_rounds = greatest(retry_rounds - 1, 0) "
            "WHERE retry_node = $1 AND retry_epoch = ANY($2)",
            pg::Params().Int(nodeId).IntArray(untriedFailedEpochs));
        !status) {
      return status;
    }
  }
  return {};
}

Expected<std::optional<std::int64_t>, pg::Status> LatestWalkId(pg::Connection& connection) {
  pg::Result result;
  if (auto status = connection.Run("SELECT pg_catalog.max(walk_id) FROM shopwalk.walks", result);
      !status) {
    return MakeUnexpected(status);
  }
  if (result.Rows() == 0 || result.IsNull(0, 0)) return std::optional<std::int64_t>();
  return std::optional<std::int64_t>(result.Int64(0, 0));
}

Expected<RewriteLeases, pg::Status> ClaimToRewrite(pg::Connection& connection, std::int64_t nodeId,
                                                   std::int64_t leaseMs, std::int64_t from,
                                                   std::int64_t to) {
  RewriteLeases claimed;
  pg::Transaction transaction(connection);
  if (auto status = transaction.Begin(); !status) return MakeUnexpected(status);
  pg::Result result;
  // Blocks, then failed shops, each in ID order: the order writers and renewals lock them in.
  // A finished block has no lease (NULL) unless another rewriting node holds it.
  if (auto status = connection.Run(
          "UPDATE shopwalk.blocks b SET epoch = pg_catalog.nextval('shopwalk.lease_epochs'), "
          "lease_until = pg_catalog.now() + " SW_MS(
              "$2") ", "
                    "node_id = CASE WHEN b.done_at IS NULL THEN $1 ELSE b.node_id END, "
                    "claims = CASE WHEN b.done_at IS NULL THEN b.claims + 1 ELSE b.claims END "
                    "WHERE b.block_id IN (SELECT block_id FROM shopwalk.blocks "
                    "WHERE first_id <= $4 AND last_id >= $3 "
                    "AND coalesce(lease_until < pg_catalog.now(), true) "
                    "ORDER BY block_id FOR UPDATE) "
                    "RETURNING b.block_id, b.walk_id, b.first_id, b.last_id, b.epoch",
          pg::Params().Int(nodeId).Int(leaseMs).Int(from).Int(to), result);
      !status) {
    return MakeUnexpected(status);
  }
  std::vector<std::int64_t> blockIds;
  for (int row = 0; row < result.Rows(); ++row) {
    Lease lease;
    lease.kind = Lease::Kind::Block;
    lease.blockId = result.Int64(row, 0);
    lease.walkId = result.Int64(row, 1);
    lease.firstId = result.Int64(row, 2);
    lease.lastId = result.Int64(row, 3);
    lease.epoch = result.Int64(row, 4);
    for (std::int64_t id : {lease.firstId, lease.lastId}) {
      if (auto checked = ReadShopId(id, "shopwalk.blocks"); !checked) {
        return MakeUnexpected(checked.error());
      }
    }
    blockIds.push_back(lease.blockId);
    claimed.blocks.push_back(lease);
  }
  if (auto status = connection.Run(
          "SELECT GREATEST(first_id, $1), LEAST(last_id, $2) FROM shopwalk.blocks "
          "WHERE first_id <= $2 AND last_id >= $1 AND block_id <> ALL($3) ORDER BY first_id",
          pg::Params().Int(from).Int(to).IntArray(blockIds), result);
      !status) {
    return MakeUnexpected(status);
  }
  for (int row = 0; row < result.Rows(); ++row) {
    claimed.busy.emplace_back(result.Int64(row, 0), result.Int64(row, 1));
  }
  if (auto status = connection.Run(
          "UPDATE shopwalk.failed_shops f SET retry_node = $1, "
          "retry_epoch = pg_catalog.nextval('shopwalk.lease_epochs'), "
          "retry_until = pg_catalog.now() + " SW_MS(
              "$2") " "
                    "WHERE f.shop_id IN (SELECT shop_id FROM shopwalk.failed_shops "
                    "WHERE shop_id BETWEEN $3 AND $4 "
                    "AND (retry_until IS NULL OR retry_until < pg_catalog.now()) "
                    "ORDER BY shop_id FOR UPDATE) "
                    "RETURNING f.shop_id, f.retry_epoch, coalesce((SELECT o.walk_id FROM "
                    "shopwalk.outcomes o WHERE o.shop_id = f.shop_id), 0)",
          pg::Params().Int(nodeId).Int(leaseMs).Int(from).Int(to), result);
      !status) {
    return MakeUnexpected(status);
  }
  std::vector<std::int64_t> failedIds;
  for (int row = 0; row < result.Rows(); ++row) {
    Lease lease;
    lease.kind = Lease::Kind::FailedShop;
    lease.firstId = lease.lastId = result.Int64(row, 0);
    lease.epoch = result.Int64(row, 1);
    lease.walkId = result.Int64(row, 2);
    if (auto checked = ReadShopId(lease.firstId, "shopwalk.failed_shops"); !checked) {
      return MakeUnexpected(checked.error());
    }
    failedIds.push_back(lease.firstId);
    claimed.failedShops.push_back(lease);
  }
  if (auto status = connection.Run(
          "SELECT shop_id FROM shopwalk.failed_shops WHERE shop_id BETWEEN $1 AND $2 "
          "AND shop_id <> ALL($3) ORDER BY shop_id",
          pg::Params().Int(from).Int(to).IntArray(failedIds), result);
      !status) {
    return MakeUnexpected(status);
  }
  for (int row = 0; row < result.Rows(); ++row) {
    claimed.busy.emplace_back(result.Int64(row, 0), result.Int64(row, 0));
  }
  if (auto status = transaction.Commit(); !status) return MakeUnexpected(status);
  std::sort(claimed.failedShops.begin(), claimed.failedShops.end(),
            [](const Lease& a, const Lease& b) { return a.firstId < b.firstId; });
  std::sort(claimed.busy.begin(), claimed.busy.end());
  return claimed;
}

Expected<std::vector<std::int64_t>, pg::Status> RenewRewriteLeases(
    pg::Connection& connection, std::int64_t leaseMs, const std::vector<std::int64_t>& blockEpochs,
    const std::vector<std::int64_t>& failedEpochs) {
  std::vector<std::int64_t> kept;
  pg::Result result;
  if (!blockEpochs.empty()) {
    if (auto status = connection.Run(
            "UPDATE shopwalk.blocks b SET lease_until = pg_catalog.now() + " SW_MS(
                "$1") " "
                      "WHERE b.block_id IN (SELECT block_id FROM shopwalk.blocks WHERE "
                      "epoch = ANY($2) AND lease_until IS NOT NULL ORDER BY block_id FOR UPDATE) "
                      "RETURNING b.epoch",
            pg::Params().Int(leaseMs).IntArray(blockEpochs), result);
        !status) {
      return MakeUnexpected(status);
    }
    for (int row = 0; row < result.Rows(); ++row) kept.push_back(result.Int64(row, 0));
  }
  if (!failedEpochs.empty()) {
    if (auto status = connection.Run(
            "UPDATE shopwalk.failed_shops f SET retry_until = pg_catalog.now() + " SW_MS(
                "$1") " "
                      "WHERE f.shop_id IN (SELECT shop_id FROM shopwalk.failed_shops WHERE "
                      "retry_epoch = ANY($2) ORDER BY shop_id FOR UPDATE) "
                      "RETURNING f.retry_epoch",
            pg::Params().Int(leaseMs).IntArray(failedEpochs), result);
        !status) {
      return MakeUnexpected(status);
    }
    for (int row = 0; row < result.Rows(); ++row) kept.push_back(result.Int64(row, 0));
  }
  return kept;
}

pg::Status ReleaseRewriteLeases(pg::Connection& connection,
                                const std::vector<std::int64_t>& blockEpochs,
                                const std::vector<std::int64_t>& failedEpochs) {
  if (!blockEpochs.empty()) {
    if (auto status = connection.Run(
            "UPDATE shopwalk.blocks SET lease_until = CASE WHEN done_at IS NULL THEN "
            "'-infinity'::timestamptz ELSE NULL END WHERE epoch = ANY($1) "
            "AND lease_until IS NOT NULL",
            pg::Params().IntArray(blockEpochs));
        !status) {
      return status;
    }
  }
  if (!failedEpochs.empty()) {
    return connection.Run(
        "UPDATE shopwalk.failed_shops SET retry_until = NULL, retry_node = NULL, "
        "retry_epoch = NULL WHERE retry_epoch = ANY($1)",
        pg::Params().IntArray(failedEpochs));
  }
  return {};
}

Expected<BlockFinish, pg::Status> FinishBlock(pg::Connection& connection, const Lease& block) {
  BlockFinish finish;
  pg::Result result;
  if (auto status = connection.Run(
          "UPDATE shopwalk.blocks b SET done_at = pg_catalog.now(), lease_until = NULL "
          "WHERE b.block_id = $1 AND b.epoch = $2 AND b.done_at IS NULL AND "
          "(SELECT pg_catalog.count(*) FROM shopwalk.outcomes o WHERE o.walk_id = b.walk_id "
          "AND o.shop_id BETWEEN b.first_id AND b.last_id) = b.last_id - b.first_id + 1 "
          "RETURNING b.block_id",
          pg::Params().Int(block.blockId).Int(block.epoch), result);
      !status) {
    return MakeUnexpected(status);
  }
  if (result.Rows() > 0) return finish;
  if (auto status = connection.Run(
          "SELECT epoch, done_at IS NOT NULL FROM shopwalk.blocks WHERE block_id = $1",
          pg::Params().Int(block.blockId), result);
      !status) {
    return MakeUnexpected(status);
  }
  if (result.Rows() == 0 || result.Int64(0, 0) != block.epoch) {
    finish.kind = BlockFinish::Kind::Lost;
    return finish;
  }
  if (result.Bool(0, 1)) return finish;
  finish.kind = BlockFinish::Kind::Missing;
  if (auto status = connection.Run(
          "SELECT g FROM pg_catalog.generate_series($2::bigint, $3::bigint) g WHERE NOT EXISTS ("
          "SELECT 1 FROM shopwalk.outcomes o WHERE o.shop_id = g AND o.walk_id = $1) ORDER BY g",
          pg::Params().Int(block.walkId).Int(block.firstId).Int(block.lastId), result);
      !status) {
    return MakeUnexpected(status);
  }
  for (int row = 0; row < result.Rows(); ++row) finish.missing.push_back(result.Int64(row, 0));
  return finish;
}

Expected<bool, pg::Status> WalkOver(pg::Connection& connection, std::int64_t walkId) {
  pg::Result result;
  // The condition is checked on the locked row: a node raising the end meanwhile wins.
  if (auto status = connection.Run(
          "UPDATE shopwalk.walks w SET finished_at = pg_catalog.now() WHERE w.walk_id = $1 "
          "AND w.finished_at IS NULL AND w.next_id > " SW_BOUND(
              "w") " AND NOT EXISTS ("
                   "SELECT 1 FROM shopwalk.blocks b WHERE b.walk_id = w.walk_id AND "
                   "b.done_at IS NULL)",
          pg::Params().Int(walkId));
      !status) {
    return MakeUnexpected(status);
  }
  if (auto status =
          connection.Run("SELECT finished_at IS NOT NULL FROM shopwalk.walks WHERE walk_id = $1",
                         pg::Params().Int(walkId), result);
      !status) {
    return MakeUnexpected(status);
  }
  return result.Rows() == 0 || result.Bool(0, 0);
}

Expected<bool, pg::Status> FailedShopsInRetry(pg::Connection& connection) {
  pg::Result result;
  if (auto status =
          connection.Run("SELECT EXISTS (SELECT 1 FROM shopwalk.failed_shops WHERE retry_until >= "
                         "pg_catalog.now() OR (revisit AND due_at <= pg_catalog.now()))",
                         result);
      !status) {
    return MakeUnexpected(status);
  }
  return result.Bool(0, 0);
}

pg::Status LockLeasesForWriting(pg::Connection& connection,
                                const std::vector<std::int64_t>& blockIds,
                                const std::vector<std::int64_t>& failedShopIds) {
  if (!blockIds.empty()) {
    if (auto status = connection.Run(
            "SELECT 1 FROM shopwalk.blocks WHERE block_id = ANY($1) ORDER BY block_id FOR SHARE",
            pg::Params().IntArray(blockIds));
        !status) {
      return status;
    }
  }
  if (!failedShopIds.empty()) {
    if (auto status = connection.Run(
            "SELECT 1 FROM shopwalk.failed_shops WHERE shop_id = ANY($1) ORDER BY shop_id "
            "FOR UPDATE",
            pg::Params().IntArray(failedShopIds));
        !status) {
      return status;
    }
  }
  return {};
}

Expected<bool, pg::Status> WriteRow(pg::Connection& connection, const Lease& lease,
                                    const ShopRecord& record, ChangeSource source,
                                    std::optional<std::int64_t> unixMs) {
  std::string sql;
  if (lease.kind == Lease::Kind::Block) {
    sql = std::string(BlockFence) + std::string(ShopPart) + OutcomePart("0") +
          std::string(LeaveFailedList) + std::string(HeldAnswer);
  } else {
    sql = std::string(FailedShopLeaveFence) + std::string(ShopPart) + OutcomePart("0") +
          std::string(HeldAnswer);
  }
  pg::Params params = FenceParams(lease, record.shopId);
  params.Bytes(record.name)
      .Bytes(record.reputation)
      .Bytes(record.messenger)
      .Bytes(record.openingDate)
      .Bytes(record.address)
      .Int(static_cast<std::int64_t>(source));
  if (unixMs) {
    params.Int(*unixMs);
  } else {
    params.NullInt();
  }
  return RunFenced(connection, sql, params);
}

Expected<bool, pg::Status> WriteClosed(pg::Connection& connection, const Lease& lease,
                                       std::int64_t shopId, ChangeSource source,
                                       std::optional<std::int64_t> unixMs) {
  // Checked then; a shop closed already keeps when it closed (the history trigger records the
  // closing). A shop without a row is left alone.
  constexpr std::string_view ClosePart =
      ", closed AS (UPDATE shopwalk.shops SET closed_at = coalesce(closed_at, " SW_TIME(
          "$5") "), collected_at = " SW_TIME("$5") ", collected_by = $4::smallint "
                                                   "WHERE shop_id = $1 AND EXISTS (SELECT 1 FROM "
                                                   "lease) RETURNING 1)";
  std::string sql;
  if (lease.kind == Lease::Kind::Block) {
    sql = std::string(BlockFence) + std::string(ClosePart) + std::string(LeaveFailedList) +
          std::string(HeldAnswer);
  } else {
    sql = std::string(FailedShopLeaveFence) + std::string(ClosePart) + std::string(HeldAnswer);
  }
  pg::Params params = FenceParams(lease, shopId);
  params.Int(static_cast<std::int64_t>(source));
  if (unixMs) {
    params.Int(*unixMs);
  } else {
    params.NullInt();
  }
  return RunFenced(connection, sql, params);
}

Expected<bool, pg::Status> WriteAnswer(pg::Connection& connection, const Lease& lease,
                                       std::int64_t shopId, ShopOutcome outcome) {
  const std::int64_t code = outcome == ShopOutcome::NoShop || outcome == ShopOutcome::NoFields
                                ? static_cast<std::int64_t>(outcome)
                                : static_cast<std::int64_t>(ShopOutcome::Failed);
  std::string sql;
  if (lease.kind == Lease::Kind::Block) {
    sql = std::string(BlockFence) + OutcomePart("$4::smallint") + std::string(LeaveFailedList) +
          std::string(HeldAnswer);
  } else {
    sql = std::string(FailedShopLeaveFence) + OutcomePart("$4::smallint") + std::string(HeldAnswer);
  }
  pg::Params params = FenceParams(lease, shopId);
  params.Int(code);
  return RunFenced(connection, sql, params);
}

Expected<bool, pg::Status> WriteFailure(pg::Connection& connection, const Lease& lease,
                                        const FailedShop& shop, std::int64_t retryDelayMs) {
  const std::string failedCode = std::to_string(static_cast<int>(ShopOutcome::Failed));
  std::string sql;
  if (lease.kind == Lease::Kind::Block) {
    sql = std::string(BlockFence) + OutcomePart(failedCode) + std::string(EnterFailedList) +
          std::string(HeldAnswer);
  } else {
    sql = std::string(FailedShopAgainFence) + OutcomePart(failedCode) + std::string(HeldAnswer);
  }
  pg::Params params = FenceParams(lease, shop.shopId);
  params.Int(shop.attempts).Bytes(shop.reason).Int(std::max<std::int64_t>(0, retryDelayMs));
  return RunFenced(connection, sql, params);
}

Expected<KeptPageWrite, pg::Status> WriteKeptPage(pg::Connection& connection, const Lease& lease,
                                                  const PackedPage& page) {
  // A failed shop's lease may have ended with its answer in the same batch: the page is written
  // unless another node has claimed the shop since.
  constexpr std::string_view FailedShopPageFence =
      "WITH lease AS (SELECT 1 WHERE $2::bigint = 0 AND NOT EXISTS (SELECT 1 FROM "
      "shopwalk.failed_shops f WHERE f.shop_id = $1 AND f.retry_epoch <> $3))";
  constexpr std::string_view PagePart =
      ", replaced AS (SELECT k.packed_bytes FROM shopwalk.kept_pages k WHERE k.shop_id = $1 "
      "AND k.kind = $4::smallint), "
      "kept AS (INSERT INTO shopwalk.kept_pages (shop_id, kind, dictionary_id, page_bytes, "
      "packed_bytes, bytes, kept_seq, kept_at) SELECT $1, $4::smallint, $5, $6, $7, $8, "
      "pg_catalog.nextval('shopwalk.kept_seq'), pg_catalog.now() FROM lease "
      "ON CONFLICT (shop_id, kind) DO UPDATE SET dictionary_id = excluded.dictionary_id, "
      "page_bytes = excluded.page_bytes, packed_bytes = excluded.packed_bytes, "
      "bytes = excluded.bytes, kept_seq = excluded.kept_seq, kept_at = excluded.kept_at "
      "RETURNING packed_bytes) "
      "SELECT (SELECT pg_catalog.count(*) FROM lease), coalesce((SELECT k.packed_bytes FROM kept "
      "k), 0) - coalesce((SELECT r.packed_bytes FROM replaced r WHERE EXISTS (SELECT 1 FROM "
      "kept)), 0)";
  const std::string sql =
      std::string(lease.kind == Lease::Kind::Block ? BlockFence : FailedShopPageFence) +
      std::string(PagePart);
  pg::Params params = FenceParams(lease, page.shopId);
  params.Int(static_cast<std::int64_t>(page.kind))
      .Int(page.dictionaryId)
      .Int(static_cast<std::int64_t>(page.pageBytes))
      .Int(static_cast<std::int64_t>(page.bytes.size()))
      .Bytes(page.bytes);
  pg::Result result;
  if (auto status = connection.Run(sql, params, result); !status) return MakeUnexpected(status);
  return KeptPageWrite{result.Int64(0, 0) > 0, result.Int64(0, 1)};
}

pg::Status TallyKeptPages(pg::Connection& connection, std::int64_t packedDelta,
                          std::uint64_t budget) {
  pg::Result result;
  if (auto status =
          connection.Run("UPDATE shopwalk.kept_page_tally SET packed_bytes = packed_bytes + $1 "
                         "RETURNING packed_bytes",
                         pg::Params().Int(packedDelta), result);
      !status) {
    return status;
  }
  if (budget == 0 || result.Rows() == 0) return {};
  const std::int64_t total = result.Int64(0, 0);
  if (total <= 0 || static_cast<std::uint64_t>(total) <= budget) return {};
  // The oldest pages, a share at a time, up to the last one that must go to fit.
  const std::uint64_t excess = static_cast<std::uint64_t>(total) - budget;
  constexpr std::int64_t PagesAtOnce = 1000;
  std::uint64_t freed = 0;
  std::optional<std::int64_t> cutOff;
  for (std::int64_t after = std::numeric_limits<std::int64_t>::min(); freed < excess;) {
    if (auto status = connection.Run(
            "SELECT kept_seq, packed_bytes FROM shopwalk.kept_pages WHERE kept_seq > $1 "
            "ORDER BY kept_seq LIMIT $2",
            pg::Params().Int(after).Int(PagesAtOnce), result);
        !status) {
      return status;
    }
    for (int row = 0; row < result.Rows() && freed < excess; ++row) {
      cutOff = after = result.Int64(row, 0);
      freed += static_cast<std::uint64_t>(std::max<std::int64_t>(result.Int64(row, 1), 0));
    }
    if (result.Rows() < PagesAtOnce) break;
  }
  if (!cutOff) return {};
  // What was really dropped is counted (another node may drop some of them at once).
  return connection.Run(
      "WITH gone AS (DELETE FROM shopwalk.kept_pages WHERE kept_seq <= $1 AND kept_seq < "
      "(SELECT pg_catalog.max(n.kept_seq) FROM shopwalk.kept_pages n) RETURNING packed_bytes) "
      "UPDATE shopwalk.kept_page_tally SET dropped = dropped + (SELECT pg_catalog.count(*) FROM "
      "gone), packed_bytes = packed_bytes - (SELECT coalesce(pg_catalog.sum(g.packed_bytes), 0) "
      "FROM gone g)::bigint",
      pg::Params().Int(*cutOff));
}

Expected<bool, pg::Status> WriteRevisit(pg::Connection& connection, const Lease& lease,
                                        std::int64_t shopId, std::string_view reason) {
  const std::string failedCode = std::to_string(static_cast<int>(ShopOutcome::Failed));
  std::string sql;
  if (lease.kind == Lease::Kind::Block) {
    sql = std::string(BlockFence) + OutcomePart(failedCode) + ", marked AS (" +
          std::string(MarkColumns) + std::string(MarkValues) + " FROM lease" +
          std::string(MarkOnConflict) + " RETURNING 1)" + std::string(HeldAnswer);
  } else {
    sql =
        "WITH lease AS (UPDATE shopwalk.failed_shops f SET attempts = 0, reason = $4, "
        "failed_at = pg_catalog.now(), position = "
        "pg_catalog.nextval('shopwalk.failure_positions'), "
        "due_at = pg_catalog.now(), retry_rounds = 0, retry_node = NULL, retry_epoch = NULL, "
        "retry_until = NULL, revisit = true WHERE f.shop_id = $1 AND f.retry_epoch = $3 AND "
        "$2::bigint = 0 RETURNING (SELECT o.walk_id FROM shopwalk.outcomes o WHERE o.shop_id = "
        "f.shop_id) AS walk_id)" +
        OutcomePart(failedCode) + std::string(HeldAnswer);
  }
  pg::Params params = FenceParams(lease, shopId);
  params.Bytes(reason);
  return RunFenced(connection, sql, params);
}

pg::Status MarkToRevisit(pg::Connection& connection, std::int64_t shopId, std::string_view reason) {
  return connection.Run(
      std::string(MarkColumns) +
          "VALUES ($1, 0, $2, pg_catalog.now(), pg_catalog.nextval('shopwalk.failure_positions'), "
          "pg_catalog.now(), 0, true)" +
          std::string(MarkOnConflict) +
          " WHERE failed_shops.retry_until IS NULL OR failed_shops.retry_until < pg_catalog.now()",
      pg::Params().Int(shopId).Bytes(reason));
}

#undef SW_MS
#undef SW_BOUND

}  // namespace shopwalk::results
