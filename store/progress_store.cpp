#include "store/progress_store.h"

#include <cstdint>
#include <limits>

#include "store/config_file.h"
#include "store/run_directory.h"

namespace shopwalk {

std::string LoadProgress(std::string_view directory) {
  return ReadConfigItem(PathInDirectory(directory, ConfigFileName), ProgressSection, ProgressKey);
}

WriteResult SaveProgress(std::string_view shopId, std::string_view directory) {
  WriteResult result;
  result.path = PathInDirectory(directory, ConfigFileName);
  result.ok = WriteConfigItem(result.path, ProgressSection, ProgressKey, shopId, &result.reason);
  return result;
}

bool IsShopIdText(std::string_view text) {
  if (text.empty()) return false;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > std::numeric_limits<std::int32_t>::max()) return false;
  }
  return true;
}

}  // namespace shopwalk
