// Settings of a run that a user may set in config.ini beside the walk's place (section Mivu).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace shopwalk {

// The key of the number of tries of a shop before it is failed for good (1 to 1000).
inline constexpr std::string_view MaxAttemptsKey = "Max_Attempts";
inline constexpr int MaxAttemptsLimit = 1000;

struct RunSettings {
  // Empty when the file does not set it; the engine's default then holds.
  std::optional<int> maxAttempts;
  // A Max_Attempts value the file sets that is no number from 1 to 1000, as written (GBK); it is
  // ignored. Empty when there is none.
  std::string invalidMaxAttempts;
};

// The run settings of config.ini in `directory`; the file is only read.
RunSettings LoadRunSettings(std::string_view directory);

}  // namespace shopwalk
