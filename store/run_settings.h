// Settings of a run that a user may set in config.ini beside the walk's place (section Mivu).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/expected.h"
#include "collect/page_match_guard.h"
#include "net/proxy_setting.h"

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

// Whether a walk keeps every answered page in the store (1) or not (0, the default), for both
// programs, and the most the kept pages may take packed, in MB (1 to 1000000; past it the oldest
// are dropped). The command line's --keep-pages and --keep-pages-mb go before them.
inline constexpr std::string_view KeepPagesKey = "Keep_Pages";
inline constexpr std::string_view KeepPagesMbKey = "Keep_Pages_MB";
inline constexpr int KeepPagesMbLimit = 1000000;
// The kept pages' budget when none is given: 1 GiB, which holds some hundred thousand pages of
// 64 KiB (about ten thousand packed bytes each) and millions of small ones.
inline constexpr std::uint64_t DefaultKeepPagesMb = 1024;

// The proxy every request goes through (a proxy URL, or "none" for straight to the marketplace;
// net/proxy_setting.h) and the User-Agent text requests name, for both programs. The command
// line's --proxy and --user-agent go before them; without either, the standard proxy variables
// and the built-in agent text hold.
inline constexpr std::string_view ProxyKey = "Proxy";
inline constexpr std::string_view UserAgentKey = "User_Agent";

struct RunSettings {
  // The guard's values the file sets; empty when unset or out of range (the engine's default
  // then holds).
  std::optional<int> guardWindow;
  std::optional<int> guardRisePercent;
  std::optional<int> guardNoticeRisePercent;
  // Keep_Pages=1; anything else keeps none.
  bool keepPages = false;
  // Keep_Pages_MB when it is a number in range; empty otherwise (the default then holds).
  std::optional<int> keepPagesMb;
  // Empty when the file does not set it; the engine's default then holds.
  std::optional<int> maxAttempts;
  // A Max_Attempts value the file sets that is no number from 1 to 1000, as written (GBK); it is
  // ignored. Empty when there is none.
  std::string invalidMaxAttempts;
  // Proxy and User_Agent as written (within ConfigValueLimit); empty when unset or empty.
  std::string proxy;
  std::string userAgent;
};

// The run settings of config.ini in `directory`; the file is only read.
RunSettings LoadRunSettings(std::string_view directory);

// Why a setting cannot be taken, in words that name where it came from.
struct SettingRefused {
  std::string reason;
};

// The proxies of a run: `given` (the command line's), else `settings`' Proxy, else the standard
// variables through `lookup`. Why not, in words that name where the bad value came from
// ("--proxy", "config.ini's Proxy", or the variable), when that one holds no proxy setting.
Expected<ProxySetting, SettingRefused> ChooseProxy(const std::optional<std::string>& given,
                                                   const RunSettings& settings,
                                                   const EnvironmentLookup& lookup);

// The User-Agent of a run: `given` (the command line's), else `settings`' User_Agent, else the
// built-in text. Why not, naming where it came from, when that one cannot be an agent text
// (UserAgentProblem).
Expected<std::string, SettingRefused> ChooseUserAgent(const std::optional<std::string>& given,
                                                      const RunSettings& settings);

// `limits` with the guard's values `settings` sets.
PageMatchLimits GuardLimits(const RunSettings& settings, PageMatchLimits limits = {});

}  // namespace shopwalk
