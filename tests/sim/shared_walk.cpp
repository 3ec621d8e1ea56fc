// A walk shared by several nodes through PostgreSQL: the nodes are walkers on wall time (leases
// are the server's time), each against a marketplace of its own that marks the shop names it
// serves with the node's number, so a row tells which node collected it. Triggers of the
// simulator's own write down every row written and every claim of a block or a failed shop.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <thread>

#include "results/pg/pg.h"
#include "results/pg/pg_schema.h"
#include "tests/sim/marketplace_truth.h"
#include "tests/sim/thread_states.h"
#include "tests/sim/walk_driver.h"
#include "tests/support/child_process.h"
#include "tests/support/postgres_server.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk::sim {
namespace {

using namespace std::chrono_literals;
using WallClock = std::chrono::steady_clock;

// A shared walk ends in seconds; this long means it hangs.
constexpr auto LongestWall = 120s;
constexpr auto ReapWait = 20s;
constexpr auto Look = 5ms;

// Kept in the database beside the walk's own tables (in "public", which the walk never uses).
constexpr const char* AuditSql = R"sql(
CREATE TABLE public.sim_row_writes (shop_id bigint, name bytea, block_node bigint,
  block_done boolean, retry boolean, xid bigint);
CREATE TABLE public.sim_claims (first_id bigint, last_id bigint, node_id bigint,
  at_us bigint);
CREATE TABLE public.sim_retries_left (shop_id bigint, xid bigint);
CREATE FUNCTION public.sim_note_row() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  INSERT INTO public.sim_row_writes
  SELECT NEW.shop_id, NEW.name, b.node_id, b.done_at IS NOT NULL, false,
         pg_catalog.txid_current()
  FROM (SELECT 1) AS one LEFT JOIN shopwalk.blocks b
    ON b.first_id <= NEW.shop_id AND NEW.shop_id <= b.last_id
   AND b.walk_id = (SELECT pg_catalog.max(walk_id) FROM shopwalk.walks);
  RETURN NULL;
END $$;
CREATE TRIGGER sim_note_row AFTER INSERT OR UPDATE ON shopwalk.shops
  FOR EACH ROW EXECUTE FUNCTION public.sim_note_row();
CREATE FUNCTION public.sim_note_block() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  INSERT INTO public.sim_claims VALUES (NEW.first_id, NEW.last_id, NEW.node_id,
    (extract(epoch FROM pg_catalog.clock_timestamp()) * 1000000)::bigint);
  RETURN NULL;
END $$;
CREATE TRIGGER sim_note_block AFTER INSERT OR UPDATE OF epoch ON shopwalk.blocks
  FOR EACH ROW EXECUTE FUNCTION public.sim_note_block();
CREATE FUNCTION public.sim_note_retry() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF NEW.retry_node IS NOT NULL THEN
    INSERT INTO public.sim_claims VALUES (NEW.shop_id, NEW.shop_id, NEW.retry_node,
      (extract(epoch FROM pg_catalog.clock_timestamp()) * 1000000)::bigint);
  END IF;
  RETURN NULL;
END $$;
CREATE TRIGGER sim_note_retry AFTER UPDATE OF retry_epoch ON shopwalk.failed_shops
  FOR EACH ROW EXECUTE FUNCTION public.sim_note_retry();
CREATE FUNCTION public.sim_note_left() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF OLD.retry_node IS NOT NULL THEN
    INSERT INTO public.sim_retries_left VALUES (OLD.shop_id, pg_catalog.txid_current());
  END IF;
  RETURN OLD;
END $$;
CREATE TRIGGER sim_note_left BEFORE DELETE ON shopwalk.failed_shops
  FOR EACH ROW EXECUTE FUNCTION public.sim_note_left();
)sql";

std::atomic<int> g_databases{0};

// One node: its marketplace and its walker's lives.
struct Node {
  std::unique_ptr<test::TestMarketplace> market;
  std::unique_ptr<test::ChildProcess> walker;
  Life life;
  bool done = false;
};

// Reads the audit tables; `pids` maps the walkers' process IDs to their nodes.
SharedWalkLog ReadAudit(const std::string& uri, const Evidence& evidence) {
  SharedWalkLog log;
  pg::Connection connection;
  if (auto status = connection.Open(uri); !status) {
    log.problem = status.Message();
    return log;
  }
  std::map<std::int64_t, int> nodeOf;
  pg::Result result;
  if (auto status = connection.Run("SELECT node_id, pid FROM shopwalk.nodes", result); !status) {
    log.problem = status.Message();
    return log;
  }
  for (int row = 0; row < result.Rows(); ++row) {
    for (const Life& life : evidence.lives) {
      if (life.pid == result.Int64(row, 1)) nodeOf[result.Int64(row, 0)] = life.node;
    }
  }
  const auto node = [&](const pg::Result& from, int row, int column) -> std::optional<int> {
    if (from.IsNull(row, column)) return std::nullopt;
    const auto found = nodeOf.find(from.Int64(row, column));
    if (found == nodeOf.end()) return std::nullopt;
    return found->second;
  };
  if (auto status = connection.Run(
          "SELECT w.shop_id, w.name, w.block_node, w.block_done, EXISTS (SELECT 1 FROM "
          "public.sim_retries_left l WHERE l.shop_id = w.shop_id AND l.xid = w.xid) "
          "FROM public.sim_row_writes w",
          result);
      !status) {
    log.problem = status.Message();
    return log;
  }
  for (int row = 0; row < result.Rows(); ++row) {
    SharedWalkLog::RowWrite write;
    write.shopId = static_cast<std::int32_t>(result.Int64(row, 0));
    write.servedTo = MarketplaceTruth::NodeMarkOf(result.Bytes(row, 1));
    write.blockHolder = node(result, row, 2);
    write.blockDone = result.Bool(row, 3);
    write.retryLease = result.Bool(row, 4);
    log.rowWrites.push_back(write);
  }
  if (auto status = connection.Run(
          "SELECT first_id, last_id, node_id, at_us FROM public.sim_claims ORDER BY at_us", result);
      !status) {
    log.problem = status.Message();
    return log;
  }
  for (int row = 0; row < result.Rows(); ++row) {
    SharedWalkLog::Claim claim;
    claim.first = result.Int64(row, 0);
    claim.last = result.Int64(row, 1);
    claim.node = node(result, row, 2);
    // In microseconds: a node may ask for an ID well within a millisecond of claiming it, and a
    // claim rounded to the millisecond could seem to come after the request.
    const std::int64_t startUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                     evidence.calendarStart.time_since_epoch())
                                     .count();
    claim.at = evidence.start + std::chrono::microseconds(result.Int64(row, 3) - startUs);
    log.claims.push_back(claim);
  }
  return log;
}

}  // namespace

Evidence RunSharedWalk(const Schedule& schedule, const SimulatorSetup& setup) {
  const auto wallStart = WallClock::now();
  Evidence evidence;
  evidence.schedule = schedule;
  evidence.coarsestStep = std::chrono::milliseconds(0);
  evidence.receiveLimit = std::chrono::milliseconds(setup.receiveMs);
  test::PostgresServer& server = *setup.postgres;
  if (!server.Running()) {
    if (const std::string problem = server.Start(); !problem.empty()) {
      evidence.trouble = "the PostgreSQL server would not start: " + problem;
      return evidence;
    }
  }
  const std::string database =
      "sim_" + std::to_string(schedule.seed) + "_" + std::to_string(g_databases++);
  if (const std::string problem = server.CreateDatabase(database); !problem.empty()) {
    evidence.trouble = "cannot create the walk's database: " + problem;
    return evidence;
  }
  const std::string uri = server.Uri(database);
  {
    pg::Connection connection;
    pg::Status status = connection.Open(uri);
    if (status) status = results::CreateOrUpgradePgSchema(connection);
    if (status) status = connection.Execute(AuditSql);
    if (!status) {
      evidence.trouble = "cannot prepare the walk's database: " + status.Message();
      return evidence;
    }
  }

  test::ScratchDirectory scratch;
  test::PutFile(scratch.File("config.ini"),
                "[Mivu]\nMax_Attempts=" + std::to_string(schedule.maxAttempts) + "\n");
  const MarketplaceTruth truth = schedule.Truth();
  FaultPlan plan(schedule, RealClock());
  evidence.start = plan.WalkStart();
  evidence.calendarStart = RealClock().CalendarNow();
  std::vector<Node> nodes(static_cast<std::size_t>(schedule.nodes));
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    nodes[k].market = std::make_unique<test::TestMarketplace>(test::TestMarketplace::Options{
        .serverThreads = static_cast<std::size_t>(2 * schedule.threads + 8)});
    nodes[k].market->SetClock(&RealClock());
    nodes[k].market->SetFallbackGenerator(
        [&plan, &truth, k](const std::string& host, const std::string& path) {
          return plan.Answer(truth, static_cast<int>(k), host, path);
        });
  }
  // Started again, a node has no --from: it joins the walk if it goes on, and finds nothing left
  // once the walk is over (with --from it would begin a new walk of the same IDs).
  const std::vector<std::string> arguments{"--db",         uri,
                                           "--settings",   scratch.path(),
                                           "--to",         std::to_string(schedule.last),
                                           "--threads",    std::to_string(schedule.threads),
                                           "--rate",       "0",
                                           "--block-size", std::to_string(schedule.blockSize),
                                           "--lease-ms",   std::to_string(schedule.leaseMs),
                                           "--renew-ms",   std::to_string(schedule.renewMs),
                                           "--connect-ms", std::to_string(setup.connectMs),
                                           "--receive-ms", std::to_string(setup.receiveMs)};
  const auto start = [&](std::size_t k, bool first) {
    Node& node = nodes[k];
    std::vector<std::string> given = arguments;
    if (first) {
      given.push_back("--from");
      given.push_back(std::to_string(schedule.first));
    }
    node.walker = std::make_unique<test::ChildProcess>(
        setup.walker, given,
        std::vector<std::string>{"SHOPWALK_CONNECT_TO=" + node.market->ConnectAddress(),
                                 "SHOPWALK_SIM_PARENT=" + std::to_string(::getpid())});
    node.life = Life{};
    node.life.node = static_cast<int>(k);
    node.life.pid = node.walker->Pid();
    node.life.started = RealClock().Now();
    node.life.firstRequest = node.market->RequestCount();
  };
  const auto end = [&](std::size_t k, int code) {
    Node& node = nodes[k];
    test::WaitUntil([&] { return node.market->Busy() == 0; }, ReapWait);
    node.life.ended = RealClock().Now();
    node.life.endRequest = node.market->RequestCount();
    node.life.exitCode = code;
    node.life.errors = node.walker->Errors();
    evidence.lives.push_back(node.life);
  };
  for (std::size_t k = 0; k < nodes.size(); ++k) start(k, true);

  std::vector<std::size_t> events;
  for (std::size_t i = 0; i < schedule.faults.size(); ++i) {
    if (!schedule.faults[i].IsMarketplaceFault()) events.push_back(i);
  }
  std::sort(events.begin(), events.end(), [&](std::size_t a, std::size_t b) {
    return schedule.faults[a].atMs < schedule.faults[b].atMs;
  });
  std::size_t nextEvent = 0;
  for (std::size_t look = 0;; ++look) {
    // Nodes that ended by themselves: the walk is over for them, or they start again.
    bool allDone = true;
    for (std::size_t k = 0; k < nodes.size(); ++k) {
      Node& node = nodes[k];
      if (node.done) continue;
      if (const std::optional<int> code = node.walker->Wait(0ms)) {
        end(k, *code);
        // Started again after the walk was over, a node finds it has nothing left to walk: its
        // end lies below the next walk's start.
        const bool over =
            evidence.lives.back().errors.find("is below the first") != std::string::npos;
        if (*code == 0 || over) {
          node.done = true;
          continue;
        }
        if (*code != 1) {
          evidence.trouble = "node " + std::to_string(k) + " ended with " + std::to_string(*code) +
                             ": " + evidence.lives.back().errors;
        } else {
          start(k, false);
        }
      }
      allDone = false;
    }
    if (allDone || !evidence.trouble.empty()) break;
    if (WallClock::now() - wallStart > LongestWall) {
      evidence.trouble = "the shared walk had not ended after " +
                         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                            WallClock::now() - wallStart)
                                            .count()) +
                         " s";
      break;
    }
    if (look % 16 == 0) {
      for (Node& node : nodes) {
        if (node.done || !IsWalker(node.walker->Pid())) continue;
        evidence.peakResidentBytes =
            std::max(evidence.peakResidentBytes, PeakResidentBytes(node.walker->Pid()));
        if (const int open = OpenDescriptors(node.walker->Pid()); open > evidence.peakDescriptors) {
          evidence.peakDescriptors = open;
          evidence.peakDescriptorKinds = DescriptorKinds(node.walker->Pid());
        }
      }
    }
    if (nextEvent < events.size() &&
        RealClock().Now() >=
            evidence.start + std::chrono::milliseconds(schedule.faults[events[nextEvent]].atMs)) {
      const Fault& fault = schedule.faults[events[nextEvent++]];
      if (setup.trace) std::fprintf(stderr, "[sim] %s\n", fault.Describe().c_str());
      const auto k = static_cast<std::size_t>(fault.node);
      switch (fault.kind) {
        case FaultKind::NodeKill:
          if (!nodes[k].done) {
            nodes[k].life.killed = true;
            nodes[k].walker->Signal(SIGKILL);
            end(k, nodes[k].walker->Wait(ReapWait).value_or(-SIGKILL));
            start(k, false);
          }
          break;
        case FaultKind::NodeFreeze:
          if (!nodes[k].done) {
            // Past its lease: another node takes its blocks meanwhile.
            nodes[k].walker->Signal(SIGSTOP);
            std::this_thread::sleep_for(std::chrono::milliseconds(fault.lastsMs));
            nodes[k].walker->Signal(SIGCONT);
          }
          break;
        case FaultKind::ServerRestart:
          if (const std::string problem =
                  server.Stop(fault.immediate ? test::PostgresServer::StopMode::Immediate
                                              : test::PostgresServer::StopMode::Fast);
              !problem.empty()) {
            evidence.trouble = "the PostgreSQL server would not stop: " + problem;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(fault.lastsMs));
          if (const std::string problem = server.Start(); !problem.empty()) {
            evidence.trouble = "the PostgreSQL server would not start again: " + problem;
          }
          break;
        default:
          break;
      }
      continue;
    }
    std::this_thread::sleep_for(Look);
  }
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    Node& node = nodes[k];
    if (node.done || node.walker == nullptr) continue;
    node.walker->Signal(SIGCONT);
    node.walker->Signal(SIGKILL);
    end(k, node.walker->Wait(ReapWait).value_or(-SIGKILL));
  }
  evidence.finished = evidence.trouble.empty();
  evidence.final = ReadPgStore(uri);
  evidence.sharedLog = ReadAudit(uri, evidence);
  if (getenv("SIM_PGDEBUG")) {
    std::string cmd =
        "psql '" + uri +
        "' -c 'select * from shopwalk.nodes' -c 'select * from public.sim_claims order by at_us' "
        "-c 'select w.*, (select count(*) from public.sim_retries_left l where "
        "l.shop_id=w.shop_id) from public.sim_row_writes w where w.block_done limit 20' -c 'select "
        "* from shopwalk.blocks order by first_id' > /tmp/pgdebug.txt 2>&1";
    if (system(cmd.c_str())) {
    }
    for (const Life& life : evidence.lives)
      std::fprintf(stderr, "life node %d pid %d exit %d killed %d\n", life.node, life.pid,
                   life.exitCode, life.killed);
  }
  for (Node& node : nodes) {
    evidence.requests.push_back(node.market->Requests());
    node.market->SetFallbackGenerator(nullptr);
  }
  for (std::size_t i = 0; i < schedule.faults.size(); ++i) {
    evidence.windows.push_back(plan.WindowOf(i));
  }
  evidence.wallSeconds = std::chrono::duration<double>(WallClock::now() - wallStart).count();
  return evidence;
}

}  // namespace shopwalk::sim
