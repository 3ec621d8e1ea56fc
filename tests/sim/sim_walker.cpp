// The walking process of a simulated walk: the command line's own recovery and set-up
// (cli/walk_setup.h) on the clock the simulator moves (tests/support/child_clock.h), against the
// marketplace at SHOPWALK_CONNECT_TO, with the store's disk failing in the windows given. SIGINT
// or SIGTERM stop it as its user would (Ctrl-C for the command line, Stop for the window's
// engine policy); the simulator kills it at will.
//
//   sim_walker --store FILE | --db URI  --settings DIR  --to ID  [--from ID]  [--threads N]
//              [--rate R] [--max-requests N] [--window-policy] [--connect-ms N]
//              [--receive-ms N] [--block-size N] [--lease-ms N] [--renew-ms N]
//              [--follow-window N --follow-every-ms N]   (follows the top instead of --to)
//              [--disk-switch FILE]   (the store's writes fail while the switch is on)
//
// Standard output: "LAST-HANDED-OUT <ms>" when the walk hands out its last ID (manual steady time
// in ms), and "ENDED <code>" before it exits with that code: 0 the walk reached its end, 130
// stopped, 1 the store could not write everything, or the code the recovery gave. With the
// window's engine policy it also saves its place in config.ini as the window does when it closes.
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/walk_setup.h"
#include "cli/walk_view.h"
#include "collect/collector.h"
#include "collect/text.h"
#include "net/web_access.h"
#include "store/progress_store.h"
#include "tests/results/limited_space_vfs.h"
#include "tests/sim/disk_switch.h"
#include "tests/support/child_clock.h"

namespace shopwalk::sim {
namespace {

struct Arguments {
  WalkCommand command;
  std::string settings;
  bool windowPolicy = false;
  int connectMs = 0;
  int receiveMs = 0;
  std::string diskSwitch;
};

[[noreturn]] void Usage(const std::string& problem) {
  std::fprintf(stderr, "sim_walker: %s\n", problem.c_str());
  std::exit(64);
}

std::int64_t Number(const char* text) {
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0') Usage(std::string("not a number: ") + text);
  return value;
}

Arguments Parse(int argc, char** argv) {
  Arguments arguments;
  WalkCommand& command = arguments.command;
  command.quiet = true;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--window-policy") {
      arguments.windowPolicy = true;
      continue;
    }
    if (i + 1 >= argc) Usage(name + " needs a value");
    const char* value = argv[++i];
    if (name == "--store" || name == "--db") {
      command.db = value;
    } else if (name == "--settings") {
      arguments.settings = value;
    } else if (name == "--from") {
      command.from = static_cast<std::int32_t>(Number(value));
    } else if (name == "--to") {
      command.to = static_cast<std::int32_t>(Number(value));
    } else if (name == "--threads") {
      command.threads = static_cast<int>(Number(value));
    } else if (name == "--rate") {
      command.rate = std::atof(value);
    } else if (name == "--max-requests") {
      command.maxRequests = static_cast<int>(Number(value));
    } else if (name == "--connect-ms") {
      arguments.connectMs = static_cast<int>(Number(value));
    } else if (name == "--receive-ms") {
      arguments.receiveMs = static_cast<int>(Number(value));
    } else if (name == "--block-size") {
      command.blockSize = static_cast<int>(Number(value));
    } else if (name == "--lease-ms") {
      command.leaseMs = static_cast<int>(Number(value));
    } else if (name == "--renew-ms") {
      command.renewMs = static_cast<int>(Number(value));
    } else if (name == "--follow-window") {
      command.follow = true;
      command.followWindow = static_cast<std::int32_t>(Number(value));
    } else if (name == "--follow-every-ms") {
      command.follow = true;
      command.followEvery = std::chrono::milliseconds(Number(value));
    } else if (name == "--disk-switch") {
      arguments.diskSwitch = value;
    } else {
      Usage("unknown option " + name);
    }
  }
  if (command.db.empty() || arguments.settings.empty() || (!command.to && !command.follow)) {
    Usage("--store or --db, --settings and --to (or --follow-window) are needed");
  }
  return arguments;
}

std::int64_t Milliseconds(Clock::TimePoint time) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The command line's view of the walk, telling the walker when the last ID goes out and when the
// run's controls are frozen (the stop sequence has run).
class WatchedView final : public CollectorUi {
 public:
  WatchedView(WalkView& view, Clock& clock, std::optional<std::int32_t> last)
      : view_(view), clock_(clock), last_(last) {}

  std::string ShopIdText() override { return view_.ShopIdText(); }
  void SetShopIdText(std::string_view text) override {
    view_.SetShopIdText(text);
    if (last_ && TextToInt(std::string(text)) >= *last_ && !lastSaid_.exchange(true)) {
      Say("LAST-HANDED-OUT " + std::to_string(Milliseconds(clock_.Now())));
    }
  }
  std::string ThreadCountText() override { return view_.ThreadCountText(); }
  void SetThreadCountText(std::string_view text) override { view_.SetThreadCountText(text); }
  void FreezeRunControls() override {
    view_.FreezeRunControls();
    Changed([this] { frozen_ = true; });
  }
  void ShowCollecting(std::string_view shopUrl) override { view_.ShowCollecting(shopUrl); }
  void AddRow(const ShopRecord& record) override { view_.AddRow(record); }
  void ShowPaused(PauseReason reason, std::chrono::seconds nextTry, bool probeOut) override {
    view_.ShowPaused(reason, nextTry, probeOut);
  }
  void ShowRetryCounts(std::size_t waiting, std::size_t failed, std::size_t toRevisit) override {
    view_.ShowRetryCounts(waiting, failed, toRevisit);
  }

  void WalkEnded() {
    Changed([this] { ended_ = true; });
  }
  void Stop(int signal) {
    Changed([this, signal] { signal_ = signal; });
  }
  // Waits until the walk ends or a stop signal comes; the signal (0: none).
  int WaitForEndOrStop() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return ended_ || signal_ != 0; });
    return signal_;
  }
  // Waits until the stop sequence has run or the walk has ended.
  void WaitForFrozen() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return frozen_ || ended_; });
  }

 private:
  template <typename Change>
  void Changed(Change change) {
    {
      std::lock_guard lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  WalkView& view_;
  Clock& clock_;
  const std::optional<std::int32_t> last_;
  std::atomic<bool> lastSaid_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ended_ = false;
  bool frozen_ = false;
  int signal_ = 0;
};

int Walk(const Arguments& arguments, Clock& clock, std::atomic<WatchedView*>& watched) {
  const WalkCommand& command = arguments.command;
  Folders folders;
  folders.settings = folders.settingsRead = arguments.settings;
  folders.store = arguments.settings + "/shopwalk.db";
  WalkStore walk;
  if (const std::optional<int> code = OpenWalkStore(command, folders, walk, clock)) return *code;

  WalkView shown(walk.startAfter, std::to_string(command.threads));
  WatchedView view(shown, clock, walk.shared != nullptr ? std::nullopt : walk.last);
  Collector collector(view);
  PrepareCollector(collector, command, walk, folders, clock);
  EnginePolicy policy = arguments.windowPolicy ? EnginePolicy{} : collector.Engine();
  if (arguments.windowPolicy && command.maxRequests) {
    policy.maxConcurrentRequests = *command.maxRequests;
  }
  policy.connectTimeoutMs = arguments.connectMs;
  policy.receiveTimeoutMs = arguments.receiveMs;
  collector.SetEnginePolicy(policy);
  collector.OnWalkEnded([&view] { view.WalkEnded(); });
  // As shopwalk-cli: a walk held by the page-match guard ends (exit code 4).
  collector.OnPagesMismatch([&view](PageMismatch) { view.WalkEnded(); });
  watched.store(&view);
  collector.OnStartClicked();

  const int signal = view.WaitForEndOrStop();
  if (signal != 0 && arguments.windowPolicy) {
    // The window's Stop: the next task (or the paused dispatcher) runs the stop sequence.
    collector.OnStopClicked();
    view.WaitForFrozen();
  }
  const bool durable = FinishWalk(collector, *walk.store);
  watched.store(nullptr);
  if (arguments.windowPolicy) {
    // As the window saves its place when it closes (and the user agrees): no further than the
    // store made durable.
    SaveProgress(walk.store->DurablePlace().value_or(walk.startAfter), arguments.settings);
  }
  if (!durable) return 1;
  if (signal != 0) return 130;
  return collector.PagesMismatch() != PageMismatch::None ? 4 : 0;
}

}  // namespace
}  // namespace shopwalk::sim

int main(int argc, char** argv) {
  using namespace shopwalk;
  using namespace shopwalk::sim;
  const Arguments arguments = Parse(argc, argv);

  // The walker dies with the simulator that started it (SHOPWALK_SIM_PARENT names it): its clock
  // would never move again, and it would wait for good.
  if (const char* parent = std::getenv("SHOPWALK_SIM_PARENT")) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != static_cast<pid_t>(std::atol(parent))) return 1;
  }

  // SIGINT and SIGTERM go to one thread, which asks the walk to stop.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);

  std::unique_ptr<test::ChildClock> manual = test::ChildClock::FromEnvironment();
  Clock& clock = manual ? static_cast<Clock&>(*manual) : RealClock();
  InitWebAccess();

  std::optional<DiskSwitch> failing;
  test::LimitedSpaceVfs disk;
  if (!arguments.diskSwitch.empty()) {
    failing.emplace(DiskSwitch::Reader(arguments.diskSwitch));
    disk.FailWhile([&failing] { return failing->Failing(); });
  }

  std::atomic<WatchedView*> watching{nullptr};
  std::thread signals([&stops, &watching] {
    for (;;) {
      int signal = 0;
      if (sigwait(&stops, &signal) != 0) continue;
      if (WatchedView* view = watching.load()) {
        view->Stop(signal);
      } else {
        // Before the walk runs or after it: nothing to stop cleanly.
        std::_Exit(130);
      }
    }
  });
  signals.detach();

  const int code = Walk(arguments, clock, watching);
  Say("ENDED " + std::to_string(code));
  return code;
}
