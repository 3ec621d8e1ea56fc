// The layout of a results store in a PostgreSQL database: its tables in the schema "shopwalk",
// and the version table that says which layout the database has, so that a newer program
// upgrades an older layout in place. The program creates and upgrades the layout itself; nobody
// runs SQL by hand.
//
// Several programs may open the same database at once: creating and upgrading take a
// transaction-wide advisory lock, so exactly one of them does it and the others find it done.
#pragma once

#include <cstdint>
#include <string>

#include "base/expected.h"
#include "results/layout_state.h"
#include "results/pg/pg.h"

namespace shopwalk::results {

// The layout this program writes: 1 holds the results (shops, answers, failed shops, runs),
// 2 adds the shared walk (walks, blocks and their leases, nodes, leases on failed shops), 3 adds
// kept pages, shops marked to revisit and why a node stopped.
inline constexpr std::int64_t PgSchemaVersion = 4;

// How a PostgreSQL database speaks of its layouts.
inline constexpr LayoutWords PgLayoutWords{
    PgSchemaVersion, "the database was set up by a newer version of the program",
    "the database has a schema \"shopwalk\" that is not a results store",
    "the database holds no results store"};

// Reads which layout the database has.
Expected<Layout, pg::Status> InspectPgSchema(pg::Connection& connection);

// Creates the layout, or upgrades an older one, up to `target` (tests make older layouts with a
// lower one), in one transaction: a failure leaves the database as it was. A layout at or past
// `target` is left alone; a foreign or newer one fails (SQLSTATE "SW001", with
// the words of DescribeUnusableLayout).
pg::Status CreateOrUpgradePgSchema(pg::Connection& connection,
                                   std::int64_t target = PgSchemaVersion);

// The SQLSTATE of a layout that cannot be used (a class of our own, outside PostgreSQL's).
inline constexpr const char* UnusableSchemaState = "SW001";

}  // namespace shopwalk::results
