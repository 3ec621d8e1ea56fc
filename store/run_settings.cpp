#include "store/run_settings.h"

#include "net/web_access.h"
#include "store/config_file.h"
#include "store/progress_store.h"
#include "store/run_directory.h"

namespace shopwalk {
namespace {

// `value` as a number from `lowest` to `highest` (at most `digits` decimal digits and nothing
// else); nothing otherwise.
std::optional<int> NumberIn(const std::string& value, int lowest, int highest,
                            std::size_t digits = 6) {
  if (value.empty() || value.size() > digits) return std::nullopt;
  int number = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  if (number < lowest || number > highest) return std::nullopt;
  return number;
}

}  // namespace

RunSettings LoadRunSettings(std::string_view directory) {
  RunSettings settings;
  const std::string path = PathInDirectory(directory, ConfigFileName);
  settings.guardWindow =
      NumberIn(ReadConfigItem(path, ProgressSection, GuardWindowKey), 0, GuardWindowLimit);
  settings.guardRisePercent = NumberIn(ReadConfigItem(path, ProgressSection, GuardRiseKey), 1, 100);
  settings.guardNoticeRisePercent =
      NumberIn(ReadConfigItem(path, ProgressSection, GuardNoticeRiseKey), 1, 100);
  settings.keepPages = ReadConfigItem(path, ProgressSection, KeepPagesKey) == "1";
  settings.keepPagesMb =
      NumberIn(ReadConfigItem(path, ProgressSection, KeepPagesMbKey), 1, KeepPagesMbLimit, 7);
  settings.proxy = ReadConfigItem(path, ProgressSection, ProxyKey);
  settings.userAgent = ReadConfigItem(path, ProgressSection, UserAgentKey);
  const std::string value = ReadConfigItem(path, ProgressSection, MaxAttemptsKey);
  if (value.empty()) return settings;
  settings.maxAttempts = NumberIn(value, 1, MaxAttemptsLimit, 4);
  if (!settings.maxAttempts) settings.invalidMaxAttempts = value;
  return settings;
}

Expected<ProxySetting, SettingRefused> ChooseProxy(const std::optional<std::string>& given,
                                                   const RunSettings& settings,
                                                   const EnvironmentLookup& lookup) {
  const auto from = [](const std::string& text,
                       std::string_view where) -> Expected<ProxySetting, SettingRefused> {
    Expected<ProxySetting, std::string> setting = ParseProxySetting(text);
    if (!setting)
      return MakeUnexpected(SettingRefused{std::string(where) + ": " + setting.error()});
    return std::move(*setting);
  };
  if (given) return from(*given, "--proxy");
  if (!settings.proxy.empty()) {
    return from(settings.proxy, std::string(ConfigFileName) + "'s " + std::string(ProxyKey));
  }
  Expected<ProxySetting, std::string> environment = ProxySettingFromEnvironment(lookup);
  if (!environment) return MakeUnexpected(SettingRefused{std::move(environment.error())});
  return std::move(*environment);
}

Expected<std::string, SettingRefused> ChooseUserAgent(const std::optional<std::string>& given,
                                                      const RunSettings& settings) {
  const auto from = [](const std::string& text,
                       std::string_view where) -> Expected<std::string, SettingRefused> {
    if (auto problem = UserAgentProblem(text)) {
      return MakeUnexpected(SettingRefused{std::string(where) + ": " + *problem});
    }
    return text;
  };
  if (given) return from(*given, "--user-agent");
  if (!settings.userAgent.empty()) {
    return from(settings.userAgent,
                std::string(ConfigFileName) + "'s " + std::string(UserAgentKey));
  }
  return std::string(DefaultUserAgent);
}

PageMatchLimits GuardLimits(const RunSettings& settings, PageMatchLimits limits) {
  if (settings.guardWindow) limits.window = *settings.guardWindow;
  if (settings.guardRisePercent) limits.fieldsRise = *settings.guardRisePercent / 100.0;
  if (settings.guardNoticeRisePercent) {
    limits.noticeRise = *settings.guardNoticeRisePercent / 100.0;
  }
  return limits;
}

}  // namespace shopwalk
