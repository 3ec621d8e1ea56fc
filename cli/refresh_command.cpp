// shopwalk-cli refresh: the listed shops checked longest ago visited again by the engine, under
// the page-match guard, with what changed recorded in the store's history and, on request,
// streamed as JSON Lines.
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "base/duration.h"
#include "base/terminal_text.h"
#include "cli/change_lines.h"
#include "cli/commands.h"
#include "cli/progress_display.h"
#include "cli/refresh_work.h"
#include "cli/stop_signals.h"
#include "cli/walk_view.h"
#include "collect/collector.h"
#include "collect/text.h"
#include "net/web_access.h"
#include "results/store.h"
#include "store/file_bytes.h"
#include "store/markers_file.h"
#include "store/run_settings.h"

namespace shopwalk {
namespace {

constexpr std::chrono::seconds StopGrace{2};
constexpr std::chrono::seconds StopTimeout{10};
constexpr std::chrono::seconds StoreFlushWait{30};

void CannotUse(const StoreProblem& problem, const char* what) {
  std::fprintf(stderr, "shopwalk-cli: cannot %s the store %s: %s\n", what,
               TerminalSafe(problem.path).c_str(), TerminalSafe(problem.reason).c_str());
}

// The shops of `due` that this node may write: on a shared walk, those of the IDs it claimed
// (the others are held by walking nodes and wait for the next refresh).
std::vector<ShopToRefresh> Claimable(const std::vector<ShopToRefresh>& due,
                                     const SharedWalk::RewriteClaim& claim) {
  std::vector<ShopToRefresh> mine;
  for (const ShopToRefresh& shop : due) {
    for (const SharedWalk::IdRange& held : claim.held) {
      if (shop.shopId >= held.first && shop.shopId <= held.last) {
        mine.push_back(shop);
        break;
      }
    }
  }
  return mine;
}

}  // namespace

int RunRefresh(const RefreshCommand& command, const Folders& folders, Clock& clock) {
  const std::string connectTo = ConnectToFromEnvironment();
  if (!connectTo.empty() && !IsConnectToAddress(connectTo)) {
    std::fprintf(stderr, "shopwalk-cli: %s=%s is not HOST:PORT\n", ConnectToVariable,
                 TerminalSafe(connectTo).c_str());
    return UsageErrorExitCode;
  }
  WarnOfPasswordIn(command.db);
  StopSignals signals(clock);
  InitWebAccess();
  const std::string location = command.db.empty() ? folders.store : command.db;
  // A file: no walk writes it meanwhile. A shared walk's store: a node beside the walking ones,
  // writing only the IDs it holds under leases of its own.
  Expected<StoreHandle, StoreProblem> opened =
      OpenStore(location, StoreMode::Rewriting, StoreOptions{}, clock);
  if (!opened) {
    CannotUse(opened.error(), "open");
    return 1;
  }
  ResultStore& store = *opened->Store();
  const std::int64_t nowMs = UnixMs(clock.CalendarNow());
  auto due = store.ShopsToRefresh(nowMs - command.olderThan.count(), command.count);
  if (!due) {
    CannotUse(due.error(), "read");
    return 1;
  }
  std::vector<ShopToRefresh> shops = std::move(*due);
  std::size_t busy = 0;
  if (SharedWalk* shared = opened->Walk(); shared != nullptr && !shops.empty()) {
    std::int32_t lowest = shops.front().shopId, highest = shops.front().shopId;
    for (const ShopToRefresh& shop : shops) {
      lowest = std::min(lowest, shop.shopId);
      highest = std::max(highest, shop.shopId);
    }
    const auto claim = shared->ClaimToRewrite(lowest, highest);
    if (!claim) {
      CannotUse(claim.error(), "claim shop IDs in");
      return 1;
    }
    const std::size_t all = shops.size();
    shops = Claimable(shops, *claim);
    busy = all - shops.size();
  }
  const bool quiet = command.quiet;
  if (shops.empty()) {
    if (!quiet) {
      std::fprintf(stderr, "nothing to refresh: no listed shop was last checked %s ago or more%s\n",
                   FormatDuration(command.olderThan).c_str(),
                   busy != 0 ? " that no walking node holds" : "");
    }
    return 0;
  }
  ChangeStream changes;
  if (std::string reason; !changes.Open(command.out, reason)) {
    std::fprintf(stderr, "shopwalk-cli: cannot write %s: %s\n", TerminalSafe(command.out).c_str(),
                 TerminalSafe(reason).c_str());
    return 1;
  }
  // The shops' history says these changes came from visiting the shops again.
  store.SetChangeSource(ChangeSource::Refresh);

  const RunSettings settings = LoadRunSettings(folders.settingsRead);
  const PageMatchLimits limits = GuardLimits(settings);
  RefreshSink sink(
      store, shops, static_cast<std::size_t>(std::max(limits.window, 0)),
      [&changes, &clock](ShopChangeKind kind, std::int32_t shopId, const ShopRecord* record) {
        changes.Write(ShopChangeLine(kind, shopId, UnixMs(clock.CalendarNow()), record, nullptr));
      });
  std::vector<std::int32_t> ids;
  ids.reserve(shops.size());
  for (const ShopToRefresh& shop : shops) ids.push_back(shop.shopId);
  RefreshList list(std::move(ids));

  WalkView view("", NumberToText(command.threads));
  Collector collector(view);
  collector.SetClock(clock);
  collector.SetPace(command.rate > 0
                        ? std::chrono::milliseconds(std::llround(1000.0 / command.rate))
                        : std::chrono::milliseconds(0));
  collector.SetWorkSource(&list);
  collector.SetEnginePolicy(EnginePolicy::CommandLine(0));
  if (settings.maxAttempts) {
    RetryPolicy policy = collector.Policy();
    policy.maxAttempts = *settings.maxAttempts;
    collector.SetRetryPolicy(policy);
  }
  collector.SetPageMatchLimits(limits);
  collector.SetResultSink(&sink);
  const MarkersFile markers = LoadMarkersFile(folders.settingsRead);
  TellMarkersProblem(markers);
  collector.SetMarkers(markers.inForce.markers);

  const ProgressStyle style = quiet                ? ProgressStyle::Quiet
                              : IsTerminal(stderr) ? ProgressStyle::Terminal
                                                   : ProgressStyle::Log;
  if (style != ProgressStyle::Quiet) {
    std::fprintf(stderr, "refreshing %zu shops last checked %s ago or more, store %s\n",
                 shops.size(), FormatDuration(command.olderThan).c_str(),
                 TerminalSafe(opened->Location()).c_str());
    if (busy != 0) {
      std::fprintf(stderr, "%zu shops held by walking nodes are left for a later refresh\n", busy);
    }
  }
  ProgressDisplay progress(
      style, [&view, &collector] { return view.Figures(collector.Figures()); }, std::nullopt,
      stderr, clock);
  collector.OnWalkEnded([&signals] { signals.Wake(); });
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
  collector.ShutDownForExit(StopTimeout, StopGrace);
  // What the guard could not judge any more is written, unless it held the refresh.
  sink.Finish(held);
  const bool durable = store.Flush(StoreFlushWait);

  const RefreshFigures figures = sink.Figures();
  char counts[400];
  std::snprintf(counts, sizeof counts,
                "; %" PRIu64 " changed, %" PRIu64 " closed, %" PRIu64 " reopened, %" PRIu64
                " unchanged, %" PRIu64 " closed still, %" PRIu64 " without fields, %" PRIu64
                " failed, %" PRIu64 " not trusted",
                figures.changed, figures.closed, figures.reopened, figures.unchanged,
                figures.stillClosed, figures.noFields, figures.failed, figures.untrusted);
  int code = 0;
  std::string ending = "refreshed";
  if (signal == SIGINT) {
    ending = "stopped by SIGINT";
    code = 130;
  } else if (signal == SIGTERM) {
    ending = "stopped by SIGTERM";
    code = 143;
  } else if (held) {
    ending =
        "held: pages no longer match; nothing this refresh could not trust was written "
        "(no shop was closed for a notice that may be reworded)";
    code = PagesDoNotMatchExitCode;
  }
  ending += counts;
  if (!durable) {
    ending += "; the store could not write everything";
    code = 1;
  }
  progress.Finish(ending);
  if (const std::string failure = changes.Close(); !failure.empty()) {
    std::fprintf(stderr, "shopwalk-cli: cannot write %s: %s\n", TerminalSafe(command.out).c_str(),
                 TerminalSafe(failure).c_str());
    if (code == 0) code = 1;
  }
  return code;
}

}  // namespace shopwalk
