#include "store/run_settings.h"

#include "store/config_file.h"
#include "store/progress_store.h"
#include "store/run_directory.h"

namespace shopwalk {

RunSettings LoadRunSettings(std::string_view directory) {
  RunSettings settings;
  const std::string value =
      ReadConfigItem(PathInDirectory(directory, ConfigFileName), ProgressSection, MaxAttemptsKey);
  if (value.empty()) return settings;
  int attempts = 0;
  bool digits = value.size() <= 4;
  for (char c : value) {
    if (c < '0' || c > '9') digits = false;
    if (digits) attempts = attempts * 10 + (c - '0');
  }
  if (!digits || attempts < 1 || attempts > MaxAttemptsLimit) {
    settings.invalidMaxAttempts = value;
    return settings;
  }
  settings.maxAttempts = attempts;
  return settings;
}

}  // namespace shopwalk
