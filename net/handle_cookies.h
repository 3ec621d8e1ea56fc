// Connecting a request's handle to the process-wide cookie store.
#pragma once

#include <curl/curl.h>

#include <string>
#include <string_view>
#include <vector>

namespace shopwalk::net {

// Empties the handle's own cookies. With `enabled` the handle then starts taking part in
// cookies, loaded with the stored ones that apply to `host`, which are returned; without it the
// request neither sends nor keeps any.
std::vector<std::string> PrepareCookies(CURL* easy, bool enabled, std::string_view host);

// After a request prepared with cookies: stores what it changed, given the lines it was loaded
// with.
void KeepCookies(CURL* easy, const std::vector<std::string>& loaded);

}  // namespace shopwalk::net
