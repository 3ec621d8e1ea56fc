#include "cli/walk_store.h"

#include <cstdio>
#include <limits>
#include <utility>

#include "base/terminal_text.h"
#include "cli/command_line.h"
#include "collect/text.h"
#include "results/pg_store.h"
#include "results/sqlite_store.h"
#include "store/progress_store.h"

namespace shopwalk {
namespace {

// Where the walk starts (the text of the shop-ID field before it): --from, or after the place of
// the last command-line walk, or after config.ini's Now_ID, or after the default.
std::string StartPlace(const WalkCommand& command, ResultStore& store, const Folders& folders,
                       std::string& from) {
  if (command.from) {
    from = "--from";
    return NumberToText(static_cast<std::int32_t>(*command.from - 1));
  }
  if (auto place = store.LastPlace(RunKind::CommandLine); place && IsShopIdText(*place)) {
    from = "the last walk's place";
    return *place;
  }
  if (const std::string saved = LoadProgress(folders.settingsRead); IsShopIdText(saved)) {
    from = "config.ini";
    return saved;
  }
  from = "the default";
  return std::string(DefaultStartShopId);
}

// Opens the store a walk of one machine writes to, and finds where the walk starts and ends.
// Returns the exit code when the walk cannot go on.
std::optional<int> OpenOwnStore(const WalkCommand& command, const Folders& folders, WalkStore& walk,
                                Clock& clock) {
  walk.location = command.db.empty() ? folders.store : command.db;
  SqliteStore::Opening opened = SqliteStore::OpenForWalking(walk.location, clock);
  if (!opened) {
    std::fprintf(stderr, "shopwalk-cli: cannot use the store %s: %s\n",
                 TerminalSafe(opened.problem.path).c_str(),
                 TerminalSafe(opened.problem.reason).c_str());
    return 1;
  }
  walk.store = std::move(opened.store);
  ResultStore& store = *walk.store;
  // An interrupted command-line walk goes on: its place is where it stood.
  const std::optional<InterruptedRun> interrupted = store.Interrupted(RunKind::CommandLine);
  walk.startAfter = StartPlace(command, store, folders, walk.startFrom);
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
  if (interrupted && !command.from) {
    // Shops the run answered after its place have their rows in its list already: the walk
    // passes them by instead of collecting and listing them again.
    for (const ShopRecord& record : interrupted->rows) {
      if (record.shopId > place) walk.alreadyListed.insert(record.shopId);
    }
    store.ContinueRun(interrupted->runId);
    walk.continuedRun = interrupted->runId;
  } else {
    store.BeginRun(RunKind::CommandLine, walk.startAfter);
  }
  return std::nullopt;
}

// Joins (or begins) the walk shared through the PostgreSQL database of --db.
std::optional<int> OpenSharedStore(const WalkCommand& command, const Folders& folders,
                                   WalkStore& walk, Clock& clock) {
  results::WalkRequest request;
  if (command.from) request.from = *command.from;
  if (command.to) request.to = *command.to;
  if (command.count) request.count = *command.count;
  // A walk begun without --from and without a walk before starts after config.ini's place.
  const std::string saved = LoadProgress(folders.settingsRead);
  request.defaultFirst =
      std::int64_t{TextToInt(IsShopIdText(saved) ? saved : std::string(DefaultStartShopId))} + 1;
  PgStoreSettings settings;
  if (command.blockSize) request.blockSize = settings.blockSize = *command.blockSize;
  if (command.leaseMs) settings.lease = std::chrono::milliseconds(*command.leaseMs);
  if (command.renewMs) settings.renewEvery = std::chrono::milliseconds(*command.renewMs);
  settings.pacedRate = command.rate;
  PgStore::Opening opened = PgStore::OpenForWalking(command.db, request, settings, clock);
  if (!opened) {
    std::fprintf(stderr, "shopwalk-cli: cannot use the store %s: %s\n",
                 TerminalSafe(opened.problem.path).c_str(),
                 TerminalSafe(opened.problem.reason).c_str());
    return 1;
  }
  walk.location = opened.store->Location();
  walk.shared = opened.store.get();
  walk.lease = settings.lease;
  const results::JoinedWalk& joined = opened.store->Walk();
  walk.store = std::move(opened.store);
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
  return IsDatabaseUri(command.db) ? OpenSharedStore(command, folders, walk, clock)
                                   : OpenOwnStore(command, folders, walk, clock);
}

}  // namespace shopwalk
