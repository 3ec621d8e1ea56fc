// The marketplace the tool walks: one fixed domain, shared by the window's address label and the
// collection engine.
#pragma once

#include <string_view>

namespace shopwalk {

// Shop home pages live at "http://shop" + ID + "." + MarketplaceDomain, rating pages under
// "http://rate." + MarketplaceDomain + "/user-rate-".
inline constexpr std::string_view MarketplaceDomain = "velmo.com";

}  // namespace shopwalk
