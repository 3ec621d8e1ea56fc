// Process-wide set-up of web access: the HTTP library, where connections go (a redirect for
// testing, a proxy) and the agent text every request names.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "net/proxy_setting.h"

namespace shopwalk {

// The environment variable that sends every connection to another address, for testing against
// a local server.
inline constexpr const char* ConnectToVariable = "SHOPWALK_CONNECT_TO";

// Whether `hostPort` is an address every connection can be sent to: HOST:PORT, HOST a host name
// (letters, digits, '-', '_' and dots between non-empty labels), an IPv4 address (four numbers
// 0 to 255) or an IPv6 address in brackets ("[::1]"), PORT a decimal number from 1 to 65535.
bool IsConnectToAddress(std::string_view hostPort);

// The value of SHOPWALK_CONNECT_TO when it is set and not empty ("" otherwise). A program checks
// it with IsConnectToAddress before InitWebAccess and refuses to start when it is no address.
std::string ConnectToFromEnvironment();

// Once per process, before any other thread starts: initialises libcurl and checks that the
// libcurl in use is thread-safe and resolves names asynchronously, takes the connection redirect
// from SHOPWALK_CONNECT_TO when it is an address (IsConnectToAddress), and makes the allocator give
// memory blocks of 1 MiB and more back to the system when they are freed (so the memory of large
// pages does not stay with the process after them). Later calls do nothing and give the first
// answer. Returns false (with a message on standard error) when the library is unusable or
// SHOPWALK_CONNECT_TO is set to something that is no address (which is then not used). A client
// created without it initialises libcurl itself.
bool InitWebAccess();

// When `hostPort` ("HOST:PORT") is not empty, every connection of every client that goes
// straight to the marketplace goes to that address while URLs and Host headers stay as they are;
// empty connects directly. A request that goes through a proxy is not redirected: the proxy
// decides where to connect. Process-wide, safe from any thread. InitWebAccess() takes it from the
// environment variable SHOPWALK_CONNECT_TO.
void SetConnectTo(std::string_view hostPort);
std::string ConnectTo();

// The proxies of every later request of every client (ProxySetting::For picks one per request;
// straight to the marketplace at first, whatever the environment says). Process-wide, safe from
// any thread; a request under way keeps the one it started with.
void SetProxy(const ProxySetting& setting);
ProxySetting Proxy();

// The User-Agent every request names unless SetUserAgent gave another.
inline constexpr std::string_view DefaultUserAgent =
    "Mozilla/5.0 (Windows; U; Windows NT 6.1; en-US) AppleWebKit/534.10 (KHTML, like Gecko) "
    "Chrome/7.0.536.2 Safari/534.10";
inline constexpr std::size_t MaxUserAgentBytes = 512;

// Why `text` cannot be a User-Agent, in words: empty, longer than MaxUserAgentBytes, or holding a
// control character (a line break would end the header). Nothing when it can.
std::optional<std::string> UserAgentProblem(std::string_view text);

// The User-Agent of every later request of every client; text that UserAgentProblem refuses
// brings back DefaultUserAgent. Process-wide, safe from any thread.
void SetUserAgent(std::string_view text);
std::string UserAgent();

namespace net {

// Initialises the HTTP library once per process and ignores SIGPIPE; safe from any thread.
// Returns whether the library is ready.
bool EnsureCurlInitialised();

}  // namespace net
}  // namespace shopwalk
