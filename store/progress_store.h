// Where the walk over shop IDs resumes: the shop ID saved as `Now_ID` in section `Mivu` of the
// settings file config.ini. The window loads it into its shop-ID field when it is created and
// saves the walk's place there when it closes and the user agrees.
#pragma once

#include <string>
#include <string_view>

#include "store/write_result.h"

namespace shopwalk {

// The settings file's section and key that hold the saved shop ID.
inline constexpr std::string_view ProgressSection = "Mivu";
inline constexpr std::string_view ProgressKey = "Now_ID";
// The shop ID the walk starts after when nothing is saved.
inline constexpr std::string_view DefaultStartShopId = "109428412";

// The saved place as stored (GBK bytes, unchecked), or "" when the file, the section or the key
// is missing. `directory` holds config.ini; the file is only read.
std::string LoadProgress(std::string_view directory);

// Saves `shopId` (GBK bytes, stored unchanged, may be empty) as the place in config.ini in
// `directory`, leaving the rest of the file as it was.
WriteResult SaveProgress(std::string_view shopId, std::string_view directory);

// Whether `text` names a shop ID the walk can start after: decimal digits only, 0 to 2147483647.
bool IsShopIdText(std::string_view text);

}  // namespace shopwalk
