#include "tests/sim/simulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "tests/sim/promises.h"
#include "tests/support/postgres_server.h"

namespace shopwalk::sim {

namespace {

// Every simulator's PostgreSQL server, for StopServersNow.
std::mutex g_serversMutex;
std::set<test::PostgresServer*> g_servers;

}  // namespace

void StopServersNow() {
  std::lock_guard lock(g_serversMutex);
  for (test::PostgresServer* server : g_servers) {
    server->Stop(test::PostgresServer::StopMode::Immediate);
  }
  g_servers.clear();
}

// The PostgreSQL server of shared walks, and the turn they take on it.
struct Simulator::Shared {
  std::mutex turn;
  std::unique_ptr<test::PostgresServer> server;
  std::string problem;
};

std::string ScheduleResult::ReplayCommand() const {
  const Schedule& replayed = broken.empty() ? schedule : shortest;
  std::string command = "scripts/simulate --seed " + std::to_string(replayed.seed);
  if (replayed.faults.size() != DrawSchedule(replayed.seed).faults.size()) {
    command += " --faults " + (replayed.faults.empty() ? std::string("none")
                                                       : NumberList(replayed.FaultNumbers()));
  }
  return command;
}

std::string ScheduleResult::Report() const {
  std::ostringstream text;
  if (broken.empty()) {
    text << "seed " << schedule.seed << ": every promise kept\n";
    return text.str();
  }
  text << "seed " << schedule.seed << " broke a promise:\n";
  for (const std::string& line : broken) text << "  " << line << "\n";
  text << "shortest schedule that still breaks one (" << shortest.faults.size() << " of "
       << schedule.faults.size() << " faults):\n"
       << shortest.Describe();
  for (const std::string& line : shortestBroken) text << "  -> " << line << "\n";
  text << "replay: " << ReplayCommand() << "\n";
  return text.str();
}

Simulator::Simulator(std::string walker, bool trace) : shared_(std::make_unique<Shared>()) {
  setup_.walker = std::move(walker);
  setup_.trace = trace;
}

Simulator::~Simulator() {
  std::lock_guard lock(g_serversMutex);
  if (shared_->server) g_servers.erase(shared_->server.get());
}

ScheduleResult Simulator::RunOnce(const Schedule& schedule) {
  ScheduleResult result;
  result.schedule = schedule;
  result.shortest = schedule;
  ++result.runs;
  Evidence evidence;
  if (schedule.shared) {
    std::lock_guard turn(shared_->turn);
    if (!shared_->server && shared_->problem.empty()) {
      shared_->server = std::make_unique<test::PostgresServer>();
      shared_->problem = shared_->server->Start();
      std::lock_guard lock(g_serversMutex);
      g_servers.insert(shared_->server.get());
    }
    if (!shared_->problem.empty()) {
      result.broken.push_back("no PostgreSQL server: " + shared_->problem);
      return result;
    }
    SimulatorSetup setup = setup_;
    setup.postgres = shared_->server.get();
    evidence = RunSharedWalk(schedule, setup);
  } else {
    evidence = RunSingleWalk(schedule, setup_);
  }
  result.broken = BrokenPromises(evidence);
  result.shortestBroken = result.broken;
  result.wallSeconds = evidence.wallSeconds;
  result.steps = evidence.steps;
  result.lives = evidence.lives.size();
  result.changes = evidence.final.changes.size();
  return result;
}

ScheduleResult Simulator::Run(const Schedule& schedule) {
  ScheduleResult result = RunOnce(schedule);
  if (result.Passed()) return result;
  // Drops each fault in turn; a drop is kept while the schedule still breaks a promise.
  Schedule shortest = schedule;
  std::vector<std::string> shortestBroken = result.broken;
  for (std::size_t number : schedule.FaultNumbers()) {
    std::vector<std::size_t> keep = shortest.FaultNumbers();
    keep.erase(std::remove(keep.begin(), keep.end(), number), keep.end());
    const ScheduleResult attempt = RunOnce(schedule.Keeping(keep));
    ++result.runs;
    if (!attempt.Passed()) {
      shortest = attempt.schedule;
      shortestBroken = attempt.broken;
    }
  }
  result.shortest = shortest;
  result.shortestBroken = shortestBroken;
  return result;
}

std::vector<ScheduleResult> Simulator::RunSeeds(
    std::uint64_t first, std::size_t count, std::size_t sideBySide,
    const std::function<void(const ScheduleResult&)>& done) {
  std::vector<ScheduleResult> results(count);
  std::atomic<std::size_t> next{0};
  std::mutex telling;
  const auto work = [&] {
    for (std::size_t i = next++; i < count; i = next++) {
      results[i] = Run(DrawSchedule(first + i));
      std::lock_guard lock(telling);
      if (done) done(results[i]);
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t t = 1; t < std::max<std::size_t>(sideBySide, 1); ++t) threads.emplace_back(work);
  work();
  for (std::thread& thread : threads) thread.join();
  return results;
}

}  // namespace shopwalk::sim
