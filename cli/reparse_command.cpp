// shopwalk-cli reparse: the rows cut again from the pages a walk kept, with the markers in force.
#include <cinttypes>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "base/terminal_text.h"
#include "cli/commands.h"
#include "cli/kept_page_work.h"
#include "collect/text.h"
#include "results/page_keeper.h"
#include "results/store.h"
#include "store/markers_file.h"

namespace shopwalk {
namespace {

// How long the end waits for the store to write the rows (as a walk's end does).
constexpr std::chrono::seconds StoreFlushWait{30};
// Ranges held by walking nodes named one by one; the rest are counted.
constexpr std::size_t MaxBusyRangesTold = 20;

void CannotUse(const StoreProblem& problem, const char* what) {
  std::fprintf(stderr, "shopwalk-cli: cannot %s the store %s: %s\n", what,
               TerminalSafe(problem.path).c_str(), TerminalSafe(problem.reason).c_str());
}

}  // namespace

int RunReparse(const ReparseCommand& command, const Folders& folders) {
  WarnOfPasswordIn(command.db);
  const std::string location = command.db.empty() ? folders.store : command.db;
  const MarkersFile markers = LoadMarkersFile(folders.settingsRead);
  if (markers.problem) {
    // Cutting again with the built-in markers would only repeat what the walk found.
    TellMarkersProblem(markers);
    return 1;
  }
  // A file opened for walking: no walk writes it meanwhile. A shared walk's store: a node beside
  // the walking ones, writing only the IDs it holds under leases of its own.
  Expected<StoreHandle, StoreProblem> opened = OpenStore(location, StoreMode::Rewriting);
  if (!opened) {
    CannotUse(opened.error(), "open");
    return 1;
  }
  ResultStore& store = *opened->Store();
  // The shops' history says these changes came from their kept pages, not from the marketplace.
  store.SetChangeSource(ChangeSource::Reparse);
  SharedWalk* const shared = opened->Walk();
  const ShopIdRange range{command.from.value_or(0),
                          command.to.value_or(std::numeric_limits<std::int32_t>::max())};
  // The ranges cut again: the whole range in a file; in a shared walk, what the node holds.
  std::vector<ShopIdRange> ranges{range};
  std::uint64_t busyIds = 0;
  if (shared) {
    const auto claim = shared->ClaimToRewrite(range.from, range.to);
    if (!claim) {
      CannotUse(claim.error(), "claim shop IDs in");
      return 1;
    }
    ranges.clear();
    for (const SharedWalk::IdRange& held : claim->held) ranges.push_back({held.first, held.last});
    std::size_t told = 0;
    for (const SharedWalk::IdRange& busy : claim->busy) {
      busyIds += static_cast<std::uint64_t>(std::int64_t{busy.last} - busy.first + 1);
      if (told++ < MaxBusyRangesTold) {
        std::fprintf(stderr,
                     "shopwalk-cli: shop IDs %" PRId32 " to %" PRId32
                     " are held by a walking node: skipped, not cut again (that node writes "
                     "them; reparse them once it is done with them)\n",
                     busy.first, busy.last);
      }
    }
    if (told > MaxBusyRangesTold) {
      std::fprintf(stderr, "shopwalk-cli: and %zu more ranges held by walking nodes\n",
                   told - MaxBusyRangesTold);
    }
  }
  std::map<std::int32_t, ShopRecord> stored;
  const Expected<void, StoreProblem> rows = store.ForEachRow([&](const ShopRecord& record) {
    if (record.shopId >= range.from && record.shopId <= range.to) {
      stored.emplace(record.shopId, record);
    }
  });
  if (!rows) {
    CannotUse(rows.error(), "read");
    return 1;
  }
  // The command-line walk's place, when its last run ended: the kept pages may answer the IDs
  // after it, and the next walk then goes on after them instead of asking them again. (An
  // interrupted run keeps its place: the next walk continues it.)
  // (A shared walk's place is where its blocks stand: its nodes move it.)
  const auto interrupted = store.Interrupted(RunKind::CommandLine);
  const auto lastPlace = store.LastPlace(RunKind::CommandLine);
  if (!interrupted || !lastPlace) {
    CannotUse(!interrupted ? interrupted.error() : lastPlace.error(), "read");
    return 1;
  }
  std::optional<std::int32_t> place;
  if (!shared && !interrupted->has_value() && lastPlace->has_value()) {
    // Only a place that is a shop ID as the walk writes it (a place of another form stays).
    const std::int32_t id = TextToInt(**lastPlace);
    if (id >= 0 && NumberToText(id) == **lastPlace) place = id;
  }
  std::set<std::int32_t> marked;
  for (const std::int32_t id : store.ShopsToRevisit()) marked.insert(id);
  for (const FailedShop& failed : store.FailedShops()) marked.insert(failed.shopId);
  if (shared) {
    // A shared walk's marked and failed shops are on its failed list, not handed to the engine.
    const auto failed = store.ReadFailedShops();
    if (!failed) {
      CannotUse(failed.error(), "read");
      return 1;
    }
    for (const FailedShop& shop : *failed) marked.insert(shop.shopId);
  }

  Expected<ReparseFigures, StoreProblem> figures = ReparseFigures{};
  for (const ShopIdRange& part : ranges) {
    const Expected<ReparseFigures, StoreProblem> cut =
        ReparseKeptPages(store, stored, marked, store, markers.inForce.markers, part, place);
    if (!cut) {
      figures = MakeUnexpected(cut.error());
      break;
    }
    figures->added += cut->added;
    figures->changed += cut->changed;
    figures->unchanged += cut->unchanged;
    figures->withoutRow += cut->withoutRow;
    figures->toRevisit += cut->toRevisit;
    figures->unreadable += cut->unreadable;
    figures->dealtThrough = cut->dealtThrough;
  }
  if (figures && figures->dealtThrough) {
    // Recorded as a run of the command line from the old place to the new one.
    store.BeginRun(RunKind::CommandLine, **lastPlace);
    store.PlaceMoved(NumberToText(*figures->dealtThrough));
    store.EndRun(true);
  }
  const bool durable = store.Flush(StoreFlushWait);
  if (!figures) {
    CannotUse(figures.error(), "read the kept pages of");
    return 1;
  }
  std::printf("rows added     %" PRIu64 "\n", figures->added);
  std::printf("rows changed   %" PRIu64 "\n", figures->changed);
  std::printf("rows unchanged %" PRIu64 "\n", figures->unchanged);
  std::printf("without a row  %" PRIu64 "\n", figures->withoutRow);
  std::printf("to revisit     %" PRIu64 "\n", figures->toRevisit);
  if (shared) std::printf("held by nodes  %" PRIu64 " (skipped)\n", busyIds);
  if (figures->dealtThrough) {
    std::printf("place          %" PRId32 " (the next walk goes on after it)\n",
                *figures->dealtThrough);
  }
  if (figures->unreadable != 0) {
    std::fprintf(stderr, "shopwalk-cli: %" PRIu64 " kept pages could not be unpacked\n",
                 figures->unreadable);
  }
  if (!durable) {
    const StoreBacklog backlog = store.Backlog();
    std::fprintf(
        stderr, "shopwalk-cli: the store %s could not write everything: %s\n",
        TerminalSafe(opened->Location()).c_str(),
        backlog.problem ? TerminalSafe(backlog.problem->reason).c_str() : "it took too long");
    return 1;
  }
  return figures->unreadable != 0 ? 1 : 0;
}

}  // namespace shopwalk
