// Settings of a run that a user may set in config.ini beside the walk's place (section Mivu).
#pragma once

#include <optional>

#include <string>
#include <string_view>
#include "collect/page_match_guard.h"

namespace shopwalk {

// The key of the number of tries of a shop before it is failed for good (1 to 1000).
inline constexpr std::string_view MaxAttemptsKey = "Max_Attempts";
inline constexpr int MaxAttemptsLimit = 1000;

// The page-match guard's keys (collect/page_match_guard.h): the window in answered home pages
// (0 to 100000, 0 switches the guard off), and the rises in percentage points (1 to 100) by which
// a share of pages that do not match must exceed the share seen before: home and rating pages
// without fields, and the "no such shop" notice on pages of shops known to exist.
inline constexpr std::string_view GuardWindowKey = "Guard_Window";
inline constexpr std::string_view GuardRiseKey = "Guard_Rise";
inline constexpr std::string_view GuardNoticeRiseKey = "Guard_Notice_Rise";
inline constexpr int GuardWindowLimit = 100000;

struct RunSettings {
  // The guard's values the file sets; empty when unset or out of range (the engine's default
  // then holds).
  std::optional<int> guardWindow;
  std::optional<int> guardRisePercent;
  std::optional<int> guardNoticeRisePercent;
  // Empty when the file does not set it; the engine's default then holds.
  std::optional<int> maxAttempts;
  // A Max_Attempts value the file sets that is no number from 1 to 1000, as written (GBK); it is
  // ignored. Empty when there is none.
  std::string invalidMaxAttempts;
};

// The run settings of config.ini in `directory`; the file is only read.
RunSettings LoadRunSettings(std::string_view directory);

// `limits` with the guard's values `settings` sets.
PageMatchLimits GuardLimits(const RunSettings& settings, PageMatchLimits limits = {});

}  // namespace shopwalk
