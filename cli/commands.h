// What shopwalk-cli's subcommands do. Each returns the program's exit code.
#pragma once

#include <string>

#include "base/clock.h"
#include "cli/command_line.h"
#include "store/markers_file.h"

namespace shopwalk {

// Where the programs keep their files, as the folder rules give them for this run.
struct Folders {
  std::string settings;      // config.ini is written here
  std::string settingsRead;  // config.ini is read from here
  std::string store;         // the default results store (a file)
};

// Walks: 0 when the walk reached its end (also when the place is the largest shop ID already, so
// nothing is left to walk), 130 after SIGINT, 143 after SIGTERM, 1 when the store or the output
// cannot be used, also when the store could not write everything the walk found (however the walk
// ended; how many rows and their shop IDs are named on standard error), 2 for a place that makes
// no walk (--to below the start) and for a SHOPWALK_CONNECT_TO that is not HOST:PORT.
// Every wait of the walk (the engine's, the store's, the progress display's) follows `clock`.
int RunWalk(const WalkCommand& command, const Folders& folders, Clock& clock = RealClock());
// Exports every row, or the shops new, changed or closed since WHEN (durations back from now on
// `clock`), or the history of changes as JSON Lines (--history), or the kept pages: 0, 1 when the
// store cannot be read or the output written, 2 for a WHEN that names no time.
int RunExport(const ExportCommand& command, const Folders& folders, Clock& clock = RealClock());
int RunStatus(const StatusCommand& command, const Folders& folders);
// Cuts the rows again from the kept pages with markers.ini's markers (the built-in ones without
// it) and writes the rows that are new or changed: 0, or 1 when markers.ini has a problem, the
// store cannot be opened, read or written. On a shared walk it writes as a node under leases of
// its own, and skips (naming them) the IDs walking nodes hold.
int RunReparse(const ReparseCommand& command, const Folders& folders);
// Visits the listed shops last checked at least --older-than ago again (the longest unchecked
// first, at most --count), under the page-match guard, recording what changed as made by a
// refresh: a shop that now says "no such shop" is closed, a closed one that answers is open again.
// 0 when done (also with nothing to refresh), 1 when the store or the output cannot be used or the
// store could not write everything, 4 when the pages no longer match the markers (nothing the
// guard could not trust is written), 130 after SIGINT, 143 after SIGTERM. On a shared walk it
// writes as a node under leases of its own and leaves the shops walking nodes hold.
int RunRefresh(const RefreshCommand& command, const Folders& folders, Clock& clock = RealClock());
// Prints the markers in force (show) or what they cut from saved pages (try), every text made
// safe for the terminal: 0, or 1 when markers.ini has a problem (the built-in markers are shown
// then) or a page cannot be read.
int RunMarkers(const MarkersCommand& command, const Folders& folders);
// Says on standard error why markers.ini was not taken (nothing when it was, or is missing).
void TellMarkersProblem(const MarkersFile& file);

// When --db is a PostgreSQL database whose URI holds a password, says in one line on standard
// error that others can read it there and what to use instead.
void WarnOfPasswordIn(const std::string& db);

}  // namespace shopwalk
