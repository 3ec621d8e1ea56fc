// Splitting a URL into the parts a request needs, within fixed size limits, and the request
// target that goes on the request line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace shopwalk::net {

// Size limits of the parts, each counting a terminating NUL: a part at or over its limit makes
// the URL unsplittable.
inline constexpr std::size_t MaxSchemeSize = 32;
inline constexpr std::size_t MaxHostSize = 256;
inline constexpr std::size_t MaxPathSize = 2048;

struct UrlParts {
  std::string scheme;
  std::string host;
  // Path, query and fragment as they appear after the host, with spaces and control bytes
  // percent-encoded as RequestTargetOf encodes them.
  std::string path;
  // The explicit port, else the scheme's default (0 for a scheme without one).
  int port = 0;
};

// The parts of an absolute URL, or nothing when the URL is malformed, has no host, holds a NUL
// or a part does not fit its limit. Spaces and control bytes after the host do not make a URL
// malformed; in the scheme, host or port they do.
std::optional<UrlParts> SplitUrl(std::string_view url);

// The request path of a URL text: everything from the first "/" that follows the "//" after the
// scheme, query and fragment included; "/" when there is none.
std::string RequestPathOf(std::string_view url);

// What goes on the request line for `requestPath`: the path and query exactly as written (dot
// segments, "%" escapes and bytes 0x80-0xFF untouched), the fragment dropped, and only the bytes
// that cannot stand on a request line (0x00-0x20 and 0x7F) percent-encoded with uppercase hex.
std::string RequestTargetOf(std::string_view requestPath);

// `url` with its path, query and fragment replaced by `target` (as RequestTargetOf gives it): the
// URL of the request the web library is told to make. Nothing when `url` does not split.
std::optional<std::string> UrlWithTarget(std::string_view url, std::string_view target);

// A redirect's Location resolved against the URL that was requested, as the web library resolves
// it when it follows a redirect itself (dot segments removed, spaces and bytes 0x80-0xFF
// percent-encoded). Nothing when it does not resolve to a URL.
std::optional<std::string> ResolveLocation(std::string_view base, std::string_view location);

}  // namespace shopwalk::net
