#include "tests/sim/walk_driver.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "store/progress_store.h"
#include "tests/sim/connection_gate.h"
#include "tests/sim/disk_switch.h"
#include "tests/sim/marketplace_truth.h"
#include "tests/sim/thread_states.h"
#include "tests/support/child_clock.h"
#include "tests/support/child_process.h"
#include "tests/support/manual_clock.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/test_marketplace.h"

namespace shopwalk::sim {
namespace {

using namespace std::chrono_literals;
using WallClock = std::chrono::steady_clock;

// Between the two looks of a quiet check, and between looks while the walk is busy.
constexpr auto LookApart = 100us;
constexpr auto BusyNap = 100us;
// After this many looks in a row found the walk busy (it runs flat out, or waits for the network),
// the looks come less often, leaving the processor to the walk.
constexpr int QuickLooks = 16;
constexpr auto LongBusyNap = 1ms;
// Steps to the exact next deadline while nothing happens, before stepping further.
constexpr int ExactSteps = 3;
constexpr Clock::Duration FirstCoarseStep = 10ms;
// Nothing moved for this long (wall time): the walk hangs.
constexpr auto Stuck = 30s;
// The walk may take this much manual time, and the schedule this much wall time.
constexpr Clock::Duration LongestWalk = 48h;
constexpr auto LongestWall = 120s;
// No pause the walk may keep lasts this long (a Retry-After is kept up to 10 minutes, a back-off
// up to one): once nothing has been asked for so long, the driver steps further, and after
// NothingAskedAtAll the walk is taken to hang.
constexpr Clock::Duration LongQuiet = 15min;
constexpr Clock::Duration LongQuietStep = 10s;
constexpr Clock::Duration NothingAskedAtAll = 1h;
constexpr int MostLives = 40;
// The exit code of a walk held on the page-match guard (the command line's).
constexpr int HeldOnPages = 4;
// How long a killed or ended walker has to be reaped.
constexpr auto ReapWait = 20s;

std::string Ms(Clock::Duration duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", std::chrono::duration<double>(duration).count());
  return text;
}

// Moves the manual clock while the system is quiet, and keeps the gate and the disk as the fault
// plan wants them at each moment.
class TimeDriver {
 public:
  TimeDriver(test::ManualClock& clock, test::SharedClock& shared, test::TestMarketplace& market,
             ConnectionGate& gate, DiskSwitch& disk, FaultPlan& plan, bool trace)
      : clock_(clock),
        shared_(shared),
        market_(market),
        gate_(gate),
        disk_(disk),
        plan_(plan),
        trace_(trace) {}

  // Whether nothing happens that time moving could overtake: looked at twice, a moment apart.
  bool Quiet(pid_t walker) {
    if (!NetworkQuiet()) return false;
    const std::uint32_t changes = shared_.ChildChanges();
    const std::size_t requests = market_.RequestCount();
    const std::optional<Clock::TimePoint> next = shared_.ChildNextDeadline();
    if (next && *next <= clock_.Now()) return false;
    if (!Asleep(walker)) return false;
    std::this_thread::sleep_for(LookApart);
    return NetworkQuiet() && shared_.ChildChanges() == changes &&
           market_.RequestCount() == requests && Asleep(walker);
  }

  // No request on its way to the marketplace or being answered.
  bool NetworkQuiet() const {
    return market_.Busy() == 0 && market_.WaitingConnections() == 0 && gate_.Awaiting() == 0;
  }

  // Moves time to the next deadline of the walker or the next change of the faults; false when
  // there is neither.
  bool Step() {
    const Clock::TimePoint now = clock_.Now();
    std::optional<Clock::TimePoint> target;
    bool boundary = false;
    if (const std::optional<Clock::TimePoint> next = shared_.ChildNextDeadline();
        next && *next > now) {
      target = *next;
      if (idle_ >= ExactSteps) {
        const int doublings = std::min(idle_ - ExactSteps, 10);
        const Clock::Duration coarsest = QuietFor() > LongQuiet ? LongQuietStep : CoarsestStep;
        const Clock::Duration step =
            std::min<Clock::Duration>(coarsest, FirstCoarseStep * (1 << doublings));
        target = std::max(*target, now + step);
      }
    }
    // A walker without any waiter on the clock is starting or ending (its dispatcher always
    // waits for its next pass): time stands until it waits again or has ended.
    if (shared_.ChildWaiters() == 0) return false;
    if (const std::optional<Clock::TimePoint> change = plan_.NextChange(now);
        change && (!target || *change <= *target)) {
      target = change;
      boundary = true;
    }
    if (!target) return false;
    Reconcile(*target);
    clock_.AdvanceTo(*target);
    ++steps_;
    const std::size_t requests = market_.RequestCount();
    idle_ = requests == lastRequests_ && !boundary ? idle_ + 1 : 0;
    if (requests != lastRequests_) lastAsked_ = *target;
    lastRequests_ = requests;
    if (trace_) {
      std::fprintf(stderr, "[sim] %s%s, %zu requests\n", Ms(*target - plan_.WalkStart()).c_str(),
                   boundary ? " (a fault begins or ends)" : "", requests);
    }
    return true;
  }

  // The gate and the disk as the faults want them at `time`.
  void Reconcile(Clock::TimePoint time) {
    const bool refusing = plan_.Refusing(time);
    if (refusing && gate_.IsOpen()) gate_.Close();
    if (!refusing && !gate_.IsOpen()) gate_.Open();
    disk_.SetFailing(DiskFailing(time));
  }

  bool DiskFailing(Clock::TimePoint time) const {
    const Schedule& schedule = plan_.Faults();
    for (std::size_t i = 0; i < schedule.faults.size(); ++i) {
      if (schedule.faults[i].kind == FaultKind::StoreFails && plan_.InEffect(i, time)) return true;
    }
    return false;
  }

  std::size_t Steps() const { return steps_; }
  // How long the walk has asked the marketplace nothing (its time).
  Clock::Duration QuietFor() const { return clock_.Now() - lastAsked_; }

 private:
  bool Asleep(pid_t walker) {
    if (!walkerThreads_ || walkerPid_ != walker) {
      walkerThreads_ = std::make_unique<ThreadWatch>(walker);
      walkerPid_ = walker;
    }
    if (walkerThreads_->Active() != 0) return false;
    // The marketplace's threads are covered by what the gate and the marketplace count; the
    // gate's own threads pass bytes that are not counted yet.
    ownThreads_.Watch(gate_.Threads());
    return ownThreads_.Active() == 0;
  }

  std::unique_ptr<ThreadWatch> walkerThreads_;
  pid_t walkerPid_ = 0;
  ThreadWatch ownThreads_;

  test::ManualClock& clock_;
  test::SharedClock& shared_;
  test::TestMarketplace& market_;
  ConnectionGate& gate_;
  DiskSwitch& disk_;
  FaultPlan& plan_;
  const bool trace_;
  int idle_ = 0;
  std::size_t lastRequests_ = 0;
  Clock::TimePoint lastAsked_ = clock_.Now();
  std::size_t steps_ = 0;
};

// Whether a walk that follows the top may be stopped for good at `now`: its last opening had time
// to be listed, and so had every fault to begin, end and leave its longest pause behind (a
// Retry-After kept, a back-off), with time for the walk to come round again after it; a shop
// that fails several requests then has its tries left, each after the longest back-off.
bool FollowSettled(const Schedule& schedule, const FaultPlan& plan, Clock::TimePoint start,
                   Clock::TimePoint now) {
  constexpr std::int64_t LongestBackoffMs = 60'000;
  const FollowPlan& follow = *schedule.follow;
  Clock::TimePoint settled = start + std::chrono::milliseconds(follow.endMs);
  int tries = 0;
  for (std::size_t i = 0; i < schedule.faults.size(); ++i) {
    const Fault& fault = schedule.faults[i];
    const FaultPlan::Window window = plan.WindowOf(i);
    if (!window.start) return false;
    if (fault.kind == FaultKind::FlakyShop) tries = std::max(tries, fault.failures + 1);
    const std::int64_t pauseMs =
        std::max<std::int64_t>(LongestBackoffMs, std::min(fault.retryAfterSeconds, 600) * 1000LL);
    settled =
        std::max(settled, window.end.value_or(*window.start) + std::chrono::milliseconds(pauseMs));
  }
  settled += std::chrono::milliseconds(tries * LongestBackoffMs + follow.SettleMs(schedule.rate));
  return now >= settled;
}

std::optional<Clock::TimePoint> LastHandedOut(const std::string& output) {
  const std::string tag = "LAST-HANDED-OUT ";
  const std::size_t found = output.find(tag);
  if (found == std::string::npos) return std::nullopt;
  const long long ms = std::atoll(output.c_str() + found + tag.size());
  return Clock::TimePoint(std::chrono::milliseconds(ms));
}

std::vector<std::string> WalkerArguments(const Schedule& schedule, const SimulatorSetup& setup,
                                         const std::string& store, const std::string& settings,
                                         bool first) {
  std::vector<std::string> arguments{"--store",      store,
                                     "--settings",   settings,
                                     "--threads",    std::to_string(schedule.threads),
                                     "--rate",       std::to_string(schedule.rate),
                                     "--connect-ms", std::to_string(setup.connectMs),
                                     "--receive-ms", std::to_string(setup.receiveMs)};
  if (!schedule.follow) {
    arguments.push_back("--to");
    arguments.push_back(std::to_string(schedule.last));
  }
  // The first life begins the walk; the later ones go on from the store, as the command line
  // does without --from.
  if (first) {
    arguments.push_back("--from");
    arguments.push_back(std::to_string(schedule.first));
  }
  if (schedule.maxRequests) {
    arguments.push_back("--max-requests");
    arguments.push_back(std::to_string(*schedule.maxRequests));
  }
  if (schedule.windowPolicy) arguments.push_back("--window-policy");
  if (schedule.follow) {
    arguments.push_back("--follow-window");
    arguments.push_back(std::to_string(schedule.follow->window));
    arguments.push_back("--follow-every-ms");
    arguments.push_back(std::to_string(schedule.follow->everyMs));
  }
  return arguments;
}

}  // namespace

Evidence RunSingleWalk(const Schedule& schedule, const SimulatorSetup& setup) {
  const auto wallStart = WallClock::now();
  Evidence evidence;
  evidence.schedule = schedule;
  evidence.coarsestStep = CoarsestStep;
  evidence.receiveLimit = std::chrono::milliseconds(setup.receiveMs);

  test::ScratchDirectory scratch;
  const std::string store = scratch.File("walk.db");
  test::PutFile(scratch.File("config.ini"),
                "[Mivu]\nMax_Attempts=" + std::to_string(schedule.maxAttempts) + "\n");
  test::ManualClock clock;
  test::SharedClock shared(clock, scratch.File("clock"));
  DiskSwitch disk = DiskSwitch::Owner(scratch.File("disk"));
  test::TestMarketplace market(test::TestMarketplace::Options{
      .serverThreads = static_cast<std::size_t>(2 * schedule.threads + 8)});
  market.SetClock(&clock);
  ConnectionGate gate(market.Port());
  const MarketplaceTruth truth = schedule.Truth();
  FaultPlan plan(schedule, clock);
  plan.OnBegin([&gate, &disk](const Fault& fault) {
    if (fault.kind == FaultKind::Refused) gate.Close();
    if (fault.kind == FaultKind::StoreFails) disk.SetFailing(true);
  });
  market.SetFallbackGenerator([&plan, &truth](const std::string& host, const std::string& path) {
    return plan.Answer(truth, -1, host, path);
  });
  TimeDriver driver(clock, shared, market, gate, disk, plan, setup.trace);
  driver.Reconcile(clock.Now());
  evidence.start = clock.Now();
  evidence.calendarStart = clock.CalendarNow();
  std::mt19937_64 random(schedule.seed ^ 0x4b696c6c73ull);

  const std::vector<std::string> environment{shared.EnvironmentEntry(),
                                             "SHOPWALK_CONNECT_TO=" + gate.ConnectAddress(),
                                             "SHOPWALK_SIM_PARENT=" + std::to_string(::getpid())};
  for (int life = 0; !evidence.finished && evidence.trouble.empty(); ++life) {
    if (life >= MostLives) {
      evidence.trouble = "the walk had not ended after " + std::to_string(MostLives) + " lives";
      break;
    }
    std::vector<std::string> arguments =
        WalkerArguments(schedule, setup, store, scratch.path(), life == 0);
    arguments.push_back("--disk-switch");
    arguments.push_back(scratch.File("disk"));
    test::ChildProcess walker(setup.walker, arguments, environment);
    Life record;
    record.started = clock.Now();
    record.firstRequest = market.RequestCount();
    if (setup.trace) std::fprintf(stderr, "[sim] life %d begins\n", life);

    auto lastProgress = WallClock::now();
    std::size_t progressRequests = market.RequestCount();
    std::size_t progressSteps = driver.Steps();
    std::optional<int> ended;
    int busyLooks = 0;
    // A walk that follows the top runs until its user stops it for good.
    bool stoppedForGood = false;
    for (std::size_t look = 0;; ++look) {
      if ((ended = walker.Wait(0ms))) break;
      const Clock::TimePoint now = clock.Now();
      if (schedule.follow && !record.stopped && !record.killed &&
          FollowSettled(schedule, plan, evidence.start, now)) {
        if (setup.trace) std::fprintf(stderr, "[sim] the following walk is stopped for good\n");
        walker.Signal(SIGINT);
        record.stopped = true;
        stoppedForGood = true;
      }
      for (std::size_t index : plan.TakeDueActions(now)) {
        const Fault& fault = schedule.faults[index];
        if (setup.trace) std::fprintf(stderr, "[sim] %s\n", fault.Describe().c_str());
        if (fault.kind == FaultKind::Stop && !record.stopped && !record.killed) {
          walker.Signal(SIGINT);
          record.stopped = true;
        } else if (fault.kind == FaultKind::Kill && !record.killed) {
          // At any moment: whatever the walker is doing a moment after its time came.
          std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
          evidence.peakResidentBytes =
              std::max(evidence.peakResidentBytes, PeakResidentBytes(walker.Pid()));
          walker.Signal(SIGKILL);
          record.killed = true;
        }
      }
      if (record.killed) {
        ended = walker.Wait(ReapWait);
        break;
      }
      if (look % 64 == 0 && IsWalker(walker.Pid())) {
        evidence.peakResidentBytes =
            std::max(evidence.peakResidentBytes, PeakResidentBytes(walker.Pid()));
        if (const int open = OpenDescriptors(walker.Pid()); open > evidence.peakDescriptors) {
          evidence.peakDescriptors = open;
          evidence.peakDescriptorKinds = DescriptorKinds(walker.Pid());
        }
      }
      if (market.RequestCount() != progressRequests || driver.Steps() != progressSteps) {
        progressRequests = market.RequestCount();
        progressSteps = driver.Steps();
        lastProgress = WallClock::now();
      } else if (WallClock::now() - lastProgress > Stuck) {
        std::ostringstream why;
        why << "the walk stopped moving at " << Ms(now - evidence.start) << " (walker threads "
            << "running: " << ActiveThreads(walker.Pid())
            << ", waiting on the clock: " << shared.ChildWaiters()
            << ", requests being answered: " << market.Busy() << ")";
        evidence.trouble = why.str();
        break;
      }
      if (driver.QuietFor() > NothingAskedAtAll) {
        evidence.trouble = "the walk asked the marketplace nothing from " +
                           Ms(now - driver.QuietFor() - evidence.start) + " to " +
                           Ms(now - evidence.start) + " of its time";
        break;
      }
      if (now - evidence.start > LongestWalk || WallClock::now() - wallStart > LongestWall) {
        evidence.trouble = "the walk had not ended after " + Ms(now - evidence.start) +
                           " of its time (" + Ms(WallClock::now() - wallStart) + " of wall time)";
        break;
      }
      if (driver.Quiet(walker.Pid()) && driver.Step()) {
        busyLooks = 0;
      } else {
        std::this_thread::sleep_for(++busyLooks > QuickLooks ? LongBusyNap : BusyNap);
      }
    }
    if (!ended) {
      walker.Signal(SIGKILL);
      ended = walker.Wait(ReapWait);
    }
    // What the walker sent before it ended reaches the marketplace before the next life's
    // requests are counted: its connections close with it.
    test::WaitUntil([&] { return gate.Passing() == 0 && market.Busy() == 0; }, ReapWait);
    record.ended = clock.Now();
    record.endRequest = market.RequestCount();
    record.exitCode = ended.value_or(-SIGKILL);
    record.lastHandedOut = LastHandedOut(walker.Output());
    record.errors = walker.Errors();
    record.store = ReadSqliteStore(store);
    if (const std::string saved = LoadProgress(scratch.path()); !saved.empty()) {
      record.store.savedPlace = saved;
    }
    if (setup.trace) {
      std::fprintf(stderr, "[sim] life %d ended with %d at %s\n", life, record.exitCode,
                   Ms(record.ended - evidence.start).c_str());
    }
    const int code = record.exitCode;
    const bool byItself = !record.killed && !record.stopped;
    evidence.lives.push_back(std::move(record));
    if (!evidence.trouble.empty()) break;
    if (stoppedForGood && code == 130) {
      evidence.finished = true;
      break;
    }
    if (schedule.follow && byItself && code == 0) {
      evidence.trouble = "the walk that follows the top ended by itself";
      break;
    }
    if (byItself && (code == 0 || code == 2)) {
      evidence.finished = true;
      break;
    }
    if (code == HeldOnPages && byItself) {
      // Held on the page-match guard: the user fixes the markers (or the marketplace comes back)
      // and starts the walk again. Held without a change, the guard tripped on pages that match.
      const std::optional<std::size_t> change = plan.UndoPageChange(clock.Now());
      if (!change) {
        evidence.trouble = "the walk held on the page-match guard at " +
                           Ms(clock.Now() - evidence.start) +
                           " though the pages had not changed: " + evidence.lives.back().errors;
        break;
      }
      if (setup.trace) {
        std::fprintf(stderr, "[sim] %s undone\n", schedule.faults[*change].Describe().c_str());
      }
      driver.Reconcile(clock.Now());
      continue;
    }
    if (code != 0 && code != 1 && code != 130 && !evidence.lives.back().killed) {
      evidence.trouble = "the walking process ended with " + std::to_string(code) + ": " +
                         evidence.lives.back().errors;
      break;
    }
    // A disk still failing would fail the next life at once: its time passes first.
    while (driver.DiskFailing(clock.Now())) {
      const std::optional<Clock::TimePoint> change = plan.NextChange(clock.Now());
      if (!change) break;
      driver.Reconcile(*change);
      clock.AdvanceTo(*change);
    }
    driver.Reconcile(clock.Now());
  }

  evidence.final = ReadSqliteStore(store);
  if (const std::string saved = LoadProgress(scratch.path()); !saved.empty()) {
    evidence.final.savedPlace = saved;
  }
  evidence.requests.push_back(market.Requests());
  evidence.resetPorts = gate.ResetUpstreamPorts();
  evidence.waits = gate.Waits();
  for (std::size_t i = 0; i < schedule.faults.size(); ++i) {
    evidence.windows.push_back(plan.WindowOf(i));
  }
  evidence.steps = driver.Steps();
  if (setup.trace) {
    for (const test::RecordedRequest& request : evidence.requests.back()) {
      std::fprintf(stderr, "[log] %s %s%s -> %d%s%s port %d\n",
                   Ms(request.at.value_or(evidence.start) - evidence.start).c_str(),
                   request.host.c_str(), request.path.c_str(), request.answerStatus,
                   request.answer == test::Misbehaviour::None ? "" : " (misbehaving)",
                   request.retryAfter.empty() ? "" : (" Retry-After " + request.retryAfter).c_str(),
                   request.clientPort);
    }
    for (const Life& life : evidence.lives) {
      std::fprintf(stderr, "[life] requests %zu to %zu, %s to %s, exit %d\n%s", life.firstRequest,
                   life.endRequest, Ms(life.started - evidence.start).c_str(),
                   Ms(life.ended - evidence.start).c_str(), life.exitCode, life.errors.c_str());
    }
  }
  evidence.wallSeconds = std::chrono::duration<double>(WallClock::now() - wallStart).count();
  market.SetFallbackGenerator(nullptr);
  return evidence;
}

}  // namespace shopwalk::sim
