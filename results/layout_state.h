// What a database holds as far as a results store's layout goes, the same for a store file and
// a PostgreSQL database: each keeps the version of the layout it was given, and a program opens
// an older layout by upgrading it and refuses a newer or a foreign one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/expected.h"
#include "results/store_problem.h"

namespace shopwalk::results {

enum class LayoutState {
  Empty,    // nothing yet: the layout is still to be created
  Current,  // this program's layout
  Older,    // an earlier layout: it can be upgraded
  Newer,    // written by a newer program: not to be touched
  Foreign,  // something else's
};

// A layout as read from a database.
struct Layout {
  LayoutState state = LayoutState::Empty;
  std::int64_t version = 0;  // as stored (0 when there is none)
};

// How one backend speaks of its layouts.
struct LayoutWords {
  std::int64_t known;        // the layout this program writes
  std::string_view newer;    // "the store was written by a newer version of the program"
  std::string_view foreign;  // why a foreign layout is not a store
  std::string_view noStore;  // why an empty database has nothing to read
};

// The state of a store whose stored layout version is `version`, for a program that writes
// version `known`; a negative version is not one of ours.
LayoutState StateOfVersion(std::int64_t version, std::int64_t known);

// A sentence for the user about a layout that cannot be used ("" for Empty, Current, Older):
// for Newer, `words.newer` followed by the versions ("... (layout 3; this one knows up to 2)"),
// for Foreign `words.foreign`.
std::string DescribeUnusableLayout(const Layout& layout, const LayoutWords& words);

// Whether a store of `layout` at `location` may be opened for walking (an empty one is created, an
// older one upgraded): Corrupt for a foreign layout, Other for a newer one.
Expected<void, StoreProblem> LayoutForWalking(const Layout& layout, const LayoutWords& words,
                                              const std::string& location);

// Whether it may be read as it stands: only this program's layout can be (reading never
// upgrades). Corrupt for an empty or foreign one, Other for an older or newer one.
Expected<void, StoreProblem> LayoutForReading(const Layout& layout, const LayoutWords& words,
                                              const std::string& location);

}  // namespace shopwalk::results
