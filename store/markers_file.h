// markers.ini in the settings folder: the markers a user set for pages that changed. Both
// programs load it before a walk; a missing file leaves the built-in markers in force, and so
// does a file that cannot be read or taken (its problem then says why, naming the line).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "collect/markers.h"

namespace shopwalk {

inline constexpr std::string_view MarkersFileName = "markers.ini";

struct MarkersFile {
  std::string path;  // where markers.ini was looked for
  bool found = false;
  // The markers in force: the file's over the built-in ones, or the built-in ones alone when it
  // is missing or has a problem.
  MarkersInForce inForce;
  std::optional<MarkersProblem> problem;
};

// Loads markers.ini from `directory` (the folder config.ini is read from). Reads at most
// MaxMarkersFileBytes and one byte more (a longer file is a problem, never read whole).
MarkersFile LoadMarkersFile(std::string_view directory);

}  // namespace shopwalk
