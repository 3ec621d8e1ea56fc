// What a database holds as far as a results store's layout goes, the same for a store file and
// a PostgreSQL database: each keeps the version of the layout it was given, and a program opens
// an older layout by upgrading it and refuses a newer or a foreign one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace shopwalk::results {

enum class LayoutState {
  Empty,    // nothing yet: the layout is still to be created
  Current,  // this program's layout
  Older,    // an earlier layout: it can be upgraded
  Newer,    // written by a newer program: not to be touched
  Foreign,  // something else's
};

// The state of a store whose stored layout version is `version`, for a program that writes
// version `known`; a negative version is not one of ours.
LayoutState StateOfVersion(std::int64_t version, std::int64_t known);

// A sentence for the user about a state that cannot be used ("" for Empty, Current, Older):
// for Newer, `newer` followed by the versions ("the store was written by a newer version of the
// program (layout 3; this one knows up to 2)"), for Foreign `foreign` as it stands.
std::string DescribeUnusableLayout(LayoutState state, std::int64_t version, std::int64_t known,
                                   std::string_view newer, std::string_view foreign);

}  // namespace shopwalk::results
