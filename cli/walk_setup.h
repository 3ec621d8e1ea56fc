// How a command-line walk is set up and wound down, apart from its display and its signals: after
// the store is opened (cli/walk_store.h), the collector prepared the command line's way, and the
// end that leaves what the walk found durable. shopwalk-cli walk runs these in this order; a test
// program that runs them walks and recovers as the command line does.
#pragma once

#include <memory>
#include <string>

#include "base/clock.h"
#include "base/expected.h"
#include "cli/commands.h"
#include "cli/walk_store.h"
#include "collect/collector.h"
#include "results/page_keeper.h"
#include "results/result_store.h"

namespace shopwalk {

// Sets `collector` up for the walk of `command` in `walk`, as shopwalk-cli does: its clock, the
// pace of --rate, the shared walk's IDs or the last ID, the command line's engine policy, the
// tries of config.ini, the store as its result sink and the shops to pass by. Before Start.
void PrepareCollector(Collector& collector, const WalkCommand& command, const WalkStore& walk,
                      const Folders& folders, Clock& clock);

// The keeper of the walk's answered pages when it keeps them (--keep-pages, --keep-pages-mb, or
// config.ini's Keep_Pages=1), over `store`'s kept pages with their budget set, and set as
// `collector`'s page sink; nothing when the walk keeps none. Why not, in words, when the store
// cannot give the run a dictionary id. Before Start.
Expected<std::unique_ptr<PageKeeper>, std::string> KeepPages(Collector& collector,
                                                             const WalkCommand& command,
                                                             ResultStore& store,
                                                             const Folders& folders);

// Ends the walk: stops dispatching, lets the shops in flight finish for a short grace, keeps the
// pages `keeper` still gathers, ends the store's run and waits for the store to write what it was
// told (less long while its writes fail). True when everything the walk reported is durable.
bool FinishWalk(Collector& collector, ResultStore& store, PageKeeper* keeper = nullptr);

}  // namespace shopwalk
