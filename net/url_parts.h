// Splitting a URL into the parts a request needs, within fixed size limits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace shopwalk::net {

// Size limits of the parts, each counting a terminating NUL: a part at or over its limit makes
// the URL unsplittable.
inline constexpr std::size_t kMaxSchemeSize = 32;
inline constexpr std::size_t kMaxHostSize = 256;
inline constexpr std::size_t kMaxPathSize = 2048;

struct UrlParts {
  std::string scheme;
  std::string host;
  // Path, query and fragment as they appear after the host.
  std::string path;
  // The explicit port, else the scheme's default (0 for a scheme without one).
  int port = 0;
};

// The parts of an absolute URL, or nothing when the URL is malformed, has no host or a part does
// not fit its limit.
std::optional<UrlParts> SplitUrl(std::string_view url);

// The request path of a URL text: everything from the first "/" that follows the "//" after the
// scheme, query and fragment included; "/" when there is none.
std::string RequestPathOf(std::string_view url);

}  // namespace shopwalk::net
