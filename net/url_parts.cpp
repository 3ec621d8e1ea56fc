#include "net/url_parts.h"

#include <curl/curl.h>

#include <charconv>
#include <memory>

namespace shopwalk::net {
namespace {

struct UrlHandleDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlHandleDeleter>;

// One part of the URL; empty when the URL lacks it, nothing on any other failure.
std::optional<std::string> Part(CURLU* handle, CURLUPart what, unsigned flags = 0) {
  char* text = nullptr;
  const CURLUcode rc = curl_url_get(handle, what, &text, flags);
  if (rc == CURLUE_NO_QUERY || rc == CURLUE_NO_FRAGMENT || rc == CURLUE_NO_PORT) {
    return std::string();
  }
  if (rc != CURLUE_OK) return std::nullopt;
  std::string part(text);
  curl_free(text);
  return part;
}

}  // namespace

std::optional<UrlParts> SplitUrl(std::string_view url) {
  // The URL API wants a NUL-terminated text; an embedded NUL would silently shorten it.
  if (url.find('\0') != std::string_view::npos) return std::nullopt;
  UrlHandle handle(curl_url());
  if (!handle) return std::nullopt;
  const std::string text(url);
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(),
                   CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK) {
    return std::nullopt;
  }
  auto scheme = Part(handle.get(), CURLUPART_SCHEME);
  auto host = Part(handle.get(), CURLUPART_HOST);
  auto path = Part(handle.get(), CURLUPART_PATH);
  auto query = Part(handle.get(), CURLUPART_QUERY);
  auto fragment = Part(handle.get(), CURLUPART_FRAGMENT);
  auto port = Part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || !path || !query || !fragment || !port) return std::nullopt;

  UrlParts parts;
  parts.scheme = std::move(*scheme);
  parts.host = std::move(*host);
  parts.path = std::move(*path);
  if (!query->empty()) parts.path += "?" + *query;
  if (!fragment->empty()) parts.path += "#" + *fragment;
  if (parts.host.empty() || parts.scheme.size() >= kMaxSchemeSize ||
      parts.host.size() >= kMaxHostSize || parts.path.size() >= kMaxPathSize) {
    return std::nullopt;
  }
  if (!port->empty()) {
    const auto [end, ec] = std::from_chars(port->data(), port->data() + port->size(), parts.port);
    if (ec != std::errc() || end != port->data() + port->size()) return std::nullopt;
  }
  return parts;
}

std::string RequestPathOf(std::string_view url) {
  const std::size_t first = url.find('/');
  // The character after the first "/" is skipped: it is the second slash of "//".
  if (first == std::string_view::npos || first + 2 > url.size()) return "/";
  const std::size_t next = url.find('/', first + 2);
  if (next == std::string_view::npos) return "/";
  return std::string(url.substr(next));
}

}  // namespace shopwalk::net
