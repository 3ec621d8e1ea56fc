// The layout of a results store file: its tables, the mark that tells our files from others, and
// the version that says which layout a file has, so that a newer program can upgrade an older
// file in place.
#pragma once

#include <cstdint>
#include <string>

#include "base/expected.h"
#include "results/layout_state.h"
#include "results/sqlite/sqlite.h"

namespace shopwalk::results {

// Stored as the file's application ID ("SWRS"): a file with another mark is not a store.
inline constexpr std::int64_t StoreApplicationId = 0x53575253;
// The layout this program writes, stored as the file's user version: 1 holds the results (shops,
// answers, failed shops, runs), 2 adds kept pages and shops marked to revisit.
inline constexpr std::int64_t StoreSchemaVersion = 3;

// How the store file speaks of its layouts.
inline constexpr LayoutWords StoreLayoutWords{
    StoreSchemaVersion, "the store was written by a newer version of the program",
    "the file is a database, but not a results store", "the file holds no results store"};

// Reads the file's marks. A file that is not a database fails with SQLITE_NOTADB.
Expected<Layout, sqlite::Status> InspectSchema(sqlite::Connection& connection);

// Creates the layout in an empty database or upgrades an older one, in one transaction (a failure
// leaves the file as it was). `layout` is what InspectSchema said, read in the same transaction.
sqlite::Status CreateOrUpgradeSchema(sqlite::Connection& connection, const Layout& layout);

}  // namespace shopwalk::results
