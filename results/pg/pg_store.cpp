#include "results/pg/pg_store.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iterator>
#include <limits>
#include <utility>

#include "base/terminal_text.h"
#include "results/pg/pg_schema.h"

namespace shopwalk {
namespace {

// Times its missing IDs are handed out again before a block is left for its lease to expire.
constexpr int MaxRehandRounds = 3;
// IDs read at once when visiting every row.
constexpr int RowsPerFetch = 1000;

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

// A shop ID of a lease already checked (results::ReadShopId) when it was claimed.
std::int32_t ToShopId(std::int64_t value) {
  return static_cast<std::int32_t>(value);
}

template <typename Duration>
Duration AtLeast(Duration value, Duration least) {
  return value < least ? least : value;
}

// The oldest a lease may be for the node to hand out its IDs: a renewal is due well before it
// expires, so a node that could not renew stops handing out before another may claim the block.
std::chrono::milliseconds HandOutMargin(const PgStoreSettings& settings) {
  return std::min(settings.renewEvery, settings.lease / 3);
}

// A time $N in Unix milliseconds, and a time column in Unix milliseconds.
#define SW_PG_TIME(param) \
  "pg_catalog.to_timestamp(" param "::double precision / 1000::double precision)"
#define SW_UNIX_MS(column) \
  "pg_catalog.round(pg_catalog.date_part('epoch', " column ") * 1000::double precision)::bigint"

pg::Status RecordFromRow(const pg::Result& result, int row, ShopRecord& record) {
  auto id = results::ReadShopId(result.Int64(row, 0), "shopwalk.shops");
  if (!id) return id.error();
  record.shopId = *id;
  record.name = result.Bytes(row, 1);
  record.reputation = result.Bytes(row, 2);
  record.messenger = result.Bytes(row, 3);
  record.openingDate = result.Bytes(row, 4);
  record.address = result.Bytes(row, 5);
  return {};
}

}  // namespace

PgStoreSettings PgStoreSettings::Normalized() const {
  using std::chrono::milliseconds;
  PgStoreSettings s = *this;
  s.blockSize = std::clamp(s.blockSize, 1, 1000000);
  s.lease = AtLeast(s.lease, milliseconds(300));
  s.renewEvery = std::clamp(s.renewEvery, milliseconds(50), s.lease / 3);
  s.failedRetryDelay = AtLeast(s.failedRetryDelay, milliseconds(0));
  s.failedRetryRounds = std::max(1, s.failedRetryRounds);
  s.failedClaimBatch = std::max(1, s.failedClaimBatch);
  s.idleClaimEvery = AtLeast(s.idleClaimEvery, milliseconds(1));
  s.maxWaitingReports = std::max<std::size_t>(1, s.maxWaitingReports);
  s.commitDelay = AtLeast(s.commitDelay, milliseconds(0));
  s.placeDelay = AtLeast(s.placeDelay, s.commitDelay);
  s.batchSize = std::max<std::size_t>(1, s.batchSize);
  s.maxTransactionReports = std::max<std::size_t>(1, s.maxTransactionReports);
  s.reconnectFirst = AtLeast(s.reconnectFirst, milliseconds(1));
  s.reconnectLongest = AtLeast(s.reconnectLongest, s.reconnectFirst);
  s.connectTimeout = AtLeast(s.connectTimeout, milliseconds(1000));
  s.closeTimeout = AtLeast(s.closeTimeout, milliseconds(0));
  s.readWaitLimit = AtLeast(s.readWaitLimit, milliseconds(0));
  if (!(s.pacedRate >= 0)) s.pacedRate = 0;
  return s;
}

namespace {

ReportQueueSettings QueueSettings(const PgStoreSettings& settings) {
  ReportQueueSettings queue;
  queue.commitDelay = settings.commitDelay;
  queue.placeDelay = settings.placeDelay;
  queue.batchSize = settings.batchSize;
  queue.maxTransactionReports = settings.maxTransactionReports;
  // A batch waits for the writer's next try at reconnecting, at least this long.
  queue.retryDelay = settings.reconnectFirst;
  queue.closeTimeout = settings.closeTimeout;
  queue.maxWaitingReports = settings.maxWaitingReports;
  // A server out of reach alone does not hold the walk (up to the bound): servers restart and
  // networks come back.
  queue.holdRowsWhileFailing = false;
  return queue;
}

}  // namespace

PgStore::PgStore(std::string uri, bool walking, bool rewriting, const PgStoreSettings& settings,
                 Clock& clock)
    : QueuedStore(pg::RedactedUri(uri), QueueSettings(settings.Normalized()),
                  settings.Normalized().readWaitLimit, clock),
      uri_(std::move(uri)),
      location_(pg::RedactedUri(uri_)),
      walking_(walking),
      rewriting_(rewriting),
      settings_(settings.Normalized()),
      clock_(clock),
      writerReconnect_(FirstReconnect()) {}

PgStore::~PgStore() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  Queue().Close();
  if (keeperThread_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      keeperStopping_ = true;
    }
    keeperWakeup_.notify_all();
    keeperThread_.join();
  }
}

PgStore::Opened PgStore::OpenForWalking(const std::string& uri, const results::WalkRequest& request,
                                        const PgStoreSettings& settings, Clock& clock) {
  return Open<PgStore>(
      uri, pg::RedactedUri(uri), "no database was given",
      [&] { return std::unique_ptr<PgStore>(new PgStore(uri, true, false, settings, clock)); },
      [&](PgStore& store) -> Expected<void, StoreProblem> {
        if (auto started = store.StartWalking(request); !started) return started;
        const results::JoinedWalk& walk = store.walk_;
        store.joined_ = {walk.walkId,  walk.firstId,     walk.endId,
                         walk.created, walk.fromIgnored, store.settings_.lease};
        return {};
      });
}

PgStore::Opened PgStore::OpenForReading(const std::string& uri, const PgStoreSettings& settings,
                                        Clock& clock) {
  return Open<PgStore>(
      uri, pg::RedactedUri(uri), "no database was given",
      [&] { return std::unique_ptr<PgStore>(new PgStore(uri, false, false, settings, clock)); },
      [](PgStore& store) { return store.StartReading(); });
}

PgStore::Opened PgStore::OpenForRewriting(const std::string& uri, const PgStoreSettings& settings,
                                          Clock& clock) {
  return Open<PgStore>(
      uri, pg::RedactedUri(uri), "no database was given",
      [&] { return std::unique_ptr<PgStore>(new PgStore(uri, true, true, settings, clock)); },
      [](PgStore& store) { return store.StartRewriting(); });
}

StoreProblem PgStore::ProblemOf(const pg::Status& status) const {
  StoreProblem problem{StoreProblem::Kind::Other, location_, status.Describe()};
  const std::string& state = status.SqlState();
  if (state == "42501" || state == "25006") {
    // No privilege; a read-only transaction or server (a standby).
    problem.kind = StoreProblem::Kind::NotWritable;
  } else if (state == "53100") {
    problem.kind = StoreProblem::Kind::Full;
  } else if (state == "XX001" || state == "XX002") {
    problem.kind = StoreProblem::Kind::Corrupt;
  }
  return problem;
}

Expected<void, StoreProblem> PgStore::OpenWriter() {
  if (auto status = writer_.Open(uri_, settings_.connectTimeout); !status) {
    return MakeUnexpected(ProblemOf(status));
  }
  if (auto status = PrepareSession(writer_); !status) return MakeUnexpected(ProblemOf(status));
  auto layout = results::InspectPgSchema(writer_);
  if (!layout) return MakeUnexpected(ProblemOf(layout.error()));
  if (auto usable = results::LayoutForWalking(*layout, results::PgLayoutWords, location_);
      !usable) {
    return usable;
  }
  if (auto status = results::CreateOrUpgradePgSchema(writer_); !status) {
    StoreProblem problem = ProblemOf(status);
    // Another program may have set up a layout meanwhile that we cannot use.
    if (status.SqlState() == results::UnusableSchemaState &&
        status.Message() == results::PgLayoutWords.foreign) {
      problem.kind = StoreProblem::Kind::Corrupt;
    }
    return MakeUnexpected(std::move(problem));
  }
  return {};
}

Expected<void, StoreProblem> PgStore::StartThreads() {
  if (auto status = keeper_.Open(uri_, settings_.connectTimeout); !status) {
    return MakeUnexpected(ProblemOf(status));
  }
  if (auto status = PrepareSession(keeper_); !status) return MakeUnexpected(ProblemOf(status));
  keeperReachable_ = true;
  Queue().Start(*this);
  keeperThread_ = std::thread([this] { KeepLoop(); });
  return {};
}

Expected<void, StoreProblem> PgStore::StartWalking(const results::WalkRequest& request) {
  if (auto opened = OpenWriter(); !opened) return opened;
  results::WalkRequest asked = request;
  asked.blockSize = settings_.blockSize;
  auto joined = results::JoinWalk(writer_, asked);
  if (!joined) return MakeUnexpected(ProblemOf(joined.error()));
  walk_ = std::move(*joined);
  auto node =
      results::RegisterNode(writer_, walk_.walkId, HostName(), ::getpid(), settings_.pacedRate);
  if (!node) return MakeUnexpected(ProblemOf(node.error()));
  nodeId_ = *node;
  return StartThreads();
}

Expected<void, StoreProblem> PgStore::StartRewriting() {
  if (auto opened = OpenWriter(); !opened) return opened;
  auto latest = results::LatestWalkId(writer_);
  if (!latest) return MakeUnexpected(ProblemOf(latest.error()));
  if (*latest) {
    // A node of the latest walk, for status displays; without a walk there is nothing to claim.
    walk_.walkId = **latest;
    joined_.walkId = walk_.walkId;
    joined_.lease = settings_.lease;
    auto node =
        results::RegisterNode(writer_, walk_.walkId, HostName(), ::getpid(), settings_.pacedRate);
    if (!node) return MakeUnexpected(ProblemOf(node.error()));
    nodeId_ = *node;
  }
  return StartThreads();
}

Expected<void, StoreProblem> PgStore::StartReading() {
  if (auto status = reader_.Open(uri_, settings_.connectTimeout); !status) {
    return MakeUnexpected(ProblemOf(status));
  }
  auto layout = results::InspectPgSchema(reader_);
  if (!layout) return MakeUnexpected(ProblemOf(layout.error()));
  return results::LayoutForReading(*layout, results::PgLayoutWords, location_);
}

PgStoreCounters PgStore::Counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

// Handing out work.

WorkSource::Next PgStore::NextShop() {
  Next next;
  std::unique_lock lock(mutex_);
  if (!walking_ || rewriting_ || endGiven_) {
    next.kind = Next::Kind::End;
    return next;
  }
  const Clock::TimePoint now = clock_.Now();
  if (keeperReachable_) {
    for (auto it = handOrder_.begin(); it != handOrder_.end();) {
      auto found = leases_.find(*it);
      if (found == leases_.end() || found->second.lost || found->second.toHandOut.empty()) {
        it = handOrder_.erase(it);
        continue;
      }
      HeldLease& held = found->second;
      // Not renewed in time: wait for the keeper to renew it (or find it taken).
      if (now >= held.validUntil) {
        ++it;
        continue;
      }
      const std::int32_t id = held.toHandOut.front();
      held.toHandOut.pop_front();
      held.outstanding.insert(id);
      held.handedOut.push_back(id);
      fenceOf_[id] = held.lease.epoch;
      next.kind = Next::Kind::Shop;
      next.shopId = id;
      next.retryOfFailed = held.lease.kind == results::Lease::Kind::FailedShop;
      if (held.toHandOut.empty()) handOrder_.erase(it);
      const bool claim = NeedsClaim();
      lock.unlock();
      if (claim) keeperWakeup_.notify_one();
      return next;
    }
  }
  if (walkOver_ && leases_.empty()) {
    endGiven_ = true;
    next.kind = Next::Kind::End;
    return next;
  }
  lock.unlock();
  keeperWakeup_.notify_one();
  return next;
}

bool PgStore::NeedsClaim() const {
  if (rewriting_ || walkOver_ || closing_ || keeperStopping_) return false;
  std::size_t ready = 0;
  for (const auto& [epoch, held] : leases_) {
    if (!held.lost) ready += held.toHandOut.size();
  }
  return ready < static_cast<std::size_t>(std::max(1, walk_.blockSize));
}

void PgStore::AddLease(const results::Lease& lease, std::vector<std::int32_t> ids) {
  HeldLease held;
  held.lease = lease;
  held.toHandOut.assign(ids.begin(), ids.end());
  held.validUntil = clock_.Now() + settings_.lease - HandOutMargin(settings_);
  const bool empty = held.toHandOut.empty();
  leases_[lease.epoch] = std::move(held);
  if (empty) {
    // Nothing left to walk in it: it only needs its finish written.
    Queue().Poke();
  } else {
    handOrder_.push_back(lease.epoch);
  }
}

void PgStore::LoseLease(std::int64_t epoch) {
  auto found = leases_.find(epoch);
  if (found == leases_.end() || found->second.lost) return;
  found->second.lost = true;
  found->second.toHandOut.clear();
  ++counters_.leasesLost;
  if (found->second.unwritten == 0) ForgetLease(epoch);
}

void PgStore::ForgetLease(std::int64_t epoch) {
  auto found = leases_.find(epoch);
  if (found == leases_.end()) return;
  for (std::int32_t id : found->second.handedOut) {
    auto fence = fenceOf_.find(id);
    if (fence != fenceOf_.end() && fence->second == epoch) fenceOf_.erase(fence);
  }
  leases_.erase(found);
  keeperWakeup_.notify_one();
}

// Reporting: queue and return.

void PgStore::QueueShopReport(Report report, std::int32_t shopId) {
  if (!walking_) {
    Queue().Push(std::move(report));  // refused, and said so
    return;
  }
  std::int64_t epoch = 0;
  {
    std::lock_guard lock(mutex_);
    auto fence = fenceOf_.find(shopId);
    const std::int64_t fenced = fence != fenceOf_.end() ? fence->second : RewriteEpochOf(shopId);
    auto held = fenced == 0 ? leases_.end() : leases_.find(fenced);
    const bool mark = std::holds_alternative<reports::Revisit>(report);
    if (held == leases_.end() || held->second.lost) {
      ++counters_.reportsNotHeld;
      // A mark is never lost: it is written without a lease (see results::MarkToRevisit).
      if (!mark) return;
    } else {
      // A kept page comes with the shop's answer, not in its place: the shop is still to report.
      if (!std::holds_alternative<reports::KeptPage>(report)) {
        held->second.outstanding.erase(shopId);
      }
      ++held->second.unwritten;
      epoch = held->first;
    }
  }
  Queue().Push(std::move(report), epoch);
}

std::vector<std::int32_t> PgStore::ShopsToRevisit() {
  auto marked =
      Reading("the shops to revisit", [&]() -> Expected<std::vector<std::int32_t>, StoreProblem> {
        pg::Status status = EnsureReader();
        pg::Result result;
        if (status) {
          status = reader_.Run(
              "SELECT shop_id FROM shopwalk.failed_shops WHERE revisit ORDER BY position", result);
        }
        std::vector<std::int32_t> shops;
        for (int row = 0; status && row < result.Rows(); ++row) {
          auto id = results::ReadShopId(result.Int64(row, 0), "shopwalk.failed_shops");
          if (!id) {
            status = id.error();
          } else {
            shops.push_back(*id);
          }
        }
        if (!status) return MakeUnexpected(ReadProblem("the shops to revisit", status));
        return shops;
      });
  return marked.value_or(std::vector<std::int32_t>{});
}

PageMatchHistory PgStore::PageHistory() {
  auto history = Reading("the page history", [&]() -> Expected<PageMatchHistory, StoreProblem> {
    pg::Status status = EnsureReader();
    pg::Transaction transaction(reader_);
    if (status) status = transaction.Begin(pg::Transaction::Isolation::RepeatableReadOnly);
    pg::Result result;
    if (status) {
      status = reader_.Run(
          "WITH highest AS (SELECT pg_catalog.max(shop_id) AS id FROM shopwalk.shops) "
          "SELECT (SELECT id FROM highest), (SELECT pg_catalog.count(*) FROM shopwalk.shops), "
          "(SELECT pg_catalog.count(*) FROM shopwalk.shops WHERE (reputation = '\\x30'::bytea "
          "OR pg_catalog.octet_length(reputation) = 0) AND "
          "pg_catalog.octet_length(opening_date) = 0), "
          "(SELECT pg_catalog.count(*) FILTER (WHERE o.outcome = 2) FROM shopwalk.outcomes o, "
          "highest h WHERE o.shop_id <= h.id), "
          "(SELECT pg_catalog.count(*) FILTER (WHERE o.outcome = 1) FROM shopwalk.outcomes o, "
          "highest h WHERE o.shop_id <= h.id)",
          result);
    }
    PageMatchHistory history;
    if (status && !result.IsNull(0, 0)) {
      auto highest = results::ReadShopId(result.Int64(0, 0), "shopwalk.shops");
      if (!highest) {
        status = highest.error();
      } else {
        history.highestShopId = *highest;
        history.rows = result.Int64(0, 1);
        history.ratingEmpty = result.Int64(0, 2);
        history.noFields = result.Int64(0, 3);
        history.withoutNotice = history.rows + history.noFields;
        history.noShopBelowHighest = result.Int64(0, 4);
        history.belowHighest = history.withoutNotice + history.noShopBelowHighest;
      }
    }
    if (status) {
      // The latest answers: the highest answered IDs above the highest mark to revisit (see
      // SqliteStore::ReadLatestAnswers), without the failed shops.
      status = reader_.Run(
          "SELECT o.shop_id, o.outcome, coalesce((s.reputation = '\\x30'::bytea OR "
          "pg_catalog.octet_length(s.reputation) = 0) AND "
          "pg_catalog.octet_length(s.opening_date) = 0, false) "
          "FROM shopwalk.outcomes o LEFT JOIN shopwalk.shops s ON s.shop_id = o.shop_id "
          "WHERE o.outcome <= 2 AND o.shop_id > (SELECT coalesce(pg_catalog.max(shop_id), -1) "
          "FROM shopwalk.failed_shops WHERE revisit) AND NOT EXISTS (SELECT 1 FROM "
          "shopwalk.failed_shops f WHERE f.shop_id = o.shop_id) ORDER BY o.shop_id DESC LIMIT $1",
          pg::Params().Int(static_cast<std::int64_t>(PageMatchHistory::MaxLatest)), result);
    }
    for (int row = result.Rows() - 1; status && row >= 0; --row) {
      auto id = results::ReadShopId(result.Int64(row, 0), "shopwalk.outcomes");
      if (!id) {
        status = id.error();
        break;
      }
      const std::int64_t outcome = result.Int64(row, 1);
      const HomeAnswer answer = outcome == 0   ? HomeAnswer::Row
                                : outcome == 1 ? HomeAnswer::NoShop
                                               : HomeAnswer::NoFields;
      history.latest.push_back({*id, answer, answer == HomeAnswer::Row && result.Bool(row, 2)});
    }
    if (status) status = transaction.Commit();
    if (!status) return MakeUnexpected(ReadProblem("the page history", status));
    return history;
  });
  return history.value_or(PageMatchHistory{});
}

std::int64_t PgStore::RewriteEpochOf(std::int32_t shopId) const {
  auto after = rewriteSpans_.upper_bound(shopId);
  if (after == rewriteSpans_.begin()) return 0;
  const auto& [first, span] = *std::prev(after);
  return shopId >= first && shopId <= span.lastId ? span.epoch : 0;
}

std::vector<FailedShop> PgStore::FailedShops() {
  // Failed shops come back through NextShop, under a lease, one node at a time.
  return {};
}

Expected<std::optional<InterruptedRun>, StoreProblem> PgStore::Interrupted(RunKind /*kind*/) {
  // A dead node's blocks are claimed again by lease; there is no list to put back.
  return std::optional<InterruptedRun>();
}

void PgStore::ContinueRun(std::int64_t /*runId*/) {
  // Interrupted offers no run to continue in a shared walk.
}

// The writer.

pg::Status PgStore::PrepareSession(pg::Connection& connection) const {
  // A node frozen in the middle of a transaction (stopped, swapped out) would keep its row locks,
  // and so its blocks, from everyone: the server ends such a session after a lease.
  pg::Status status = connection.Run(
      "SELECT pg_catalog.set_config('idle_in_transaction_session_timeout', $1, false)",
      pg::Params().Text(std::to_string(settings_.lease.count())));
  if (!status) connection.Close();
  return status;
}

PgStore::Reconnect PgStore::FirstReconnect() const {
  return Reconnect{clock_.Now(), settings_.reconnectFirst, std::nullopt};
}

Expected<void, StoreProblem> PgStore::EnsureConnected(pg::Connection& connection,
                                                      Reconnect& reconnect, const char* what) {
  if (connection.IsAlive()) return {};
  const Clock::TimePoint now = clock_.Now();
  if (now >= reconnect.nextTry) {
    pg::Status status = connection.Open(uri_, settings_.connectTimeout);
    if (status) status = PrepareSession(connection);
    if (status) {
      reconnect.delay = settings_.reconnectFirst;
      reconnect.lastProblem.reset();
      return {};
    }
    reconnect.nextTry = now + reconnect.delay;
    reconnect.delay = std::min(reconnect.delay * 2, settings_.reconnectLongest);
    StoreProblem problem = ProblemOf(status);
    problem.reason = std::string("cannot reach the server for ") + what + ": " + problem.reason;
    reconnect.lastProblem = std::move(problem);
  }
  return MakeUnexpected(reconnect.lastProblem.value_or(
      StoreProblem{StoreProblem::Kind::Other, location_, "cannot reach the server"}));
}

Expected<BatchWriter::Written, StoreProblem> PgStore::WriteBatch(std::span<QueuedReport> batch) {
  if (auto connected = EnsureConnected(writer_, writerReconnect_, "writing"); !connected) {
    return MakeUnexpected(std::move(connected).error());
  }
  try {
    // Run IDs first, outside the transaction: a batch written again reuses them.
    for (QueuedReport& queued : batch) {
      if (!std::holds_alternative<reports::BeginRun>(queued.report) || queued.writerTag != 0) {
        continue;
      }
      pg::Result result;
      if (auto status = writer_.Run("SELECT pg_catalog.nextval('shopwalk.run_ids')", result);
          !status) {
        if (status.ConnectionLost()) writer_.Close();
        return MakeUnexpected(ProblemOf(status));
      }
      queued.writerTag = result.Int64(0, 0);
    }
    // The lease each report of a shop is written under (epoch 0: none, or no longer known).
    std::vector<results::Lease> leases(batch.size());
    std::vector<std::int64_t> blockIds;
    std::vector<std::int64_t> failedShopIds;
    {
      std::lock_guard lock(mutex_);
      for (std::size_t i = 0; i < batch.size(); ++i) {
        if (batch[i].fence == 0) continue;
        auto held = leases_.find(batch[i].fence);
        if (held == leases_.end()) continue;
        leases[i] = held->second.lease;
        if (leases[i].kind == results::Lease::Kind::Block) {
          blockIds.push_back(leases[i].blockId);
        } else {
          failedShopIds.push_back(leases[i].firstId);
        }
      }
    }
    for (auto* ids : {&blockIds, &failedShopIds}) {
      std::sort(ids->begin(), ids->end());
      ids->erase(std::unique(ids->begin(), ids->end()), ids->end());
    }

    const std::optional<std::int64_t> runBefore = currentRun_;
    const std::optional<std::string> placeBefore = writerPlace_;
    std::vector<std::int64_t> refused;
    pg::Transaction transaction(writer_);
    pg::Status status = transaction.Begin();
    if (status) status = results::LockLeasesForWriting(writer_, blockIds, failedShopIds);
    keptPagesDelta_ = 0;
    bool pagesKept = false;
    for (std::size_t i = 0; status && i < batch.size(); ++i) {
      Expected<bool, pg::Status> held = Apply(batch[i], leases[i]);
      pagesKept = pagesKept || std::holds_alternative<reports::KeptPage>(batch[i].report);
      if (!held) {
        status = held.error();
      } else if (!*held) {
        refused.push_back(batch[i].fence);
      }
    }
    if (status && pagesKept) {
      status = results::TallyKeptPages(writer_, keptPagesDelta_, KeptPagesBudget());
    }
    if (status) status = transaction.Commit();
    if (!status) {
      currentRun_ = runBefore;
      writerPlace_ = placeBefore;
      if (status.ConnectionLost()) writer_.Close();
      return MakeUnexpected(ProblemOf(status));
    }
    refusedEpochs_ = std::move(refused);
    return Written{writerPlace_};
  } catch (const std::exception& error) {
    return MakeUnexpected(StoreProblem{StoreProblem::Kind::Other, location_, error.what()});
  }
}

Expected<bool, pg::Status> PgStore::Apply(const QueuedReport& queued, const results::Lease& lease) {
  using Held = Expected<bool, pg::Status>;
  // A report written without a lease, or not written for want of one known: no lease was lost.
  auto unfenced = [](pg::Status status) -> Held {
    if (!status) return MakeUnexpected(std::move(status));
    return true;
  };
  return std::visit(
      Overloaded{
          [&](const reports::Row& row) -> Held {
            if (lease.epoch == 0) return true;
            return results::WriteRow(writer_, lease, row.record, row.source, queued.unixMs);
          },
          [&](const reports::Closed& closed) -> Held {
            if (lease.epoch == 0) return true;
            return results::WriteClosed(writer_, lease, closed.shopId, closed.source,
                                        queued.unixMs);
          },
          [&](const reports::Answer& answer) -> Held {
            if (lease.epoch == 0) return true;
            return results::WriteAnswer(writer_, lease, answer.shopId, answer.outcome);
          },
          [&](const reports::Failure& failure) -> Held {
            if (lease.epoch == 0) return true;
            // A shop marked to be asked again (its pages stopped matching) failed nothing: it is
            // due at once, before the walk may end.
            const bool mark = failure.shop.reason == ResultSink::RevisitReason;
            return results::WriteFailure(writer_, lease, failure.shop,
                                         mark ? 0 : settings_.failedRetryDelay.count());
          },
          [&](const reports::Place& place) -> Held {
            // A place belongs to a run; outside one there is nothing to move.
            if (!currentRun_) return true;
            writerPlace_ = place.place;
            return unfenced(writer_.Run("UPDATE shopwalk.runs SET place = $2 WHERE run_id = $1",
                                        pg::Params().Int(*currentRun_).Bytes(place.place)));
          },
          [&](const reports::BeginRun& begin) -> Held {
            if (currentRun_) {
              if (auto cut = writer_.Run("UPDATE shopwalk.runs SET ended_at = pg_catalog.now() "
                                         "WHERE run_id = $1 AND ended_at IS NULL",
                                         pg::Params().Int(*currentRun_));
                  !cut) {
                return MakeUnexpected(cut);
              }
            }
            pg::Status inserted = writer_.Run(
                "INSERT INTO shopwalk.runs (run_id, kind, started_at, place, node_id) "
                "VALUES ($1, $2, pg_catalog.now(), $3, $4) ON CONFLICT (run_id) DO NOTHING",
                pg::Params()
                    .Int(queued.writerTag)
                    .Int(static_cast<std::int64_t>(begin.kind))
                    .Bytes(begin.place)
                    .Int(nodeId_));
            if (inserted) {
              currentRun_ = queued.writerTag;
              writerPlace_ = begin.place;
            }
            return unfenced(inserted);
          },
          // Never queued: a shared walk has no run to continue (see ContinueRun).
          [](const reports::ContinueRun&) -> Held { return true; },
          [&](const reports::EndRun& end) -> Held {
            if (!currentRun_) return true;
            pg::Status ended = writer_.Run(
                "UPDATE shopwalk.runs SET ended_at = pg_catalog.now(), clean_end = true, "
                "place_saved = $2 WHERE run_id = $1",
                pg::Params().Int(*currentRun_).Bool(end.placeSaved));
            if (ended) currentRun_.reset();
            return unfenced(ended);
          },
          [&](const reports::Revisit& mark) -> Held {
            if (lease.epoch == 0) {
              return unfenced(
                  results::MarkToRevisit(writer_, mark.shopId, ResultSink::RevisitReason));
            }
            return results::WriteRevisit(writer_, lease, mark.shopId, ResultSink::RevisitReason);
          },
          [&](const reports::KeptDictionary& kept) -> Held {
            return unfenced(writer_.Run(
                "INSERT INTO shopwalk.page_dictionaries (dictionary_id, bytes, kept_at) "
                "VALUES ($1, $2, pg_catalog.now()) ON CONFLICT (dictionary_id) DO NOTHING",
                pg::Params().Int(kept.dictionary.id).Bytes(kept.dictionary.bytes)));
          },
          [&](const reports::KeptPage& kept) -> Held {
            if (lease.epoch == 0) return true;
            auto written = results::WriteKeptPage(writer_, lease, kept.page);
            if (!written) return MakeUnexpected(written.error());
            keptPagesDelta_ += written->packedDelta;
            return written->held;
          },
      },
      queued.report);
}

void PgStore::Committed(std::span<const QueuedReport> batch) {
  std::lock_guard lock(mutex_);
  for (const QueuedReport& queued : batch) {
    if (queued.fence == 0) continue;
    // The node's rate counts answers, not the pages kept with them.
    if (!std::holds_alternative<reports::KeptPage>(queued.report)) ++answeredWritten_;
    auto held = leases_.find(queued.fence);
    if (held != leases_.end() && held->second.unwritten > 0) --held->second.unwritten;
  }
  for (std::int64_t epoch : refusedEpochs_) LoseLease(epoch);
  refusedEpochs_.clear();
  // Lost leases whose last report was just written.
  std::vector<std::int64_t> spent;
  for (const auto& [epoch, held] : leases_) {
    if (held.lost && held.unwritten == 0) spent.push_back(epoch);
  }
  for (std::int64_t epoch : spent) ForgetLease(epoch);
}

std::vector<results::Lease> PgStore::TakeCompleteLeases() {
  std::vector<results::Lease> complete;
  std::vector<std::int64_t> spent;
  for (auto& [epoch, held] : leases_) {
    if (held.rewrite || held.lost || held.finishing || !held.toHandOut.empty() ||
        !held.outstanding.empty() || held.unwritten > 0) {
      continue;
    }
    if (held.lease.kind == results::Lease::Kind::FailedShop) {
      // Its written report ended the lease.
      spent.push_back(epoch);
    } else {
      held.finishing = true;
      complete.push_back(held.lease);
    }
  }
  for (std::int64_t epoch : spent) ForgetLease(epoch);
  return complete;
}

void PgStore::Between() {
  std::vector<results::Lease> complete;
  {
    std::lock_guard lock(mutex_);
    complete = TakeCompleteLeases();
  }
  for (const results::Lease& lease : complete) {
    Expected<results::BlockFinish, pg::Status> finish =
        MakeUnexpected(pg::Status("", "not connected", true));
    if (writer_.IsAlive()) finish = results::FinishBlock(writer_, lease);
    if (!finish && finish.error().ConnectionLost()) writer_.Close();
    std::lock_guard lock(mutex_);
    auto held = leases_.find(lease.epoch);
    if (held == leases_.end()) continue;
    held->second.finishing = false;
    if (!finish) continue;  // tried again at the keeper's next renewal
    switch (finish->kind) {
      case results::BlockFinish::Kind::Done:
        ++counters_.blocksDone;
        ForgetLease(lease.epoch);
        break;
      case results::BlockFinish::Kind::Lost:
        LoseLease(lease.epoch);
        break;
      case results::BlockFinish::Kind::Missing:
        if (held->second.rounds++ < MaxRehandRounds) {
          for (std::int64_t id : finish->missing) held->second.toHandOut.push_back(ToShopId(id));
          if (!held->second.toHandOut.empty()) handOrder_.push_back(lease.epoch);
        } else {
          std::fprintf(stderr,
                       "shopwalk: results store %s: block %lld-%lld: %zu shop IDs got no answer; "
                       "left for another node\n",
                       TerminalSafe(location_).c_str(), static_cast<long long>(lease.firstId),
                       static_cast<long long>(lease.lastId), finish->missing.size());
          ForgetLease(lease.epoch);
        }
        break;
    }
  }
}

// The keeper.

void PgStore::KeepLoop() {
  Reconnect reconnect = FirstReconnect();
  Clock::TimePoint nextRenew = clock_.Now() + settings_.renewEvery;
  Clock::TimePoint nextClaim = clock_.Now();
  Clock::TimePoint rateSince = clock_.Now();
  std::uint64_t answeredBefore = 0;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      Clock::TimePoint wakeAt = nextRenew;
      if (!keeper_.IsAlive()) wakeAt = std::min(wakeAt, reconnect.nextTry);
      if (NeedsClaim()) wakeAt = std::min(wakeAt, nextClaim);
      clock_.WaitUntil(lock, keeperWakeup_, wakeAt, [&] {
        return keeperStopping_ || (NeedsClaim() && clock_.Now() >= nextClaim);
      });
      if (keeperStopping_) break;
    }
    if (auto connected = EnsureConnected(keeper_, reconnect, "claiming work"); !connected) {
      // Told once: the listener hears only a change.
      Queue().SetOtherProblem(connected.error());
      std::lock_guard lock(mutex_);
      keeperReachable_ = false;
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      keeperReachable_ = true;
    }

    pg::Status status;
    const Clock::TimePoint now = clock_.Now();
    if (now >= nextRenew) {
      status = Renew();
      if (status) {
        std::uint64_t answered = 0;
        {
          std::lock_guard lock(mutex_);
          answered = answeredWritten_;
        }
        // Complete blocks whose finish could not be written before.
        Queue().Poke();
        const double seconds = std::chrono::duration<double>(now - rateSince).count();
        const double rate =
            seconds > 0 ? static_cast<double>(answered - answeredBefore) / seconds : 0;
        answeredBefore = answered;
        rateSince = now;
        status = results::NodeSeen(keeper_, nodeId_, rate);
      }
      nextRenew = now + settings_.renewEvery;
    }
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (!status || keeperStopping_ || !NeedsClaim() || clock_.Now() < nextClaim) break;
      }
      Expected<bool, pg::Status> claimed = ClaimOnce();
      if (!claimed) {
        status = claimed.error();
        break;
      }
      if (*claimed) continue;
      Expected<bool, pg::Status> over = results::WalkOver(keeper_, walk_.walkId);
      if (over && *over) {
        // Failed shops tried again elsewhere may fail again and be due: wait for their answers.
        Expected<bool, pg::Status> retrying = results::FailedShopsInRetry(keeper_);
        if (!retrying) {
          over = MakeUnexpected(retrying.error());
        } else if (*retrying) {
          over = false;
        }
      }
      if (!over) {
        status = over.error();
      } else if (*over) {
        std::lock_guard lock(mutex_);
        walkOver_ = true;
      }
      nextClaim = clock_.Now() + settings_.idleClaimEvery;
      break;
    }
    if (status) {
      Queue().SetOtherProblem(std::nullopt);
    } else {
      if (status.ConnectionLost()) keeper_.Close();
      nextClaim = clock_.Now() + settings_.reconnectFirst;
      if (status.ConnectionLost()) {
        std::lock_guard lock(mutex_);
        keeperReachable_ = false;
      } else {
        // The server answers but claiming or renewing fails (a value in the database that cannot
        // be right, a privilege taken away): said, as the walk cannot go on while it lasts.
        StoreProblem problem = ProblemOf(status);
        problem.reason = "claiming work: " + problem.reason;
        Queue().SetOtherProblem(problem);
      }
    }
  }
  ReleaseAll();
}

Expected<bool, pg::Status> PgStore::ClaimOnce() {
  const std::int64_t leaseMs = settings_.lease.count();
  Expected<std::optional<results::Lease>, pg::Status> expired =
      results::ClaimExpiredBlock(keeper_, nodeId_, leaseMs);
  if (!expired) return MakeUnexpected(expired.error());
  if (const std::optional<results::Lease>& block = *expired) {
    // When the answered IDs cannot be read, the block is held with nothing to hand out: its
    // finish then finds the IDs that still lack an outcome (and a lost connection shows at the
    // next statement).
    Expected<std::vector<std::int64_t>, pg::Status> answered =
        results::AnsweredIds(keeper_, *block);
    std::vector<std::int32_t> ids;
    if (answered) {
      std::size_t next = 0;
      for (std::int64_t id = block->firstId; id <= block->lastId; ++id) {
        while (next < answered->size() && (*answered)[next] < id) ++next;
        if (next < answered->size() && (*answered)[next] == id) continue;
        ids.push_back(ToShopId(id));
      }
    }
    std::lock_guard lock(mutex_);
    AddLease(*block, std::move(ids));
    ++counters_.blocksClaimed;
    return true;
  }

  Expected<std::vector<results::Lease>, pg::Status> failed = results::ClaimFailedShops(
      keeper_, nodeId_, leaseMs, settings_.failedRetryRounds, settings_.failedClaimBatch);
  if (!failed) return MakeUnexpected(failed.error());
  if (!failed->empty()) {
    std::lock_guard lock(mutex_);
    for (const results::Lease& lease : *failed) AddLease(lease, {ToShopId(lease.firstId)});
    counters_.failedShopsClaimed += failed->size();
    return true;
  }

  Expected<std::optional<results::Lease>, pg::Status> fresh =
      results::ClaimNewBlock(keeper_, walk_.walkId, nodeId_, leaseMs);
  if (!fresh) return MakeUnexpected(fresh.error());
  const std::optional<results::Lease>& block = *fresh;
  if (!block) return false;
  std::vector<std::int32_t> ids;
  ids.reserve(static_cast<std::size_t>(block->lastId - block->firstId + 1));
  for (std::int64_t id = block->firstId; id <= block->lastId; ++id) ids.push_back(ToShopId(id));
  std::lock_guard lock(mutex_);
  AddLease(*block, std::move(ids));
  ++counters_.blocksClaimed;
  return true;
}

pg::Status PgStore::Renew() {
  std::vector<std::int64_t> blockEpochs;
  std::vector<std::int64_t> failedEpochs;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [epoch, held] : leases_) {
      if (held.lost || held.finishing) continue;
      if (held.rewrite) {
        (held.lease.kind == results::Lease::Kind::Block ? blockEpochs : failedEpochs)
            .push_back(epoch);
      } else if (held.lease.kind == results::Lease::Kind::Block) {
        blockEpochs.push_back(epoch);
      } else if (!held.toHandOut.empty() || !held.outstanding.empty() || held.unwritten > 0) {
        // A failed shop's lease ends with its report written; only one still to report, or
        // whose report still waits to be written, needs renewing.
        failedEpochs.push_back(epoch);
      }
    }
  }
  if (blockEpochs.empty() && failedEpochs.empty()) return {};
  const Clock::TimePoint asked = clock_.Now();
  Expected<std::vector<std::int64_t>, pg::Status> renewed =
      rewriting_
          ? results::RenewRewriteLeases(keeper_, settings_.lease.count(), blockEpochs, failedEpochs)
          : results::RenewLeases(keeper_, nodeId_, settings_.lease.count(), blockEpochs,
                                 failedEpochs);
  if (!renewed) return renewed.error();
  std::vector<std::int64_t>& kept = *renewed;
  std::sort(kept.begin(), kept.end());
  std::lock_guard lock(mutex_);
  for (const auto* epochs : {&blockEpochs, &failedEpochs}) {
    for (std::int64_t epoch : *epochs) {
      auto held = leases_.find(epoch);
      if (held == leases_.end() || held->second.lost || held->second.finishing) continue;
      if (std::binary_search(kept.begin(), kept.end(), epoch)) {
        held->second.validUntil = asked + settings_.lease - HandOutMargin(settings_);
        // A failed shop whose report only waits to be written may have had its lease ended by
        // that write just now: not lost (if another node took it instead, the fenced write says
        // so).
      } else if (held->second.rewrite || held->second.lease.kind == results::Lease::Kind::Block ||
                 !held->second.toHandOut.empty() || !held->second.outstanding.empty()) {
        LoseLease(epoch);
      }
    }
  }
  return {};
}

void PgStore::ReleaseAll() {
  std::vector<std::int64_t> blocks;
  std::vector<std::int64_t> tried;
  std::vector<std::int64_t> untried;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [epoch, held] : leases_) {
      if (held.lost) continue;
      if (held.rewrite) {
        // A rewriting node holds nothing else: its leases go as rewriting leases.
        (held.lease.kind == results::Lease::Kind::Block ? blocks : tried).push_back(epoch);
      } else if (held.lease.kind == results::Lease::Kind::Block) {
        blocks.push_back(epoch);
      } else if (!held.toHandOut.empty()) {
        untried.push_back(epoch);
      } else if (!held.outstanding.empty() || held.unwritten > 0) {
        tried.push_back(epoch);
      }
    }
  }
  Reconnect reconnect = FirstReconnect();
  const Clock::TimePoint deadline = clock_.Now() + settings_.closeTimeout;
  for (;;) {
    if (EnsureConnected(keeper_, reconnect, "letting leases go")) {
      pg::Status status = rewriting_
                              ? results::ReleaseRewriteLeases(keeper_, blocks, tried)
                              : results::ReleaseLeases(keeper_, nodeId_, blocks, tried, untried);
      if (status && nodeId_ != 0) status = results::NodeStopped(keeper_, nodeId_);
      if (status) return;
      if (status.ConnectionLost()) keeper_.Close();
    }
    if (clock_.Now() >= deadline) return;
    clock_.SleepUntil(
        std::min(deadline, std::max(reconnect.nextTry, clock_.Now() + reconnect.delay)));
  }
}

// Reading.

pg::Status PgStore::EnsureReader() {
  if (reader_.IsAlive()) return {};
  return reader_.Open(uri_, settings_.connectTimeout);
}

StoreProblem PgStore::ReadProblem(const char* what, const pg::Status& status) {
  if (status.ConnectionLost()) reader_.Close();
  StoreProblem problem = ProblemOf(status);
  problem.reason = std::string("reading ") + what + ": " + problem.reason;
  return problem;
}

Expected<std::optional<std::string>, StoreProblem> PgStore::LastPlace(RunKind kind) {
  return Reading("the last place", [&]() -> Expected<std::optional<std::string>, StoreProblem> {
    pg::Result result;
    pg::Status status = EnsureReader();
    if (!status) {
    } else if (kind == RunKind::CommandLine) {
      status = reader_.Run(
          "SELECT LEAST(coalesce((SELECT pg_catalog.min(b.first_id) FROM shopwalk.blocks b "
          "WHERE b.walk_id = w.walk_id AND b.done_at IS NULL), w.next_id), "
          "coalesce(w.end_id, 2147483647) + 1) - 1 FROM shopwalk.walks w "
          "ORDER BY w.walk_id DESC LIMIT 1",
          result);
      if (status && result.Rows() > 0) {
        return std::optional<std::string>(std::to_string(result.Int64(0, 0)));
      }
    } else {
      status = reader_.Run(
          "SELECT place FROM shopwalk.runs WHERE kind = $1 ORDER BY run_id DESC LIMIT 1",
          pg::Params().Int(static_cast<std::int64_t>(kind)), result);
      if (status && result.Rows() > 0) return std::optional<std::string>(result.Bytes(0, 0));
    }
    if (!status) return MakeUnexpected(ReadProblem("the last place", status));
    return std::optional<std::string>();
  });
}

Expected<void, StoreProblem> PgStore::ForEachRow(
    const std::function<void(const ShopRecord&)>& visit) {
  return Reading("the rows", [&]() -> Expected<void, StoreProblem> {
    if (auto status = EnsureReader(); !status) {
      return MakeUnexpected(ReadProblem("the rows (connecting)", status));
    }
    pg::Transaction transaction(reader_);
    pg::Status status = transaction.Begin(pg::Transaction::Isolation::RepeatableReadOnly);
    if (status) {
      status = reader_.Execute(
          "DECLARE shop_rows NO SCROLL CURSOR FOR SELECT shop_id, name, reputation, messenger, "
          "opening_date, address FROM shopwalk.shops ORDER BY shop_id");
    }
    const std::string fetch = "FETCH " + std::to_string(RowsPerFetch) + " FROM shop_rows";
    while (status) {
      pg::Result rows;
      status = reader_.Run(fetch, rows);
      if (!status || rows.Rows() == 0) break;
      for (int row = 0; status && row < rows.Rows(); ++row) {
        ShopRecord record;
        status = RecordFromRow(rows, row, record);
        if (status) visit(record);
      }
    }
    if (status) status = transaction.Commit();
    if (!status) return MakeUnexpected(ReadProblem("the rows", status));
    return {};
  });
}

Expected<std::vector<ShopToRefresh>, StoreProblem> PgStore::ShopsToRefresh(
    std::int64_t checkedBeforeMs, std::optional<std::size_t> count) {
  return Reading(
      "the shops to refresh", [&]() -> Expected<std::vector<ShopToRefresh>, StoreProblem> {
        pg::Status status = EnsureReader();
        pg::Result result;
        if (status) {
          pg::Params params;
          params.Int(checkedBeforeMs);
          if (count) {
            params.Int(static_cast<std::int64_t>(
                std::min<std::size_t>(*count, std::numeric_limits<std::int64_t>::max())));
          } else {
            params.NullInt();
          }
          status = reader_.Run(
              "SELECT shop_id, name, reputation, messenger, opening_date, address, "
              "closed_at IS NOT NULL FROM shopwalk.shops WHERE collected_at < " SW_PG_TIME(
                  "$1") " ORDER BY collected_at, shop_id LIMIT $2",
              params, result);
        }
        std::vector<ShopToRefresh> shops;
        for (int row = 0; status && row < result.Rows(); ++row) {
          ShopRecord record;
          status = RecordFromRow(result, row, record);
          if (status) shops.push_back({record.shopId, result.Bool(row, 6), FieldsDigest(record)});
        }
        if (!status) return MakeUnexpected(ReadProblem("the shops to refresh", status));
        return shops;
      });
}

Expected<void, StoreProblem> PgStore::ForEachRowSince(
    RowsSince kind, std::int64_t sinceMs,
    const std::function<void(const ShopRecord&, const ShopTimes&)>& visit) {
  return Reading("the rows", [&]() -> Expected<void, StoreProblem> {
    if (auto status = EnsureReader(); !status) {
      return MakeUnexpected(ReadProblem("the rows (connecting)", status));
    }
    const char* selection =
        kind == RowsSince::New ? "first_seen_at >= " SW_PG_TIME("$1")
        : kind == RowsSince::Changed
            ? "changed_at >= " SW_PG_TIME("$1") " AND changed_at > first_seen_at"
            : "closed_at >= " SW_PG_TIME("$1");
    pg::Transaction transaction(reader_);
    pg::Status status = transaction.Begin(pg::Transaction::Isolation::RepeatableReadOnly);
    if (status) {
      status = reader_.Run(
          std::string(
              "DECLARE shop_rows NO SCROLL CURSOR FOR SELECT shop_id, name, reputation, "
              "messenger, opening_date, address, " SW_UNIX_MS("first_seen_at") ", " SW_UNIX_MS(
                  "collected_at") ", " SW_UNIX_MS("changed_at") ", " SW_UNIX_MS("closed_at") ", "
                                                                                             "colle"
                                                                                             "cted_"
                                                                                             "by "
                                                                                             "FROM "
                                                                                             "shopw"
                                                                                             "alk."
                                                                                             "shops"
                                                                                             " WHER"
                                                                                             "E ") +
              selection + " ORDER BY shop_id",
          pg::Params().Int(sinceMs));
    }
    const std::string fetch = "FETCH " + std::to_string(RowsPerFetch) + " FROM shop_rows";
    while (status) {
      pg::Result rows;
      status = reader_.Run(fetch, rows);
      if (!status || rows.Rows() == 0) break;
      for (int row = 0; status && row < rows.Rows(); ++row) {
        ShopRecord record;
        status = RecordFromRow(rows, row, record);
        ShopTimes times;
        times.firstSeenMs = rows.Int64(row, 6);
        times.checkedMs = rows.Int64(row, 7);
        times.changedMs = rows.Int64(row, 8);
        if (!rows.IsNull(row, 9)) times.closedMs = rows.Int64(row, 9);
        times.checkedBy = ChangeSourceOf(rows.Int64(row, 10)).value_or(ChangeSource::Walk);
        if (status) visit(record, times);
      }
    }
    if (status) status = transaction.Commit();
    if (!status) return MakeUnexpected(ReadProblem("the rows", status));
    return {};
  });
}

Expected<void, StoreProblem> PgStore::ForEachChange(
    std::int64_t sinceMs, const std::function<void(const ShopChange&)>& visit) {
  return Reading("the history", [&]() -> Expected<void, StoreProblem> {
    if (auto status = EnsureReader(); !status) {
      return MakeUnexpected(ReadProblem("the history (connecting)", status));
    }
    pg::Transaction transaction(reader_);
    pg::Status status = transaction.Begin(pg::Transaction::Isolation::RepeatableReadOnly);
    if (status) {
      status = reader_.Run(
          "DECLARE shop_history NO SCROLL CURSOR FOR SELECT shop_id, field, old_value, new_value, "
          SW_UNIX_MS("changed_at") ", source FROM shopwalk.shop_changes WHERE changed_at >= "
          SW_PG_TIME("$1") " ORDER BY change_seq",
          pg::Params().Int(sinceMs));
    }
    const std::string fetch = "FETCH " + std::to_string(RowsPerFetch) + " FROM shop_history";
    while (status) {
      pg::Result rows;
      status = reader_.Run(fetch, rows);
      if (!status || rows.Rows() == 0) break;
      for (int row = 0; status && row < rows.Rows(); ++row) {
        auto id = results::ReadShopId(rows.Int64(row, 0), "shopwalk.shop_changes");
        const std::int64_t field = rows.Int64(row, 1);
        const std::optional<ChangeSource> source = ChangeSourceOf(rows.Int64(row, 5));
        if (!id) {
          status = id.error();
        } else if (field < ShopNameColumn || field > ClosedField || !source) {
          status = pg::Status(results::BadValueState,
                              "a change of shop " + std::to_string(*id) +
                                  " in shopwalk.shop_changes has an unknown field or source",
                              false);
        } else {
          ShopChange change;
          change.shopId = *id;
          change.field = static_cast<int>(field);
          change.oldValue = rows.Bytes(row, 2);
          change.newValue = rows.Bytes(row, 3);
          change.changedMs = rows.Int64(row, 4);
          change.source = *source;
          visit(change);
        }
      }
    }
    if (status) status = transaction.Commit();
    if (!status) return MakeUnexpected(ReadProblem("the history", status));
    return {};
  });
}

pg::Status PgStore::ReadSharedWalk(std::optional<SharedWalkSummary>& out) {
  pg::Result result;
  pg::Status status = reader_.Run(
      "SELECT w.walk_id, w.first_id, w.end_id, w.next_id, w.block_size, "
      "w.finished_at IS NOT NULL, "
      "LEAST(coalesce((SELECT pg_catalog.min(b.first_id) FROM shopwalk.blocks b "
      "WHERE b.walk_id = w.walk_id AND b.done_at IS NULL), w.next_id), "
      "coalesce(w.end_id, 2147483647) + 1) - 1, "
      "(SELECT pg_catalog.count(*) FROM shopwalk.blocks b WHERE b.walk_id = w.walk_id "
      "AND b.done_at IS NOT NULL), "
      "(SELECT pg_catalog.count(*) FROM shopwalk.blocks b WHERE b.walk_id = w.walk_id "
      "AND b.done_at IS NULL AND b.lease_until >= pg_catalog.now()), "
      "(SELECT pg_catalog.count(*) FROM shopwalk.blocks b WHERE b.walk_id = w.walk_id "
      "AND b.done_at IS NULL AND b.lease_until < pg_catalog.now()) "
      "FROM shopwalk.walks w ORDER BY w.walk_id DESC LIMIT 1",
      result);
  if (!status || result.Rows() == 0) return status;
  SharedWalkSummary walk;
  walk.walkId = result.Int64(0, 0);
  auto first = results::ReadShopId(result.Int64(0, 1), "shopwalk.walks");
  if (!first) return first.error();
  walk.firstId = *first;
  if (!result.IsNull(0, 2)) {
    auto end = results::ReadShopId(result.Int64(0, 2), "shopwalk.walks");
    if (!end) return end.error();
    walk.endId = *end;
  }
  walk.nextNewId = result.Int64(0, 3);
  walk.blockSize = static_cast<int>(result.Int64(0, 4));
  walk.finished = result.Bool(0, 5);
  walk.place = result.Int64(0, 6);
  walk.blocksDone = static_cast<std::size_t>(result.Int64(0, 7));
  walk.blocksHeld = static_cast<std::size_t>(result.Int64(0, 8));
  walk.blocksExpired = static_cast<std::size_t>(result.Int64(0, 9));
  status = reader_.Run(
      "SELECT pg_catalog.count(*) FILTER (WHERE live AND NOT spent), "
      "pg_catalog.count(*) FILTER (WHERE NOT live AND NOT spent AND due_at > pg_catalog.now()), "
      "pg_catalog.count(*) FILTER (WHERE NOT live AND NOT spent AND due_at <= pg_catalog.now()), "
      "pg_catalog.count(*) FILTER (WHERE NOT live AND spent) FROM (SELECT due_at, "
      "coalesce(retry_until >= pg_catalog.now(), false) AS live, retry_rounds >= $1 AS spent "
      "FROM shopwalk.failed_shops WHERE NOT revisit) f",
      pg::Params().Int(settings_.failedRetryRounds), result);
  if (status) {
    walk.failedRetrying = static_cast<std::size_t>(result.Int64(0, 0));
    walk.failedWaiting = static_cast<std::size_t>(result.Int64(0, 1));
    walk.failedDue = static_cast<std::size_t>(result.Int64(0, 2));
    walk.failedExhausted = static_cast<std::size_t>(result.Int64(0, 3));
    status = reader_.Run(
        "SELECT n.node_id, n.host, n.pid, (extract(epoch FROM n.started_at) * 1000.0)::bigint, "
        "(extract(epoch FROM n.last_seen) * 1000.0)::bigint, n.stopped_at IS NOT NULL, n.rate, "
        "coalesce(n.paced_rate, 0), "
        "(SELECT pg_catalog.count(*) FROM shopwalk.blocks b WHERE b.node_id = n.node_id "
        "AND b.done_at IS NULL AND b.lease_until >= pg_catalog.now()), "
        "(SELECT pg_catalog.count(*) FROM shopwalk.blocks b WHERE b.node_id = n.node_id "
        "AND b.done_at IS NOT NULL), coalesce(n.held_reason, '') "
        "FROM shopwalk.nodes n WHERE n.walk_id = $1 ORDER BY n.node_id DESC",
        pg::Params().Int(walk.walkId), result);
  }
  if (status) {
    for (int row = 0; row < result.Rows(); ++row) {
      WalkNodeSummary node;
      node.nodeId = result.Int64(row, 0);
      node.host = result.Bytes(row, 1);
      node.pid = result.Int64(row, 2);
      node.startedUnixMs = result.Int64(row, 3);
      node.lastSeenUnixMs = result.Int64(row, 4);
      node.stopped = result.Bool(row, 5);
      node.rate = result.Double(row, 6);
      node.pacedRate = result.Double(row, 7);
      node.blocksHeld = static_cast<std::size_t>(result.Int64(row, 8));
      node.blocksDone = static_cast<std::size_t>(result.Int64(row, 9));
      node.heldReason = result.Bytes(row, 10);
      walk.nodes.push_back(std::move(node));
    }
    out = std::move(walk);
  }
  return status;
}

Expected<std::optional<SharedWalkSummary>, StoreProblem> PgStore::WalkSummary() {
  return Reading("the shared walk",
                 [&]() -> Expected<std::optional<SharedWalkSummary>, StoreProblem> {
                   pg::Status status = EnsureReader();
                   pg::Transaction transaction(reader_);
                   std::optional<SharedWalkSummary> walk;
                   if (status)
                     status = transaction.Begin(pg::Transaction::Isolation::RepeatableReadOnly);
                   if (status) status = ReadSharedWalk(walk);
                   if (status) status = transaction.Commit();
                   if (!status) return MakeUnexpected(ReadProblem("the shared walk", status));
                   return walk;
                 });
}

Expected<void, StoreProblem> PgStore::NodeHeld(const std::string& reason) {
  if (!walking_) {
    return MakeUnexpected(StoreProblem{StoreProblem::Kind::NotWritable, location_,
                                       "the store is open for reading only"});
  }
  std::string printable = reason.substr(0, MaxHeldReasonBytes);
  for (char& c : printable) {
    if (c < 0x20 || c > 0x7e) c = '?';
  }
  return Reading("the node", [&]() -> Expected<void, StoreProblem> {
    pg::Status status = EnsureReader();
    if (status) {
      status = reader_.Run("UPDATE shopwalk.nodes SET held_reason = $2 WHERE node_id = $1",
                           pg::Params().Int(nodeId_).Text(printable));
    }
    if (!status) return MakeUnexpected(ReadProblem("the node", status));
    return {};
  });
}

namespace {

using Span = std::pair<std::int64_t, std::int64_t>;

// `pieces` (apart, in order) without the IDs of `cut`.
std::vector<Span> Without(const std::vector<Span>& pieces, const Span& cut) {
  std::vector<Span> left;
  for (const Span& piece : pieces) {
    if (cut.second < piece.first || cut.first > piece.second) {
      left.push_back(piece);
      continue;
    }
    if (piece.first < cut.first) left.emplace_back(piece.first, cut.first - 1);
    if (cut.second < piece.second) left.emplace_back(cut.second + 1, piece.second);
  }
  return left;
}

// `spans` in order, overlapping or adjacent ones made one.
std::vector<SharedWalk::IdRange> Merged(std::vector<Span> spans) {
  std::sort(spans.begin(), spans.end());
  std::vector<SharedWalk::IdRange> merged;
  for (const auto& [first, last] : spans) {
    if (!merged.empty() && first <= std::int64_t{merged.back().last} + 1) {
      merged.back().last = std::max(merged.back().last, ToShopId(last));
    } else {
      merged.push_back({ToShopId(first), ToShopId(last)});
    }
  }
  return merged;
}

}  // namespace

Expected<SharedWalk::RewriteClaim, StoreProblem> PgStore::ClaimToRewrite(std::int32_t from,
                                                                         std::int32_t to) {
  if (!rewriting_ || nodeId_ == 0 || to < from) return RewriteClaim{};
  return Reading("a claim to rewrite", [&]() -> Expected<RewriteClaim, StoreProblem> {
    if (auto status = EnsureReader(); !status) {
      return MakeUnexpected(ReadProblem("a claim to rewrite (connecting)", status));
    }
    Expected<results::RewriteLeases, pg::Status> claimed =
        results::ClaimToRewrite(reader_, nodeId_, settings_.lease.count(), from, to);
    if (!claimed) return MakeUnexpected(ReadProblem("a claim to rewrite", claimed.error()));
    std::vector<Span> held;
    std::lock_guard lock(mutex_);
    const Clock::TimePoint validUntil = clock_.Now() + settings_.lease - HandOutMargin(settings_);
    auto hold = [&](const results::Lease& lease) {
      HeldLease& lodged = leases_[lease.epoch];
      lodged.lease = lease;
      lodged.rewrite = true;
      lodged.validUntil = validUntil;
    };
    for (const results::Lease& lease : claimed->failedShops) {
      hold(lease);
      const std::int32_t id = ToShopId(lease.firstId);
      // In a block a walking node holds: left to it (held only until this node closes).
      const bool inBusyBlock =
          std::any_of(claimed->busy.begin(), claimed->busy.end(),
                      [id](const Span& busy) { return busy.first <= id && id <= busy.second; });
      if (inBusyBlock) continue;
      fenceOf_[id] = lease.epoch;
      leases_[lease.epoch].handedOut.push_back(id);
      held.emplace_back(id, id);
    }
    for (const results::Lease& lease : claimed->blocks) {
      hold(lease);
      // Within the range, less what others hold and what an earlier span covers.
      std::vector<Span> pieces{
          {std::max<std::int64_t>(lease.firstId, from), std::min<std::int64_t>(lease.lastId, to)}};
      for (const Span& busy : claimed->busy) pieces = Without(pieces, busy);
      for (const auto& [first, span] : rewriteSpans_)
        pieces = Without(pieces, {first, span.lastId});
      for (const Span& piece : pieces) {
        if (piece.first > piece.second) continue;
        rewriteSpans_[piece.first] = RewriteSpan{piece.second, lease.epoch};
      }
    }
    for (const auto& [first, span] : rewriteSpans_) {
      // Only what lies within this claim's range is told.
      const std::int64_t low = std::max<std::int64_t>(first, from);
      const std::int64_t high = std::min<std::int64_t>(span.lastId, to);
      if (low <= high) held.emplace_back(low, high);
    }
    RewriteClaim claim;
    claim.held = Merged(std::move(held));
    claim.busy = Merged(claimed->busy);
    return claim;
  });
}

Expected<std::vector<FailedShop>, StoreProblem> PgStore::ReadFailedShops() {
  return Reading("the failed shops", [&]() -> Expected<std::vector<FailedShop>, StoreProblem> {
    pg::Status status = EnsureReader();
    pg::Result result;
    if (status) {
      status = reader_.Run(
          "SELECT shop_id, attempts, reason FROM shopwalk.failed_shops WHERE NOT revisit "
          "ORDER BY position",
          result);
    }
    std::vector<FailedShop> failed;
    for (int row = 0; status && row < result.Rows(); ++row) {
      const std::int64_t id = result.Int64(row, 0);
      if (id < 0 || id > std::numeric_limits<std::int32_t>::max()) {
        status = pg::Status("", "a shop ID out of range in shopwalk.failed_shops", false);
        break;
      }
      failed.push_back({static_cast<std::int32_t>(id), static_cast<int>(result.Int64(row, 1)),
                        result.Bytes(row, 2)});
    }
    if (!status) return MakeUnexpected(ReadProblem("the failed shops", status));
    return failed;
  });
}

Expected<StoreSummary, StoreProblem> PgStore::Summary() {
  return Reading("the summary", [&]() -> Expected<StoreSummary, StoreProblem> {
    StoreSummary summary;
    pg::Status status = EnsureReader();
    pg::Transaction transaction(reader_);
    if (status) status = transaction.Begin(pg::Transaction::Isolation::RepeatableReadOnly);
    pg::Result result;
    if (status) {
      status = reader_.Run(
          "SELECT (SELECT pg_catalog.count(*) FROM shopwalk.runs), "
          "(SELECT pg_catalog.count(*) FROM shopwalk.shops), "
          "(SELECT pg_catalog.count(*) FROM shopwalk.failed_shops WHERE NOT revisit), "
          "(SELECT pg_catalog.min(shop_id) FROM (SELECT shop_id FROM shopwalk.outcomes UNION ALL "
          "SELECT shop_id FROM shopwalk.shops) a), "
          "(SELECT pg_catalog.max(shop_id) FROM (SELECT shop_id FROM shopwalk.outcomes UNION ALL "
          "SELECT shop_id FROM shopwalk.shops) a)",
          result);
    }
    if (status) {
      summary.runs = static_cast<std::size_t>(result.Int64(0, 0));
      summary.rows = static_cast<std::size_t>(result.Int64(0, 1));
      summary.failed = static_cast<std::size_t>(result.Int64(0, 2));
      constexpr const char* Walked = "shopwalk.outcomes or shopwalk.shops";
      if (!result.IsNull(0, 3)) {
        auto lowest = results::ReadShopId(result.Int64(0, 3), Walked);
        if (lowest)
          summary.lowestWalked = *lowest;
        else
          status = lowest.error();
      }
      if (status && !result.IsNull(0, 4)) {
        auto highest = results::ReadShopId(result.Int64(0, 4), Walked);
        if (highest)
          summary.highestWalked = *highest;
        else
          status = highest.error();
      }
    }
    if (status) {
      status = reader_.Run(
          "SELECT reason, pg_catalog.count(*) AS shops FROM shopwalk.failed_shops WHERE NOT "
          "revisit "
          "GROUP BY reason "
          "ORDER BY shops DESC, reason",
          result);
    }
    if (status) {
      for (int row = 0; row < result.Rows(); ++row) {
        summary.failureReasons.emplace_back(result.Bytes(row, 0),
                                            static_cast<std::size_t>(result.Int64(row, 1)));
      }
      status = reader_.Run(
          "SELECT shop_id, (pg_catalog.date_part('epoch', first_seen_at) * 1000)::bigint "
          "FROM shopwalk.shops ORDER BY shop_id DESC LIMIT 1",
          result);
    }
    if (status && result.Rows() > 0) {
      auto newest = results::ReadShopId(result.Int64(0, 0), "shopwalk.shops");
      if (newest) {
        summary.newestShop = *newest;
        if (!result.IsNull(0, 1)) summary.newestFirstSeenUnixMs = result.Int64(0, 1);
      } else {
        status = newest.error();
      }
    }
    if (status) status = transaction.Commit();
    if (!status) return MakeUnexpected(ReadProblem("the summary", status));
    return summary;
  });
}

Expected<std::uint32_t, StoreProblem> PgStore::NewDictionaryId() {
  if (!walking_) {
    return MakeUnexpected(StoreProblem{StoreProblem::Kind::NotWritable, location_,
                                       "the store is open for reading only"});
  }
  return Reading("a dictionary id", [&]() -> Expected<std::uint32_t, StoreProblem> {
    pg::Status status = EnsureReader();
    pg::Result result;
    if (status)
      status = reader_.Run("SELECT pg_catalog.nextval('shopwalk.dictionary_ids')", result);
    if (status && (result.Int64(0, 0) <= 0 ||
                   result.Int64(0, 0) > std::numeric_limits<std::uint32_t>::max())) {
      status = pg::Status(results::BadValueState,
                          "the sequence shopwalk.dictionary_ids is out of range", false);
    }
    if (!status) return MakeUnexpected(ReadProblem("a dictionary id", status));
    return static_cast<std::uint32_t>(result.Int64(0, 0));
  });
}

Expected<void, StoreProblem> PgStore::ForEachKeptPage(
    std::int32_t from, std::int32_t to,
    const std::function<void(const PackedPage&, const PageDictionary*)>& visit) {
  return Reading("the kept pages", [&]() -> Expected<void, StoreProblem> {
    if (auto status = EnsureReader(); !status) {
      return MakeUnexpected(ReadProblem("the kept pages (connecting)", status));
    }
    pg::Transaction transaction(reader_);
    pg::Status status = transaction.Begin(pg::Transaction::Isolation::RepeatableReadOnly);
    std::map<std::uint32_t, PageDictionary> dictionaries;
    pg::Result result;
    if (status) {
      status = reader_.Run("SELECT dictionary_id, bytes FROM shopwalk.page_dictionaries", result);
    }
    for (int row = 0; status && row < result.Rows(); ++row) {
      const std::int64_t id = result.Int64(row, 0);
      if (id <= 0 || id > std::numeric_limits<std::uint32_t>::max()) continue;
      const auto key = static_cast<std::uint32_t>(id);
      dictionaries[key] = PageDictionary{key, result.Bytes(row, 1)};
    }
    if (status) {
      status = reader_.Run(
          "DECLARE kept_pages NO SCROLL CURSOR FOR SELECT shop_id, kind, dictionary_id, "
          "page_bytes, bytes FROM shopwalk.kept_pages WHERE shop_id BETWEEN $1 AND $2 "
          "ORDER BY shop_id, kind",
          pg::Params().Int(from).Int(to));
    }
    const std::string fetch = "FETCH " + std::to_string(RowsPerFetch) + " FROM kept_pages";
    while (status) {
      pg::Result rows;
      status = reader_.Run(fetch, rows);
      if (!status || rows.Rows() == 0) break;
      for (int row = 0; status && row < rows.Rows(); ++row) {
        auto id = results::ReadShopId(rows.Int64(row, 0), "shopwalk.kept_pages");
        const std::int64_t kind = rows.Int64(row, 1);
        const std::int64_t dictionary = rows.Int64(row, 2);
        if (!id) {
          status = id.error();
          break;
        }
        if ((kind != static_cast<std::int64_t>(PageKind::Home) &&
             kind != static_cast<std::int64_t>(PageKind::Rating)) ||
            dictionary < 0 || dictionary > std::numeric_limits<std::uint32_t>::max()) {
          status = pg::Status(results::BadValueState,
                              "a kept page of shop " + std::to_string(*id) +
                                  " in shopwalk.kept_pages has an unknown kind or dictionary",
                              false);
          break;
        }
        PackedPage page;
        page.shopId = *id;
        page.kind = static_cast<PageKind>(kind);
        page.dictionaryId = static_cast<std::uint32_t>(dictionary);
        page.pageBytes = static_cast<std::size_t>(std::max<std::int64_t>(rows.Int64(row, 3), 0));
        page.bytes = rows.Bytes(row, 4);
        auto found = dictionaries.find(page.dictionaryId);
        visit(page, found == dictionaries.end() ? nullptr : &found->second);
      }
    }
    if (status) status = transaction.Commit();
    if (!status) return MakeUnexpected(ReadProblem("the kept pages", status));
    return {};
  });
}

Expected<KeptPagesSummary, StoreProblem> PgStore::KeptPages() {
  return Reading("the kept pages", [&]() -> Expected<KeptPagesSummary, StoreProblem> {
    pg::Status status = EnsureReader();
    pg::Result result;
    if (status) {
      status = reader_.Run(
          "SELECT pg_catalog.count(*), coalesce(pg_catalog.sum(page_bytes), 0)::bigint, "
          "coalesce(pg_catalog.sum(packed_bytes), 0)::bigint, "
          "(SELECT t.dropped FROM shopwalk.kept_page_tally t LIMIT 1) FROM shopwalk.kept_pages",
          result);
    }
    if (!status) return MakeUnexpected(ReadProblem("the kept pages", status));
    auto count = [&](int column) {
      return static_cast<std::uint64_t>(std::max<std::int64_t>(result.Int64(0, column), 0));
    };
    return KeptPagesSummary{count(0), count(1), count(2), count(3)};
  });
}

}  // namespace shopwalk
