// Connecting a request's handle to the process-wide cookie store.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace shopwalk::net {

// Empties the handle's own cookies. With `enabled` the handle then starts taking part in
// cookies, loaded with the stored ones that apply to `host` and fit one request's Cookie header
// for `requestPath` (CookieJar::CookiesFor), which are returned; without it the request neither
// sends nor keeps any.
//
// The library sends cookies only while the request head stays under LibraryHeadBytes, so the
// header is sized to fit after the `headBytes` of head it writes before the Cookie header (the
// request line, Host and User-Agent): every cookie loaded is sent, the ones CookiesFor chose.
//
// What the handle gathers during one request stays bounded by the library itself: it takes at
// most 50 Set-Cookie lines per response and no cookie over 4096 bytes of name and value, and the
// response headers of a whole transfer are bounded (MaxHeaderBytes), so its own store never holds
// more than those headers carried besides what was loaded.
inline constexpr std::size_t LibraryHeadBytes = 8190;
std::vector<std::string> PrepareCookies(CURL* easy, bool enabled, std::string_view host,
                                        std::string_view requestPath, std::size_t headBytes);

// After a request prepared with cookies: stores what it changed, given the lines it was loaded
// with.
void KeepCookies(CURL* easy, const std::vector<std::string>& loaded);

}  // namespace shopwalk::net
