// The layout of a results store file: its tables, the mark that tells our files from others, and
// the version that says which layout a file has, so that a newer program can upgrade an older
// file in place.
#pragma once

#include <cstdint>
#include <string>

#include "results/layout_state.h"
#include "results/sqlite/sqlite.h"

namespace shopwalk::results {

// Stored as the file's application ID ("SWRS"): a file with another mark is not a store.
inline constexpr std::int64_t StoreApplicationId = 0x53575253;
// The layout this program writes, stored as the file's user version.
inline constexpr std::int64_t StoreSchemaVersion = 1;

// What a file holds, as far as the layout goes.
using SchemaState = LayoutState;

// Reads the file's marks. A file that is not a database fails with SQLITE_NOTADB.
sqlite::Status InspectSchema(sqlite::Connection& connection, SchemaState& state,
                             std::int64_t& version);

// Creates the layout in an empty database or upgrades an older one, in one transaction (a failure
// leaves the file as it was). `state` is what InspectSchema said, read in the same transaction.
sqlite::Status CreateOrUpgradeSchema(sqlite::Connection& connection, SchemaState state,
                                     std::int64_t version);

// A sentence for the user about a state that cannot be opened ("" for Empty, Current, Older).
std::string DescribeUnusableSchema(SchemaState state, std::int64_t version);

}  // namespace shopwalk::results
