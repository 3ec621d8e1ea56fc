// Where a command-line walk keeps what it finds and where it starts: the store it opens (a
// SQLite file, or a walk shared through PostgreSQL), the interrupted walk it goes on with, and the
// start and end of the walk. The walk command and the tests that kill walks use the same code.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "base/clock.h"
#include "cli/commands.h"
#include "results/result_store.h"

namespace shopwalk {

// The store a walk writes to, with where its shop IDs come from when they are shared.
struct WalkStore {
  std::shared_ptr<ResultStore> store;
  // A walk shared through a database: the store's shared walk, which also hands out the shop IDs.
  SharedWalk* shared = nullptr;
  // A node not seen within a lease is taken for gone.
  std::chrono::milliseconds lease{0};
  std::string location;
  // Where the walk starts (the shop-ID field's text before it), its first ID, its last one.
  std::string startAfter;
  std::int32_t first = 0;
  std::optional<std::int32_t> last;
  // Where the start came from, in words ("--from", "the last walk's place", ...).
  std::string startFrom;
  // The interrupted command-line walk this one goes on with (its run continued), if any, and the
  // shops its run listed after its place, which the walk passes by.
  std::optional<std::int64_t> continuedRun;
  std::set<std::int32_t> alreadyListed;
};

// Opens the store of the walk `command` asks for (the PostgreSQL database of --db, else the file
// of --db or the default store), its waits on `clock`, and makes `walk` say where the walk starts
// and ends. A walk of one machine goes on with the interrupted command-line walk when there is
// one and --from is not given (its place is where it stood, and the shops its list holds beyond
// the place are passed by, not collected and listed a second time); otherwise it starts after
// --from, the last walk's place, config.ini's place or the default, and begins a run. A shared walk
// joins the walk in the database or begins one. The exit code, said on standard error, when the
// walk cannot go on.
std::optional<int> OpenWalkStore(const WalkCommand& command, const Folders& folders,
                                 WalkStore& walk, Clock& clock = RealClock());

}  // namespace shopwalk
