#include "cli/walk_store.h"

#include <cstdio>
#include <limits>
#include <utility>

#include "base/terminal_text.h"
#include "cli/command_line.h"
#include "collect/text.h"
#include "results/store.h"
#include "store/progress_store.h"

namespace shopwalk {
namespace {

// Where the walk starts (the text of the shop-ID field before it): --from, or after the place of
// the last command-line walk, or after config.ini's Now_ID, or after the default.
std::string StartPlace(const WalkCommand& command, const std::optional<std::string>& lastPlace,
                       const Folders& folders, std::string& from) {
  if (command.from) {
    from = "--from";
    return NumberToText(static_cast<std::int32_t>(*command.from - 1));
  }
  if (lastPlace && IsShopIdText(*lastPlace)) {
    from = "the last walk's place";
    return *lastPlace;
  }
  if (const std::string saved = LoadProgress(folders.settingsRead); IsShopIdText(saved)) {
    from = "config.ini";
    return saved;
  }
  from = "the default";
  return std::string(DefaultStartShopId);
}

// Says on standard error that the store cannot be used, and gives the exit code for it.
int CannotUse(const StoreProblem& problem) {
  std::fprintf(stderr, "shopwalk-cli: cannot use the store %s: %s\n",
               TerminalSafe(problem.path).c_str(), TerminalSafe(problem.reason).c_str());
  return 1;
}

// Finds where a walk of one machine starts and ends in the store it opened. Returns the exit code
// when the walk cannot go on.
std::optional<int> GoOnOwnWalk(const WalkCommand& command, const Folders& folders,
                               const StoreHandle& opened, WalkStore& walk) {
  walk.location = opened.Location();
  walk.store = opened.Store();
  RunJournal& journal = opened.Journal();
  // An interrupted command-line walk goes on: its place is where it stood. A store that cannot
  // be read is not walked: a walk would start over and list its shops a second time.
  const auto interrupted = journal.Interrupted(RunKind::CommandLine);
  if (!interrupted) return CannotUse(interrupted.error());
  const auto lastPlace = journal.LastPlace(RunKind::CommandLine);
  if (!lastPlace) return CannotUse(lastPlace.error());
  walk.startAfter = StartPlace(command, *lastPlace, folders, walk.startFrom);
  const std::int32_t place = TextToInt(walk.startAfter);
  if (place == std::numeric_limits<std::int32_t>::max()) {
    // The walk went up to the largest shop ID: there is no next one.
    std::fprintf(stderr,
                 "shopwalk-cli: the walk has reached the largest shop ID, %d (place from %s); "
                 "nothing is left to walk (--from starts another walk)\n",
                 place, walk.startFrom.c_str());
    return 0;
  }
  walk.first = place + 1;
  if (command.to) walk.last = *command.to;
  if (command.count) {
    const std::int64_t end = std::int64_t{walk.first} + *command.count - 1;
    walk.last = static_cast<std::int32_t>(
        std::min<std::int64_t>(end, std::numeric_limits<std::int32_t>::max()));
  }
  if (walk.last && *walk.last < walk.first) {
    std::fprintf(stderr, "shopwalk-cli: --to %d is below the first shop ID %d (from %s)\n",
                 *walk.last, walk.first, walk.startFrom.c_str());
    return UsageErrorExitCode;
  }
  if (const std::optional<InterruptedRun>& run = *interrupted; run && !command.from) {
    // Shops the run answered after its place have their rows in its list already: the walk
    // passes them by instead of collecting and listing them again.
    for (const ShopRecord& record : run->rows) {
      if (record.shopId > place) walk.alreadyListed.insert(record.shopId);
    }
    journal.ContinueRun(run->runId);
    walk.continuedRun = run->runId;
  } else {
    journal.BeginRun(RunKind::CommandLine, walk.startAfter);
  }
  return std::nullopt;
}

// Takes the start and end of the shared walk the store joined (or began).
std::optional<int> GoOnSharedWalk(const StoreHandle& opened, WalkStore& walk) {
  walk.location = opened.Location();
  walk.shared = opened.Walk();
  const JoinedSharedWalk& joined = walk.shared->Joined();
  walk.lease = joined.lease;
  walk.store = opened.Store();
  walk.first = static_cast<std::int32_t>(joined.firstId);
  walk.startAfter = NumberToText(static_cast<std::int32_t>(joined.firstId - 1));
  if (joined.endId) walk.last = static_cast<std::int32_t>(*joined.endId);
  walk.startFrom = joined.created ? "a new shared walk" : "the shared walk it joined";
  if (joined.fromIgnored) {
    std::fprintf(stderr,
                 "shopwalk-cli: the shared walk started at %d already; --from is not used\n",
                 walk.first);
  }
  walk.store->BeginRun(RunKind::CommandLine, walk.startAfter);
  return std::nullopt;
}

}  // namespace

std::optional<int> OpenWalkStore(const WalkCommand& command, const Folders& folders,
                                 WalkStore& walk, Clock& clock) {
  // What a walk shared through a database asks of it (a file store has no use for it).
  StoreOptions options;
  if (command.from) options.from = *command.from;
  if (command.to) options.to = *command.to;
  if (command.count) options.count = *command.count;
  // A walk begun without --from and without a walk before starts after config.ini's place.
  const std::string saved = LoadProgress(folders.settingsRead);
  options.defaultFirst =
      std::int64_t{TextToInt(IsShopIdText(saved) ? saved : std::string(DefaultStartShopId))} + 1;
  if (command.blockSize) options.blockSize = *command.blockSize;
  if (command.leaseMs) options.lease = std::chrono::milliseconds(*command.leaseMs);
  if (command.renewMs) options.renewEvery = std::chrono::milliseconds(*command.renewMs);
  options.pacedRate = command.rate;
  const std::string location = command.db.empty() ? folders.store : command.db;
  Expected<StoreHandle, StoreProblem> opened =
      OpenStore(location, StoreMode::Walking, options, clock);
  if (!opened) return CannotUse(opened.error());
  return opened->Walk() != nullptr ? GoOnSharedWalk(*opened, walk)
                                   : GoOnOwnWalk(command, folders, *opened, walk);
}

}  // namespace shopwalk
