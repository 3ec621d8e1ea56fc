// How a command-line walk is set up and wound down, apart from its display and its signals: the
// store opened (an interrupted walk goes on from its place), the collector prepared the command
// line's way, and the end that leaves what the walk found durable. shopwalk-cli walk runs these
// in this order; a test program that runs them walks and recovers as the command line does.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "base/clock.h"
#include "cli/command_line.h"
#include "cli/commands.h"
#include "collect/collector.h"
#include "results/pg_store.h"
#include "results/result_store.h"

namespace shopwalk {

// The store a walk writes to, with where its shop IDs come from when they are shared.
struct WalkStore {
  std::shared_ptr<ResultStore> store;
  // A walk shared through PostgreSQL: its store, which also hands out the shop IDs.
  PgStore* shared = nullptr;
  // A node not seen within a lease is taken for gone.
  std::chrono::milliseconds lease{0};
  std::string location;
  // Where the walk starts (the shop-ID field's text before it), its first ID, its last one.
  std::string startAfter;
  std::int32_t first = 0;
  std::optional<std::int32_t> last;
  std::string startFrom;
  // An interrupted walk going on: the shops its run listed after its place, which the walk passes
  // by.
  std::set<std::int32_t> alreadyListed;
};

// Opens the store of `command` (--db: a file, or a PostgreSQL database shared with other nodes;
// none: folders.store) and finds where the walk starts and ends. Without --from an interrupted
// command-line walk goes on: its run is continued, the walk starts after its place, and the shops
// its list holds beyond the place are passed by (not collected and listed a second time). Fills
// `walk` and returns nothing when the walk can go on; otherwise the exit code (with the reason on
// standard error), 0 when nothing is left to walk. Every wait of the store follows `clock`.
std::optional<int> OpenWalkStore(const WalkCommand& command, const Folders& folders,
                                 WalkStore& walk, Clock& clock);

// Sets `collector` up for the walk of `command` in `walk`, as shopwalk-cli does: its clock, the
// pace of --rate, the shared walk's IDs or the last ID, the command line's engine policy, the
// tries of config.ini, the store as its result sink and the shops to pass by. Before Start.
void PrepareCollector(Collector& collector, const WalkCommand& command, const WalkStore& walk,
                      const Folders& folders, Clock& clock);

// Ends the walk: stops dispatching, lets the shops in flight finish for a short grace, ends the
// store's run and waits for the store to write what it was told (less long while its writes
// fail). True when everything the walk reported is durable.
bool FinishWalk(Collector& collector, ResultStore& store);

}  // namespace shopwalk
