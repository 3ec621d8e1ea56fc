#include "net/proxy_setting.h"

#include <cstdlib>

#include "base/ascii.h"
#include "net/web_access.h"

namespace shopwalk {
namespace {

// The scheme named before "://", or nothing for an unknown one (the reason then in `why`).
std::optional<ProxyUrl::Scheme> SchemeNamed(std::string_view name, std::string& why) {
  if (EqualsIgnoringAsciiCase(name, "http")) return ProxyUrl::Scheme::Http;
  if (EqualsIgnoringAsciiCase(name, "https")) return ProxyUrl::Scheme::Https;
  if (EqualsIgnoringAsciiCase(name, "socks5h")) return ProxyUrl::Scheme::Socks5h;
  if (EqualsIgnoringAsciiCase(name, "socks5")) {
    why = "socks5 would look the marketplace's host names up here; use socks5h";
  } else {
    why = "the scheme \"" + std::string(name) + "\" is not http, https or socks5h";
  }
  return std::nullopt;
}

std::string_view SchemeName(ProxyUrl::Scheme scheme) {
  switch (scheme) {
    case ProxyUrl::Scheme::Http:
      return "http";
    case ProxyUrl::Scheme::Https:
      return "https";
    case ProxyUrl::Scheme::Socks5h:
      return "socks5h";
  }
  return "http";
}

// A port: 1 to 65535 in decimal digits, nothing else.
std::optional<int> PortIn(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int port = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

// The host of a request URL as no_proxy entries name it: lowercase, without IPv6 brackets.
std::string BareHost(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return AsciiLowercase(host);
}

// The entries of a no_proxy list: split at commas and blanks, lowercase, leading dots and IPv6
// brackets dropped.
std::vector<std::string> NoProxyEntries(std::string_view list) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start < list.size()) {
    const std::size_t end = std::min(list.find_first_of(", \t", start), list.size());
    std::string_view entry = list.substr(start, end - start);
    while (!entry.empty() && entry.front() == '.') entry.remove_prefix(1);
    if (!entry.empty()) entries.push_back(BareHost(entry));
    start = end + 1;
  }
  return entries;
}

bool CoveredBy(const std::string& host, const std::string& entry) {
  if (entry == "*" || host == entry) return true;
  return host.size() > entry.size() && host.ends_with(entry) &&
         host[host.size() - entry.size() - 1] == '.';
}

// The value of the first of `names` that is set and not empty.
std::optional<std::pair<const char*, std::string>> FirstSet(
    const EnvironmentLookup& lookup, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    std::optional<std::string> value = lookup(name);
    if (value && !value->empty()) return std::make_pair(name, std::move(*value));
  }
  return std::nullopt;
}

}  // namespace

std::string ProxyUrl::ForLibrary() const {
  std::string url = std::string(SchemeName(scheme)) + "://";
  if (!userInfo.empty()) url += userInfo + "@";
  url += host;
  if (port != 0) url += ":" + std::to_string(port);
  return url;
}

std::string ProxyUrl::Shown() const {
  std::string url = std::string(SchemeName(scheme)) + "://";
  if (!userInfo.empty()) {
    const std::size_t colon = userInfo.find(':');
    url += colon == std::string::npos ? userInfo : userInfo.substr(0, colon) + ":***";
    url += "@";
  }
  url += host;
  if (port != 0) url += ":" + std::to_string(port);
  return url;
}

Expected<ProxyUrl, std::string> ParseProxyUrl(std::string_view text) {
  if (text.empty()) return MakeUnexpected(std::string("a proxy URL is empty"));
  if (text.size() > MaxProxyTextBytes) {
    return MakeUnexpected("a proxy URL is longer than " + std::to_string(MaxProxyTextBytes) +
                          " bytes");
  }
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) {
      return MakeUnexpected(
          std::string("a proxy URL holds a blank, a control character or a byte outside ASCII"));
    }
  }
  ProxyUrl url;
  std::string_view rest = text;
  if (const std::size_t separator = rest.find("://"); separator != std::string_view::npos) {
    std::string why;
    const std::optional<ProxyUrl::Scheme> scheme = SchemeNamed(rest.substr(0, separator), why);
    if (!scheme) return MakeUnexpected(why);
    url.scheme = *scheme;
    rest.remove_prefix(separator + 3);
  }
  const std::size_t authorityEnd = std::min(rest.find_first_of("/?#"), rest.size());
  if (rest.substr(authorityEnd) != "" && rest.substr(authorityEnd) != "/") {
    return MakeUnexpected(std::string("a proxy URL names only SCHEME://HOST:PORT, not a path"));
  }
  std::string_view authority = rest.substr(0, authorityEnd);
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    url.userInfo = std::string(authority.substr(0, at));
    if (url.userInfo.empty() || url.userInfo.front() == ':') {
      return MakeUnexpected(std::string("a proxy URL names a password without a user"));
    }
    authority.remove_prefix(at + 1);
  }
  std::string_view host = authority;
  std::optional<std::string_view> port;
  const std::size_t bracket = authority.rfind(']');
  const std::size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (port) {
    const std::optional<int> number = PortIn(*port);
    if (!number) return MakeUnexpected(std::string("a proxy's port is not a number 1 to 65535"));
    url.port = *number;
  }
  // The host's rules are those of a connection's address.
  if (host.empty() || !IsConnectToAddress(std::string(host) + ":1")) {
    return MakeUnexpected(
        std::string("a proxy's host is no host name, IPv4 address or IPv6 address in brackets"));
  }
  url.host = std::string(host);
  return url;
}

const ProxyUrl* ProxySetting::For(std::string_view scheme, std::string_view host) const {
  switch (source) {
    case Source::Direct:
      return nullptr;
    case Source::Given:
      return given ? &*given : nullptr;
    case Source::Environment:
      break;
  }
  const std::optional<ProxyUrl>& proxy =
      EqualsIgnoringAsciiCase(scheme, "https") ? forHttps : forHttp;
  if (!proxy) return nullptr;
  const std::string bare = BareHost(host);
  for (const std::string& entry : noProxy) {
    if (CoveredBy(bare, entry)) return nullptr;
  }
  return &*proxy;
}

bool ProxySetting::UsesProxy() const {
  switch (source) {
    case Source::Direct:
      return false;
    case Source::Given:
      return given.has_value();
    case Source::Environment:
      return forHttp.has_value() || forHttps.has_value();
  }
  return false;
}

std::string ProxySetting::Shown() const {
  if (source == Source::Given && given) return given->Shown();
  if (source != Source::Environment || !UsesProxy()) return std::string(NoProxyWord);
  std::string shown;
  if (forHttp) shown = forHttp->Shown() + " for http";
  if (forHttps) shown += (shown.empty() ? "" : ", ") + forHttps->Shown() + " for https";
  if (!noProxy.empty()) {
    shown += ", not for " + std::to_string(noProxy.size()) +
             (noProxy.size() == 1 ? " host (no_proxy)" : " hosts (no_proxy)");
  }
  return shown;
}

Expected<ProxySetting, std::string> ParseProxySetting(std::string_view text) {
  ProxySetting setting;
  if (EqualsIgnoringAsciiCase(text, NoProxyWord)) return setting;
  Expected<ProxyUrl, std::string> url = ParseProxyUrl(text);
  if (!url) return MakeUnexpected(std::move(url.error()));
  setting.source = ProxySetting::Source::Given;
  setting.given = std::move(*url);
  return setting;
}

Expected<ProxySetting, std::string> ProxySettingFromEnvironment(const EnvironmentLookup& lookup) {
  ProxySetting setting;
  setting.source = ProxySetting::Source::Environment;
  const auto take = [&lookup](std::initializer_list<const char*> names,
                              std::optional<ProxyUrl>& into) -> std::optional<std::string> {
    const auto value = FirstSet(lookup, names);
    if (!value) return std::nullopt;
    Expected<ProxyUrl, std::string> url = ParseProxyUrl(value->second);
    if (!url) return std::string(value->first) + ": " + url.error();
    into = std::move(*url);
    return std::nullopt;
  };
  if (auto why = take({"http_proxy", "HTTP_PROXY"}, setting.forHttp)) {
    return MakeUnexpected(std::move(*why));
  }
  if (auto why = take({"https_proxy", "HTTPS_PROXY"}, setting.forHttps)) {
    return MakeUnexpected(std::move(*why));
  }
  if (!setting.UsesProxy()) return ProxySetting{};
  if (const auto list = FirstSet(lookup, {"no_proxy", "NO_PROXY"})) {
    if (list->second.size() > MaxNoProxyBytes) {
      return MakeUnexpected(std::string(list->first) + ": longer than " +
                            std::to_string(MaxNoProxyBytes) + " bytes");
    }
    setting.noProxy = NoProxyEntries(list->second);
  }
  return setting;
}

std::optional<std::string> ProcessEnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace shopwalk
