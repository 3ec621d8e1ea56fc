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

bool CannotStandOnRequestLine(unsigned char byte) {
  return byte <= 0x20 || byte == 0x7F;
}

// `text` with the bytes that cannot stand on a request line percent-encoded.
std::string EncodeUnfit(std::string_view text) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (CannotStandOnRequestLine(byte)) {
      encoded += '%';
      encoded += Hex[byte >> 4];
      encoded += Hex[byte & 0xF];
    } else {
      encoded += c;
    }
  }
  return encoded;
}

// `url` parsed with dot segments kept; the bytes the URL parser refuses are percent-encoded
// first, so that they still make a host, scheme or port malformed but not a path. Empty when the
// URL holds a NUL or does not parse.
UrlHandle ParseAsWritten(std::string_view url) {
  if (url.find('\0') != std::string_view::npos) return nullptr;
  UrlHandle handle(curl_url());
  if (!handle) return nullptr;
  const std::string text = EncodeUnfit(url);
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(),
                   CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK) {
    return nullptr;
  }
  return handle;
}

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
  const UrlHandle handle = ParseAsWritten(url);
  if (!handle) return std::nullopt;
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
  if (parts.host.empty() || parts.scheme.size() >= MaxSchemeSize ||
      parts.host.size() >= MaxHostSize || parts.path.size() >= MaxPathSize) {
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

std::string RequestTargetOf(std::string_view requestPath) {
  return EncodeUnfit(requestPath.substr(0, requestPath.find('#')));
}

std::optional<std::string> UrlWithTarget(std::string_view url, std::string_view target) {
  const UrlHandle handle = ParseAsWritten(url);
  if (!handle) return std::nullopt;
  const std::size_t question = target.find('?');
  const std::string path(target.substr(0, question));
  const std::string query(question == std::string_view::npos ? std::string_view()
                                                             : target.substr(question + 1));
  if (curl_url_set(handle.get(), CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK ||
      curl_url_set(handle.get(), CURLUPART_QUERY, query.empty() ? nullptr : query.c_str(), 0) !=
          CURLUE_OK ||
      curl_url_set(handle.get(), CURLUPART_FRAGMENT, nullptr, 0) != CURLUE_OK) {
    return std::nullopt;
  }
  return Part(handle.get(), CURLUPART_URL);
}

std::optional<std::string> ResolveLocation(std::string_view base, std::string_view location) {
  const UrlHandle handle = ParseAsWritten(base);
  if (!handle || location.empty() || location.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string reference(location);
  if (curl_url_set(handle.get(), CURLUPART_URL, reference.c_str(),
                   CURLU_URLENCODE | CURLU_ALLOW_SPACE) != CURLUE_OK) {
    return std::nullopt;
  }
  auto resolved = Part(handle.get(), CURLUPART_URL);
  if (resolved && resolved->empty()) return std::nullopt;
  return resolved;
}

}  // namespace shopwalk::net
