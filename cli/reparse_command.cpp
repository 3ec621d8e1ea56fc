// shopwalk-cli reparse: the rows cut again from the pages a walk kept, with the markers in force.
#include <cinttypes>
#include <cstdio>
#include <map>
#include <set>

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

void CannotUse(const StoreProblem& problem, const char* what) {
  std::fprintf(stderr, "shopwalk-cli: cannot %s the store %s: %s\n", what,
               TerminalSafe(problem.path).c_str(), TerminalSafe(problem.reason).c_str());
}

}  // namespace

int RunReparse(const ReparseCommand& command, const Folders& folders) {
  WarnOfPasswordIn(command.db);
  const std::string location = command.db.empty() ? folders.store : command.db;
  if (IsDatabaseUri(location)) {
    // A shared walk's rows are written under the lease of the block that holds them; a re-cut
    // would write outside any lease, beside the nodes.
    std::fputs(
        "shopwalk-cli: reparse works on a store file; a shared walk's kept pages are not cut "
        "again by this command (its nodes write every shop under a lease)\n",
        stderr);
    return 1;
  }
  const MarkersFile markers = LoadMarkersFile(folders.settingsRead);
  if (markers.problem) {
    // Cutting again with the built-in markers would only repeat what the walk found.
    TellMarkersProblem(markers);
    return 1;
  }
  // Opened for walking: no walk writes the store meanwhile.
  Expected<StoreHandle, StoreProblem> opened = OpenStore(location, StoreMode::Walking);
  if (!opened) {
    CannotUse(opened.error(), "open");
    return 1;
  }
  ResultStore& store = *opened->Store();
  const ShopIdRange range{command.from.value_or(0),
                          command.to.value_or(std::numeric_limits<std::int32_t>::max())};
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
  const auto interrupted = store.Interrupted(RunKind::CommandLine);
  const auto lastPlace = store.LastPlace(RunKind::CommandLine);
  if (!interrupted || !lastPlace) {
    CannotUse(!interrupted ? interrupted.error() : lastPlace.error(), "read");
    return 1;
  }
  std::optional<std::int32_t> place;
  if (!interrupted->has_value() && lastPlace->has_value()) {
    // Only a place that is a shop ID as the walk writes it (a place of another form stays).
    const std::int32_t id = TextToInt(**lastPlace);
    if (id >= 0 && NumberToText(id) == **lastPlace) place = id;
  }
  std::set<std::int32_t> marked;
  for (const std::int32_t id : store.ShopsToRevisit()) marked.insert(id);
  for (const FailedShop& failed : store.FailedShops()) marked.insert(failed.shopId);

  const Expected<ReparseFigures, StoreProblem> figures =
      ReparseKeptPages(store, stored, marked, store, markers.inForce.markers, range, place);
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
