#include "net/web_access.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace shopwalk {
namespace {

std::mutex g_settingsMutex;
std::string g_connectTo;
ProxySetting g_proxy;
std::string g_userAgent(DefaultUserAgent);

// As large as the response storage a client keeps between pages (BodyBuffer::KeepBytes).
constexpr int LargeBlockBytes = 1 << 20;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A decimal number from `least` to `most`, without sign or blanks.
bool IsNumberIn(std::string_view text, long least, long most) {
  if (text.empty() || text.size() > 5) return false;
  long value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  return value >= least && value <= most;
}

bool IsIpv4Address(std::string_view text) {
  int parts = 0;
  for (std::size_t start = 0;;) {
    const std::size_t dot = text.find('.', start);
    const std::string_view part =
        text.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (part.size() > 3 || !IsNumberIn(part, 0, 255)) return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return parts == 4;
}

// A host name of labels between dots; all digits and dots must make an IPv4 address.
bool IsHostName(std::string_view text) {
  if (text.empty() || text.size() > 253) return false;
  if (text.find_first_not_of("0123456789.") == std::string_view::npos) return IsIpv4Address(text);
  for (std::size_t start = 0;;) {
    const std::size_t dot = text.find('.', start);
    const std::string_view label =
        text.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-') return false;
    for (const char c : label) {
      const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      if (!letter && !IsDigit(c) && c != '-' && c != '_') return false;
    }
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

bool IsIpv6Address(std::string_view text) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
  const std::string address(text);
  in6_addr parsed{};
  return inet_pton(AF_INET6, address.c_str(), &parsed) == 1;
}

}  // namespace

namespace net {

bool EnsureCurlInitialised() {
  static const bool ready = [] {
    // Transfers never raise signals themselves (CURLOPT_NOSIGNAL); a peer closing a socket must
    // not end the process either.
    std::signal(SIGPIPE, SIG_IGN);
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  }();
  return ready;
}

}  // namespace net

bool InitWebAccess() {
  static const bool usable = [] {
    if (!net::EnsureCurlInitialised()) {
      std::fputs("shopwalk: the HTTP library could not be initialised\n", stderr);
      return false;
    }
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    bool ok = true;
#ifdef CURL_VERSION_THREADSAFE
    if (!(info->features & CURL_VERSION_THREADSAFE)) {
      std::fprintf(stderr, "shopwalk: libcurl %s is not built thread-safe\n", info->version);
      ok = false;
    }
#endif
    if (!(info->features & CURL_VERSION_ASYNCHDNS)) {
      std::fprintf(stderr, "shopwalk: libcurl %s does not resolve names asynchronously\n",
                   info->version);
      ok = false;
    }
    if (const std::string connectTo = ConnectToFromEnvironment(); !connectTo.empty()) {
      if (IsConnectToAddress(connectTo)) {
        SetConnectTo(connectTo);
      } else {
        std::fprintf(stderr, "shopwalk: %s is not HOST:PORT; connections are not redirected\n",
                     ConnectToVariable);
        ok = false;
      }
    }
    // Blocks of LargeBlockBytes and more get pages of their own, which go back to the system
    // as soon as they are freed. Left to itself the allocator raises that threshold to the size
    // of each large block freed (up to 32 MiB), after which large pages come from its heaps and
    // their memory stays with the process when they are freed.
    mallopt(M_MMAP_THRESHOLD, LargeBlockBytes);
    return ok;
  }();
  return usable;
}

bool IsConnectToAddress(std::string_view hostPort) {
  const std::size_t colon = hostPort.rfind(':');
  if (colon == std::string_view::npos || !IsNumberIn(hostPort.substr(colon + 1), 1, 65535)) {
    return false;
  }
  const std::string_view host = hostPort.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return IsIpv6Address(host.substr(1, host.size() - 2));
  }
  return IsHostName(host);
}

std::string ConnectToFromEnvironment() {
  const char* value = std::getenv(ConnectToVariable);
  return value == nullptr ? std::string() : std::string(value);
}

void SetConnectTo(std::string_view hostPort) {
  std::lock_guard lock(g_settingsMutex);
  g_connectTo.assign(hostPort);
}

std::string ConnectTo() {
  std::lock_guard lock(g_settingsMutex);
  return g_connectTo;
}

void SetProxy(const ProxySetting& setting) {
  std::lock_guard lock(g_settingsMutex);
  g_proxy = setting;
}

ProxySetting Proxy() {
  std::lock_guard lock(g_settingsMutex);
  return g_proxy;
}

std::optional<std::string> UserAgentProblem(std::string_view text) {
  if (text.empty()) return std::string("the user agent is empty");
  if (text.size() > MaxUserAgentBytes) {
    return "the user agent is longer than " + std::to_string(MaxUserAgentBytes) + " bytes";
  }
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      return std::string("the user agent holds a control character");
    }
  }
  return std::nullopt;
}

void SetUserAgent(std::string_view text) {
  std::lock_guard lock(g_settingsMutex);
  g_userAgent.assign(UserAgentProblem(text) ? DefaultUserAgent : text);
}

std::string UserAgent() {
  std::lock_guard lock(g_settingsMutex);
  return g_userAgent;
}

}  // namespace shopwalk
