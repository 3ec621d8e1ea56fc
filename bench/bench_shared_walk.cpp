// What a walk shared through PostgreSQL costs: one, two and three shopwalk-cli nodes walk the
// same-sized range flat out against the demo marketplace (a separate process), each run into a
// fresh database of a PostgreSQL server of the bench's own on 127.0.0.1, and one node walks it
// into a SQLite file for comparison. For every run it prints shop IDs a second, CPU per shop ID of
// the node processes and of the server's processes, and database transactions per shop ID; then
// a paced run (10 IDs a second per node, as nodes normally walk) and a short model of how many
// such nodes one server of this machine's size can serve. It asserts nothing.
//
//   bench_shared_walk [IDS [PACED_SECONDS]]   IDs a flat-out run walks (default 20000) and how
//                                             long the paced run lasts (default 15 s)
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/demo_process.h"
#include "results/pg/pg.h"
#include "tests/support/postgres_server.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using shopwalk::test::PostgresServer;

constexpr std::int32_t First = 1;
constexpr int ThreadsPerNode = 10;
constexpr double PacedRate = 10;
// The nodes' default block size.
constexpr int FlatOutBlock = 1000;

int Cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
  return static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
}

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// A program started with `arguments`, this process's environment plus `environment`, standard
// input from /dev/null and standard output and error into `logPath`; -1 when it could not be.
pid_t Spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
            const std::string& logPath) {
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string text = *variable;
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& own : environment) replaced |= own.rfind(name + "=", 0) == 0;
    if (!replaced) variables.push_back(text);
  }
  variables.insert(variables.end(), environment.begin(), environment.end());
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& variable : variables) envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

std::string FileText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// CPU seconds (user + system) of process `pid` from /proc, with its reaped children's when
// `withChildren`; also its parent's pid. Nothing when it is gone.
struct ProcCpu {
  double seconds = 0;
  pid_t parent = 0;
};
std::optional<ProcCpu> ReadProcCpu(pid_t pid, bool withChildren) {
  const std::string stat = FileText("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 2));
  // Fields from the state on: state ppid pgrp session tty tpgid flags minflt cminflt majflt
  // cmajflt utime stime cutime cstime.
  std::string state;
  long long values[14] = {};
  fields >> state;
  for (long long& value : values) fields >> value;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  ProcCpu cpu;
  cpu.parent = static_cast<pid_t>(values[0]);
  cpu.seconds = static_cast<double>(values[10] + values[11]) / tick;
  if (withChildren) cpu.seconds += static_cast<double>(values[12] + values[13]) / tick;
  return cpu;
}

// CPU seconds the PostgreSQL server has spent so far: the postmaster with every child it reaped
// (backends of closed connections) and every child alive now (backends, writer, checkpointer).
double ServerCpuSeconds(pid_t postmaster) {
  double total = 0;
  if (const auto own = ReadProcCpu(postmaster, true)) total += own->seconds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto child = ReadProcCpu(static_cast<pid_t>(std::stol(name)), false);
    if (child && child->parent == postmaster) total += child->seconds;
  }
  return total;
}

pid_t PostmasterPid(const PostgresServer& server) {
  std::ifstream file(server.Folder() + "/data/postmaster.pid");
  long pid = 0;
  file >> pid;
  return static_cast<pid_t>(pid);
}

// The first column of the first row of `sql` as an integer; 0 when it cannot be read.
std::int64_t QueryInt(shopwalk::pg::Connection& connection, const std::string& sql,
                      const shopwalk::pg::Params& params = {}) {
  shopwalk::pg::Result result;
  if (!connection.Run(sql, params, result) || result.Rows() == 0) return 0;
  return result.Int64(0, 0);
}

struct RunFigures {
  int nodes = 0;
  std::int64_t ids = 0;
  double wallSeconds = 0;
  double nodeCpu = 0;
  double serverCpu = 0;
  double marketCpu = 0;
  std::int64_t transactions = 0;
  std::int64_t outcomes = 0;
  bool ok = true;
};

class Bench {
 public:
  Bench() : scratch_(std::filesystem::temp_directory_path() / "bench_shared_walk_XXXXXX") {}

  bool Start() {
    std::string pattern = scratch_;
    if (mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "bench_shared_walk: cannot make a scratch folder\n");
      return false;
    }
    scratch_ = pattern;
    if (!market_.Start()) {
      std::fprintf(stderr, "bench_shared_walk: the demo marketplace did not start\n");
      return false;
    }
    if (const std::string problem = server_.Start(); !problem.empty()) {
      std::fprintf(stderr, "bench_shared_walk: PostgreSQL did not start: %s\n", problem.c_str());
      return false;
    }
    postmaster_ = PostmasterPid(server_);
    if (!admin_.Open(server_.Uri("postgres"))) {
      std::fprintf(stderr, "bench_shared_walk: cannot connect to PostgreSQL\n");
      return false;
    }
    return true;
  }
  ~Bench() {
    admin_.Close();
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
  }

  int MarketPort() const { return market_.port; }

  // `nodes` shopwalk-cli processes walking `ids` IDs at `rate` (0: flat out) in blocks of
  // `blockSize` into a fresh database; with `sqlite`, one node into a fresh SQLite file instead.
  RunFigures Run(int nodes, std::int64_t ids, double rate, int blockSize, bool sqlite) {
    RunFigures figures;
    figures.nodes = nodes;
    figures.ids = ids;
    const std::string database = "walk" + std::to_string(++runs_);
    std::string db = scratch_ + "/" + database + ".db";
    if (!sqlite) {
      if (const std::string problem = server_.CreateDatabase(database); !problem.empty()) {
        std::fprintf(stderr, "bench_shared_walk: %s\n", problem.c_str());
        figures.ok = false;
        return figures;
      }
      db = server_.Uri(database);
    }
    const std::vector<std::string> environment = {
        "SHOPWALK_CONNECT_TO=127.0.0.1:" + std::to_string(market_.port), "HOME=" + scratch_,
        "XDG_CONFIG_HOME=" + scratch_ + "/config", "XDG_DATA_HOME=" + scratch_ + "/data"};
    std::vector<std::string> arguments = {SHOPWALK_CLI_PATH,
                                          "walk",
                                          "--db",
                                          db,
                                          "--from",
                                          std::to_string(First),
                                          "--count",
                                          std::to_string(ids),
                                          "--rate",
                                          rate > 0 ? std::to_string(rate) : "0",
                                          "--threads",
                                          std::to_string(ThreadsPerNode)};
    if (!sqlite) {
      arguments.insert(arguments.end(), {"--block-size", std::to_string(blockSize)});
    }

    const double serverBefore = ServerCpuSeconds(postmaster_);
    const std::int64_t transactionsBefore = Transactions(database);
    const double marketBefore = MarketCpuSeconds();
    const Clock::time_point start = Clock::now();
    std::vector<pid_t> pids;
    std::vector<std::string> logs;
    for (int node = 0; node < nodes; ++node) {
      logs.push_back(scratch_ + "/" + database + "_node" + std::to_string(node) + ".log");
      pids.push_back(Spawn(arguments, environment, logs.back()));
      if (pids.back() < 0) {
        std::fprintf(stderr, "bench_shared_walk: cannot start %s\n", SHOPWALK_CLI_PATH);
        figures.ok = false;
      }
    }
    for (std::size_t node = 0; node < pids.size(); ++node) {
      if (pids[node] < 0) continue;
      int status = 0;
      rusage usage{};
      while (wait4(pids[node], &status, 0, &usage) < 0 && errno == EINTR) {
      }
      figures.nodeCpu += Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_shared_walk: a node of run %s ended badly:\n%s\n",
                     database.c_str(), FileText(logs[node]).c_str());
        figures.ok = false;
      }
    }
    figures.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.marketCpu = MarketCpuSeconds() - marketBefore;
    if (!sqlite) {
      WaitForSessionsToEnd(database);
      figures.serverCpu = ServerCpuSeconds(postmaster_) - serverBefore;
      figures.transactions = Transactions(database) - transactionsBefore;
      shopwalk::pg::Connection walk;
      if (walk.Open(db))
        figures.outcomes = QueryInt(walk, "SELECT count(*) FROM shopwalk.outcomes");
      if (figures.outcomes != ids) {
        std::fprintf(stderr, "bench_shared_walk: run %s stored %lld outcomes for %lld IDs\n",
                     database.c_str(), static_cast<long long>(figures.outcomes),
                     static_cast<long long>(ids));
      }
    }
    return figures;
  }

 private:
  // CPU seconds the demo marketplace has spent so far.
  double MarketCpuSeconds() const {
    const auto cpu = ReadProcCpu(market_.pid, true);
    return cpu ? cpu->seconds : 0;
  }

  std::int64_t Transactions(const std::string& database) {
    return QueryInt(admin_,
                    "SELECT coalesce(sum(xact_commit + xact_rollback), 0)::bigint "
                    "FROM pg_stat_database WHERE datname = $1",
                    shopwalk::pg::Params().Text(database));
  }

  // The nodes' sessions end (and report their statistics) shortly after the nodes.
  void WaitForSessionsToEnd(const std::string& database) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline &&
           QueryInt(admin_, "SELECT count(*) FROM pg_stat_activity WHERE datname = $1",
                    shopwalk::pg::Params().Text(database)) > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Their statistics and the postmaster's reaping settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }

  std::string scratch_;
  shopwalk::bench::DemoProcess market_;
  PostgresServer server_;
  pid_t postmaster_ = 0;
  shopwalk::pg::Connection admin_;
  int runs_ = 0;
};

double PerId(double value, std::int64_t ids) {
  return ids > 0 ? value / static_cast<double>(ids) : 0;
}

void PrintRun(const char* store, const RunFigures& run) {
  const double idsPerSecond =
      run.wallSeconds > 0 ? static_cast<double>(run.ids) / run.wallSeconds : 0;
  if (run.transactions > 0) {
    std::printf("%-11s %5d %9.0f %12.1f %14.1f %13.1f %9.3f %10.0f %13.1f%s\n", store, run.nodes,
                idsPerSecond, PerId(run.nodeCpu, run.ids) * 1e6,
                PerId(run.serverCpu, run.ids) * 1e6,
                PerId(run.nodeCpu + run.serverCpu, run.ids) * 1e6,
                PerId(static_cast<double>(run.transactions), run.ids),
                run.wallSeconds > 0 ? static_cast<double>(run.transactions) / run.wallSeconds : 0,
                PerId(run.marketCpu, run.ids) * 1e6, run.ok ? "" : "  (a node failed)");
  } else {
    std::printf("%-11s %5d %9.0f %12.1f %14s %13.1f %9s %10s %13.1f%s\n", store, run.nodes,
                idsPerSecond, PerId(run.nodeCpu, run.ids) * 1e6, "-",
                PerId(run.nodeCpu, run.ids) * 1e6, "-", "-", PerId(run.marketCpu, run.ids) * 1e6,
                run.ok ? "" : "  (a node failed)");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::int64_t ids = argc > 1 ? std::max(100LL, std::atoll(argv[1])) : 20000;
  const int pacedSeconds = argc > 2 ? std::max(5, std::atoi(argv[2])) : 15;
  const int cores = Cores();

  Bench bench;
  if (!bench.Start()) return 1;
  std::printf(
      "bench_shared_walk: shopwalk-cli nodes (%d threads each) against the demo marketplace, "
      "PostgreSQL 15 on 127.0.0.1\n(a server of the bench's own, fsync off), all on this machine: "
      "%d cores (nproc)\n\n",
      ThreadsPerNode, cores);
  std::printf("Flat out (--rate 0), %lld shop IDs a run, a fresh database or file each:\n",
              static_cast<long long>(ids));
  std::printf("%-11s %5s %9s %12s %14s %13s %9s %10s %13s\n", "store", "nodes", "IDs/s",
              "node CPU/ID", "server CPU/ID", "total CPU/ID", "xact/ID", "xact/s", "market CPU/ID");
  std::printf("%-11s %5s %9s %12s %14s %13s %9s %10s %13s\n", "", "", "", "(us)", "(us)", "(us)",
              "", "", "(us)");
  const RunFigures sqlite = bench.Run(1, ids, 0, FlatOutBlock, true);
  PrintRun("sqlite file", sqlite);
  RunFigures flat[3];
  for (int nodes = 1; nodes <= 3; ++nodes) {
    flat[nodes - 1] = bench.Run(nodes, ids, 0, FlatOutBlock, false);
    PrintRun("postgresql", flat[nodes - 1]);
    std::fflush(stdout);
  }

  const RunFigures& one = flat[0];
  const double sqliteCost = PerId(sqlite.nodeCpu, sqlite.ids);
  const double pgCost = PerId(one.nodeCpu + one.serverCpu, one.ids);
  std::printf(
      "\nOne node: the PostgreSQL store costs %.1f us of CPU per ID (node %.1f + server %.1f) "
      "beside %.1f us with a SQLite file: %.2fx.\n",
      pgCost * 1e6, PerId(one.nodeCpu, one.ids) * 1e6, PerId(one.serverCpu, one.ids) * 1e6,
      sqliteCost * 1e6, sqliteCost > 0 ? pgCost / sqliteCost : 0);

  // As nodes normally walk: each paced at 10 IDs a second, so each transaction carries only the
  // few reports of its commit delay, and renewals and status reads weigh in.
  // Blocks of 5 s each, three rounds of them, so that every node walks for the whole run.
  const int pacedNodes = 3;
  const int pacedBlock = static_cast<int>(PacedRate) * pacedSeconds / 3;
  const std::int64_t pacedIds = static_cast<std::int64_t>(pacedBlock) * pacedNodes * 3;
  const RunFigures paced = bench.Run(pacedNodes, pacedIds, PacedRate, pacedBlock, false);
  std::printf("\nPaced (--rate 10), %d nodes, %lld shop IDs in blocks of %d:\n", pacedNodes,
              static_cast<long long>(pacedIds), pacedBlock);
  PrintRun("postgresql", paced);

  // The model: the server's CPU per ID times 10 IDs a second per node, against its cores.
  std::printf("\nModel: nodes at 10 IDs/s each, one PostgreSQL server with %d cores:\n", cores);
  struct Basis {
    const char* name;
    const RunFigures* run;
  };
  for (const Basis& basis : {Basis{"flat out, 3 nodes", &flat[2]}, Basis{"paced run", &paced}}) {
    const double serverPerId = PerId(basis.run->serverCpu, basis.run->ids);
    const double transactionsPerId =
        PerId(static_cast<double>(basis.run->transactions), basis.run->ids);
    const double corePerNode = serverPerId * PacedRate;
    std::printf(
        "  from the %s: server CPU %.1f us/ID x 10 IDs/s = %.4f of a core per node -> about "
        "%.0f nodes fill %d cores; %.1f transactions/s per node, %.0f transactions/s at that "
        "many nodes\n",
        basis.name, serverPerId * 1e6, corePerNode, corePerNode > 0 ? cores / corePerNode : 0,
        cores, transactionsPerId * PacedRate,
        corePerNode > 0 ? cores / corePerNode * transactionsPerId * PacedRate : 0);
  }
  std::printf(
      "  (a paced node commits about every ID on its own, so the paced figures are the ones to "
      "plan with; the server's disk, fsync off here, is left out)\n");
  return 0;
}
