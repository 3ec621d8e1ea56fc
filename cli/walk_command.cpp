// shopwalk-cli walk: the engine of the window without a window, with a progress display, the
// results store, and Ctrl-C that stops cleanly.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/duration.h"
#include "base/terminal_text.h"
#include "cli/change_lines.h"
#include "cli/commands.h"
#include "cli/progress_display.h"
#include "cli/refresh_work.h"
#include "cli/row_output.h"
#include "cli/stop_signals.h"
#include "cli/walk_setup.h"
#include "cli/walk_store.h"
#include "cli/walk_view.h"
#include "collect/collector.h"
#include "collect/text.h"
#include "net/web_access.h"
#include "results/store.h"
#include "store/markers_file.h"
#include "store/run_settings.h"

namespace shopwalk {
namespace {

// How long the shops in flight may finish after a stop before their transfers are aborted.
constexpr std::chrono::seconds StopGrace{2};
constexpr std::chrono::seconds StopTimeout{10};
// How long the end of a walk waits for the store to write what is queued; less while its writes
// fail (they are retried that long, then what is left is named and the walk fails).
constexpr std::chrono::seconds StoreFlushWait{30};
constexpr std::chrono::seconds FailingStoreFlushWait{3};
// Every listed shop is checked before now plus this (a clock set back a little included).
constexpr std::chrono::hours ListedMargin{24 * 365};

// Shows the shared walk's figures as its store tells them now.
void ShowCluster(SharedWalk& store, std::chrono::milliseconds lease, WalkView& view, Clock& clock) {
  const auto read = store.WalkSummary();
  if (!read || !*read) return;  // the server is away: the figures shown stay
  const SharedWalkSummary* walk = &**read;
  ClusterFigures figures;
  const std::int64_t nowMs = UnixMs(clock.CalendarNow());
  for (const WalkNodeSummary& node : walk->nodes) {
    if (!node.stopped && nowMs - node.lastSeenUnixMs <= lease.count()) {
      ++figures.nodes;
      figures.rate += node.rate;
    }
  }
  figures.place = walk->place;
  figures.first = walk->firstId;
  if (walk->endId) figures.end = *walk->endId;
  figures.failed = walk->failedWaiting + walk->failedDue + walk->failedRetrying;
  view.SetCluster(figures);
}

// Reads the shared walk's figures from its store now and then for the progress display, on a
// thread of its own: that takes a few queries, which the display's redraws must not wait for.
class ClusterWatch {
 public:
  static constexpr auto Interval = std::chrono::seconds(5);

  ClusterWatch(SharedWalk& store, std::chrono::milliseconds lease, WalkView& view, Clock& clock)
      : store_(store), lease_(lease), view_(view), clock_(clock), thread_([this] { Watch(); }) {}
  ~ClusterWatch() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  ClusterWatch(const ClusterWatch&) = delete;
  ClusterWatch& operator=(const ClusterWatch&) = delete;

 private:
  void Watch() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      ShowCluster(store_, lease_, view_, clock_);
      lock.lock();
      clock_.WaitFor(lock, wake_, Interval, [this] { return stopping_; });
    }
  }

  SharedWalk& store_;
  const std::chrono::milliseconds lease_;
  WalkView& view_;
  Clock& clock_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// What the store's trouble listener told, beside it (the listener is copied for each call).
struct StoreTroubleTold {
  // The last reason written (empty: none, or writing works again).
  std::string words;
  // The walk has ended: rows no longer wait for the store to write them.
  std::atomic<bool> walkOver{false};
};

// Shows the store's trouble in the progress display while it lasts, and says on standard error
// when it begins, changes its reason and ends.
std::shared_ptr<StoreTroubleTold> WatchStore(ResultStore& store,
                                             const std::shared_ptr<WalkView>& view) {
  auto told = std::make_shared<StoreTroubleTold>();
  store.OnTrouble([view, told](const std::optional<StoreProblem>& problem) {
    if (!problem) {
      view->SetStoreTrouble(std::nullopt);
      if (!told->words.empty()) std::fprintf(stderr, "\nshopwalk-cli: the store writes again\n");
      told->words.clear();
      return;
    }
    view->SetStoreTrouble(problem->unwrittenRows);
    std::string words = TerminalSafe(problem->path) + ": " + TerminalSafe(problem->reason);
    if (words == told->words) return;
    std::fprintf(stderr, "\nshopwalk-cli: cannot write the store %s%s\n", words.c_str(),
                 told->walkOver ? "" : " (rows wait in memory)");
    told->words = std::move(words);
  });
  return told;
}

// Says what the store could not write at the walk's end: how many rows, their shop IDs, why.
void ReportUnwritten(const StoreBacklog& backlog, const std::string& location) {
  std::fprintf(stderr, "shopwalk-cli: %" PRIu64 " %s not written to the store %s", backlog.rows,
               backlog.rows == 1 ? "row was" : "rows were", TerminalSafe(location).c_str());
  if (backlog.lowestRow && backlog.highestRow) {
    std::fprintf(stderr, " (shop IDs %" PRId32 " to %" PRId32 ")", *backlog.lowestRow,
                 *backlog.highestRow);
  }
  std::fprintf(stderr, ", %" PRIu64 " reports in all", backlog.reports);
  if (backlog.problem) {
    std::fprintf(stderr, ": %s", TerminalSafe(backlog.problem->reason).c_str());
  }
  std::fputs("\n", stderr);
}

// Which pages stopped matching, for the walk's last line.
std::string MismatchText(PageMismatch mismatch) {
  switch (mismatch) {
    case PageMismatch::HomeFields:
      return "pages no longer match (home pages give no fields)";
    case PageMismatch::RatingFields:
      return "pages no longer match (rating pages give no date or reputation)";
    case PageMismatch::NoticeOnShops:
      return "pages no longer match (shops known to exist say there is no such shop)";
    case PageMismatch::None:
      break;
  }
  return "pages no longer match";
}

// The kept pages' budget in MB: --keep-pages-mb, config.ini's Keep_Pages_MB, or the default.
std::uint64_t KeptPagesBudgetMb(const WalkCommand& command, const RunSettings& settings) {
  if (command.keepPagesMb) return *command.keepPagesMb;
  return settings.keepPagesMb ? static_cast<std::uint64_t>(*settings.keepPagesMb)
                              : DefaultKeepPagesMb;
}

// The store's kept pages now, when the walk keeps pages and the store can say.
std::optional<KeptPagesSummary> KeptSummary(ResultStore& store, const PageKeeper* keeper) {
  if (keeper == nullptr) return std::nullopt;
  Expected<KeptPagesSummary, StoreProblem> summary = store.KeptPages();
  if (!summary) return std::nullopt;
  return *summary;
}

// What the walk's last line says of the kept pages: how many the store keeps, and how many this
// walk's pages pushed out to stay within the budget.
std::string KeptPagesText(const std::optional<KeptPagesSummary>& now,
                          const std::optional<KeptPagesSummary>& before, std::uint64_t budgetMb) {
  if (!now) return "; kept pages: the store cannot say how many";
  char text[200];
  std::snprintf(text, sizeof text, "; %" PRIu64 " kept pages (%.1f MB packed)", now->pages,
                static_cast<double>(now->packedBytes) / (1 << 20));
  std::string said = text;
  const std::uint64_t dropped =
      now->dropped - (before ? std::min(before->dropped, now->dropped) : 0);
  if (dropped != 0) {
    std::snprintf(text, sizeof text, ", %" PRIu64 " dropped to stay within the budget", dropped);
    said += text;
    said += " of " + std::to_string(budgetMb) + " MB";
  }
  return said;
}

}  // namespace

void PrepareCollector(Collector& collector, const WalkCommand& command, const WalkStore& walk,
                      const Folders& folders, Clock& clock) {
  collector.SetClock(clock);
  collector.SetPace(command.rate > 0
                        ? std::chrono::milliseconds(std::llround(1000.0 / command.rate))
                        : std::chrono::milliseconds(0));
  if (walk.shared != nullptr) {
    // The shared walk hands out the IDs and knows its end.
    collector.SetWorkSource(walk.shared);
  } else {
    collector.SetLastShopId(walk.last);
  }
  if (command.follow)
    collector.SetFollow(FollowSettings{command.followWindow, command.followEvery});
  // Connections kept from shop to shop, rating pages fetched side by side, and no more requests
  // at once than asked for (by default as many as there are workers: one each).
  collector.SetEnginePolicy(EnginePolicy::CommandLine(command.maxRequests.value_or(0)));
  const RunSettings settings = LoadRunSettings(folders.settingsRead);
  if (settings.maxAttempts) {
    RetryPolicy policy = collector.Policy();
    policy.maxAttempts = *settings.maxAttempts;
    collector.SetRetryPolicy(policy);
  }
  collector.SetPageMatchLimits(GuardLimits(settings));
  collector.SetResultSink(walk.store.get());
  collector.SetAlreadyListed(walk.alreadyListed);
  // markers.ini's markers; a file that cannot be taken is said, and the built-in ones cut.
  const MarkersFile markers = LoadMarkersFile(folders.settingsRead);
  TellMarkersProblem(markers);
  collector.SetMarkers(markers.inForce.markers);
}

Expected<std::unique_ptr<PageKeeper>, std::string> KeepPages(Collector& collector,
                                                             const WalkCommand& command,
                                                             ResultStore& store,
                                                             const Folders& folders) {
  const RunSettings settings = LoadRunSettings(folders.settingsRead);
  if (!command.keepPages && !settings.keepPages) return std::unique_ptr<PageKeeper>();
  store.SetKeptPagesBudget(KeptPagesBudgetMb(command, settings) << 20);
  Expected<std::unique_ptr<PageKeeper>, StoreProblem> keeper = PageKeeper::Open(store);
  if (!keeper) return MakeUnexpected(keeper.error().reason);
  collector.SetPageSink(keeper->get());
  return std::move(*keeper);
}

bool FinishWalk(Collector& collector, ResultStore& store, PageKeeper* keeper) {
  // Stop dispatching; the shops in flight finish if they can within the grace, then their
  // transfers are aborted. What was reported is committed before the summary.
  collector.ShutDownForExit(StopTimeout, StopGrace);
  // The pages of a run too short to train a dictionary are still gathered.
  if (keeper != nullptr) keeper->Finish();
  store.EndRun(true);
  const bool failing = store.Backlog().problem.has_value();
  return store.Flush(failing ? FailingStoreFlushWait : StoreFlushWait);
}

int RunWalk(const WalkCommand& command, const Folders& folders, Clock& clock) {
  const std::string connectTo = ConnectToFromEnvironment();
  if (!connectTo.empty() && !IsConnectToAddress(connectTo)) {
    std::fprintf(stderr,
                 "shopwalk-cli: %s=%s is not HOST:PORT (a host name, an IPv4 address or an [IPv6] "
                 "address, then a port from 1 to 65535)\n",
                 ConnectToVariable, TerminalSafe(connectTo).c_str());
    return UsageErrorExitCode;
  }
  if (command.follow && IsDatabaseUri(command.db)) {
    std::fprintf(stderr,
                 "shopwalk-cli: --follow walks a store of one machine (a file), not a "
                 "shared walk\n");
    return UsageErrorExitCode;
  }
  WarnOfPasswordIn(command.db);
  // The proxy and the agent text are settings like the command line's: a bad one is a usage error.
  const RunSettings runSettings = LoadRunSettings(folders.settingsRead);
  const Expected<ProxySetting, SettingRefused> proxy =
      ChooseProxy(command.proxy, runSettings, ProcessEnvironmentValue);
  if (!proxy) {
    std::fprintf(stderr, "shopwalk-cli: %s\n", TerminalSafe(proxy.error().reason).c_str());
    return UsageErrorExitCode;
  }
  const Expected<std::string, SettingRefused> agent =
      ChooseUserAgent(command.userAgent, runSettings);
  if (!agent) {
    std::fprintf(stderr, "shopwalk-cli: %s\n", TerminalSafe(agent.error().reason).c_str());
    return UsageErrorExitCode;
  }
  StopSignals signals(clock);
  InitWebAccess();
  SetProxy(*proxy);
  SetUserAgent(*agent);

  WalkStore walk;
  if (const std::optional<int> refused = OpenWalkStore(command, folders, walk, clock)) {
    return *refused;
  }
  ResultStore& store = *walk.store;
  const std::string& startAfter = walk.startAfter;
  const std::int32_t first = walk.first;
  const std::optional<std::int32_t>& last = walk.last;
  const std::string& startFrom = walk.startFrom;
  const std::string& storePath = walk.location;
  // Shared with the store's trouble listener, which the store may call until it is gone.
  const auto shownView = std::make_shared<WalkView>(startAfter, NumberToText(command.threads));
  WalkView& view = *shownView;
  const std::shared_ptr<StoreTroubleTold> troubleTold = WatchStore(store, shownView);

  std::unique_ptr<RowOutput> output;
  // --out -: the shops that are new, changed or open again, as JSON Lines on standard output,
  // told apart from the shops the store lists now.
  ChangeStream changes;
  std::unique_ptr<KnownShops> known;
  if (command.out == "-") {
    const auto listed = store.ShopsToRefresh(
        UnixMs(clock.CalendarNow()) + std::chrono::milliseconds(ListedMargin).count(),
        std::nullopt);
    if (!listed) {
      std::fprintf(stderr, "shopwalk-cli: cannot read the store %s: %s\n",
                   TerminalSafe(storePath).c_str(), TerminalSafe(listed.error().reason).c_str());
      return 1;
    }
    known = std::make_unique<KnownShops>(*listed);
    std::string unused;
    changes.Open("-", unused);
    view.OnRow([&known, &changes, &clock](const ShopRecord& record) {
      if (const auto kind = known->Collected(record)) {
        changes.Write(
            ShopChangeLine(*kind, record.shopId, UnixMs(clock.CalendarNow()), &record, nullptr));
      }
    });
  } else if (!command.out.empty()) {
    WriteResult opening;
    output = RowOutput::Open(command.out, opening);
    if (!output) {
      std::fprintf(stderr, "shopwalk-cli: cannot write %s: %s\n", TerminalSafe(command.out).c_str(),
                   TerminalSafe(opening.reason).c_str());
      return 1;
    }
  }

  if (output) view.OnRow([&output](const ShopRecord& record) { output->Write(record); });
  Collector collector(view);
  PrepareCollector(collector, command, walk, folders, clock);
  Expected<std::unique_ptr<PageKeeper>, std::string> keeper =
      KeepPages(collector, command, store, folders);
  if (!keeper) {
    std::fprintf(stderr, "shopwalk-cli: cannot keep pages in %s: %s\n",
                 TerminalSafe(storePath).c_str(), TerminalSafe(keeper.error()).c_str());
    return 1;
  }
  const std::optional<KeptPagesSummary> keptBefore = KeptSummary(store, keeper->get());

  const ProgressStyle style = command.quiet        ? ProgressStyle::Quiet
                              : IsTerminal(stderr) ? ProgressStyle::Terminal
                                                   : ProgressStyle::Log;
  if (style != ProgressStyle::Quiet) {
    // Where connections go: through the proxy, to the redirect address, or both by host.
    std::string redirect;
    const std::string target = ConnectTo();
    const std::string redirectTo =
        TerminalSafe(target) + " (" + std::string(ConnectToVariable) + ")";
    if (proxy->UsesProxy()) {
      redirect = ", through proxy " + TerminalSafe(proxy->Shown());
      if (!target.empty() && proxy->source == ProxySetting::Source::Given) {
        redirect += std::string(" (") + ConnectToVariable + " does not apply)";
      } else if (!target.empty()) {
        redirect += "; connections not proxied go to " + redirectTo;
      }
    } else if (!target.empty()) {
      redirect = ", connections go to " + redirectTo;
    }
    std::fprintf(stderr, "walking from %d%s (start from %s), store %s%s\n", first,
                 last ? (" to " + NumberToText(*last)).c_str() : "", startFrom.c_str(),
                 TerminalSafe(storePath).c_str(), redirect.c_str());
    if (command.follow) {
      std::fprintf(stderr, "following the top: %d IDs above the newest shop, every %s\n",
                   command.followWindow, FormatDuration(command.followEvery).c_str());
    }
  }
  // A shared walk's own bar would mislead (its IDs come in blocks): its end shows as the
  // cluster's share answered instead.
  // While following, the newest shop's age: since this run found it, or since the store first saw
  // it.
  std::optional<StoreSummary> before;
  if (command.follow) {
    if (auto summary = store.Summary()) before = std::move(*summary);
  }
  const auto figures = [&view, &collector, &clock, &before] {
    WalkFigures figures = view.Figures(collector.Figures());
    if (!figures.follow) return figures;
    if (figures.follow->newestFound) {
      figures.newestAge = clock.Now() - *figures.follow->newestFound;
    } else if (before && before->newestShop == figures.follow->newest &&
               before->newestFirstSeenUnixMs) {
      const Clock::CalendarTime seen{std::chrono::milliseconds(*before->newestFirstSeenUnixMs)};
      figures.newestAge = std::max(clock.CalendarNow() - seen, Clock::CalendarTime::duration(0));
    }
    return figures;
  };
  ProgressDisplay progress(style, figures, walk.shared != nullptr ? std::nullopt : last, stderr,
                           clock);
  std::optional<ClusterWatch> clusterWatch;
  if (walk.shared != nullptr && style != ProgressStyle::Quiet) {
    clusterWatch.emplace(*walk.shared, walk.lease, view, clock);
  }
  collector.OnWalkEnded([&signals] { signals.Wake(); });
  // The walk holds when the pages no longer match the markers: the command line ends it.
  std::atomic<bool> held{false};
  collector.OnPagesMismatch([&signals, &held](PageMismatch) {
    held = true;
    signals.Wake();
  });
  progress.Start();
  collector.OnStartClicked();

  int signal = 0;
  while (!collector.WalkEnded() && !held) {
    signal = signals.WaitFor(std::chrono::seconds(1));
    if (signal != 0) break;
  }
  const bool durable = FinishWalk(collector, store, keeper->get());

  int code = 0;
  std::string ending = "finished";
  if (signal == SIGINT) {
    ending = "stopped by SIGINT";
    code = 130;
  } else if (signal == SIGTERM) {
    ending = "stopped by SIGTERM";
    code = 143;
  } else if (held) {
    ending = "held: " + MismatchText(collector.PagesMismatch()) +
             "; the shops it could not trust are asked again first by the next walk";
    code = PagesDoNotMatchExitCode;
    // On a shared walk the other nodes' status shows why this one stopped.
    if (walk.shared != nullptr) {
      if (auto told = walk.shared->NodeHeld(MismatchText(collector.PagesMismatch())); !told) {
        std::fprintf(stderr, "shopwalk-cli: cannot record why this node stopped: %s\n",
                     TerminalSafe(told.error().reason).c_str());
      }
    }
  }
  if (*keeper) {
    ending += KeptPagesText(KeptSummary(store, keeper->get()), keptBefore,
                            KeptPagesBudgetMb(command, LoadRunSettings(folders.settingsRead)));
  }
  // Store trouble outweighs how the walk ended: what it found is not all kept.
  if (!durable) {
    ending += "; the store could not write everything";
    code = 1;
  }
  if (clusterWatch) {
    clusterWatch.reset();
    ShowCluster(*walk.shared, walk.lease, view, clock);
  }
  progress.Finish(ending);
  troubleTold->walkOver = true;
  if (!durable) ReportUnwritten(store.Backlog(), storePath);
  if (output) {
    const WriteResult closed = output->Close();
    if (!closed) {
      std::fprintf(stderr, "shopwalk-cli: cannot write %s: %s\n", TerminalSafe(closed.path).c_str(),
                   TerminalSafe(closed.reason).c_str());
      if (code == 0) code = 1;
    }
  }
  return code;
}

}  // namespace shopwalk
