// Where the web client's requests go: straight to the marketplace, through one proxy given by the
// user, or through the proxies the standard environment variables name (http_proxy, https_proxy,
// no_proxy). A setting is a value, parsed and checked once; choosing the proxy of a request asks
// it nothing but the request's scheme and host.
//
// Proxy URLs are settings a user typed or an environment handed over: they are bounded
// (MaxProxyTextBytes) and refused, with a reason in words, when they hold a blank, a control
// byte or a byte outside ASCII, name a scheme other than http, https or socks5h, or carry a path.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"

namespace shopwalk {

// The longest proxy URL, and the longest no_proxy list, taken.
inline constexpr std::size_t MaxProxyTextBytes = 2048;
inline constexpr std::size_t MaxNoProxyBytes = 8192;

// The word that makes every request go straight to the marketplace (--proxy none).
inline constexpr std::string_view NoProxyWord = "none";

struct ProxyUrl {
  enum class Scheme {
    Http,     // an HTTP proxy: http URLs are forwarded by it, https ones tunnelled (CONNECT)
    Https,    // the same, spoken to over TLS
    Socks5h,  // a SOCKS5 proxy that also resolves the host names
  };
  Scheme scheme = Scheme::Http;
  // As written: a host name, an IPv4 address or an IPv6 address in brackets.
  std::string host;
  // 0 when the URL names none: the web library's default then holds (1080; 443 for https).
  int port = 0;
  // "USER" or "USER:PASSWORD" as written (percent escapes kept); empty when there is none.
  std::string userInfo;

  // The URL handed to the web library.
  std::string ForLibrary() const;
  // The URL for people to read: the password, if any, shown as "***".
  std::string Shown() const;
  // Whether the proxy takes whole requests (an HTTP or HTTPS proxy), which then carry the URL
  // on their request line; false for a SOCKS proxy, which only relays the connection.
  bool TakesRequests() const { return scheme != Scheme::Socks5h; }
  bool operator==(const ProxyUrl&) const = default;
};

// "SCHEME://[USER[:PASSWORD]@]HOST[:PORT][/]", SCHEME http, https or socks5h (letter case
// aside); without "SCHEME://" it is an HTTP proxy, as the standard variables are often written.
// HOST is a host name, an IPv4 address or an IPv6 address in brackets, PORT 1 to 65535. Why not,
// in words, otherwise.
Expected<ProxyUrl, std::string> ParseProxyUrl(std::string_view text);

struct ProxySetting {
  enum class Source {
    Direct,       // every request goes straight to the marketplace
    Given,        // every request goes through `given`
    Environment,  // the proxies of the standard variables, by the request's scheme and host
  };
  Source source = Source::Direct;
  std::optional<ProxyUrl> given;
  // Source::Environment: the proxy of http URLs, of https URLs (none: straight), and the hosts
  // that are reached straight whatever the scheme (lowercase, without leading dots; "*" is every
  // host).
  std::optional<ProxyUrl> forHttp;
  std::optional<ProxyUrl> forHttps;
  std::vector<std::string> noProxy;

  // The proxy a request to `scheme`://`host` goes through; nothing when it goes straight. A
  // host is reached straight when it equals a no_proxy entry or lies under it ("example.com"
  // and ".example.com" both cover "shop.example.com"), letter case aside.
  const ProxyUrl* For(std::string_view scheme, std::string_view host) const;
  // Whether any request may go through a proxy.
  bool UsesProxy() const;
  // The setting in a few words for people: "none", the proxy's URL (password hidden), or the
  // proxies the variables name.
  std::string Shown() const;
  bool operator==(const ProxySetting&) const = default;
};

// A --proxy or Proxy= value: NoProxyWord (letter case aside) for straight, else a proxy URL.
Expected<ProxySetting, std::string> ParseProxySetting(std::string_view text);

// The setting of the standard variables, looked up through `lookup` (nothing: unset): http_proxy,
// https_proxy and no_proxy, each read lower-case first and then upper-case, an empty value being
// unset. Direct when neither proxy is set. A variable that holds no proxy URL (or a no_proxy
// list over MaxNoProxyBytes) is refused, the reason naming it.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;
Expected<ProxySetting, std::string> ProxySettingFromEnvironment(const EnvironmentLookup& lookup);
// The lookup of this process's environment.
std::optional<std::string> ProcessEnvironmentValue(const char* name);

}  // namespace shopwalk
