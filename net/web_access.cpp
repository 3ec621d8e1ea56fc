#include "net/web_access.h"

#include <curl/curl.h>
#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace shopwalk {
namespace {

std::mutex g_connectToMutex;
std::string g_connectTo;

// As large as the response storage a client keeps between pages (BodyBuffer::KeepBytes).
constexpr int LargeBlockBytes = 1 << 20;

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
    if (const char* connectTo = std::getenv("SHOPWALK_CONNECT_TO")) SetConnectTo(connectTo);
    // Blocks of LargeBlockBytes and more get pages of their own, which go back to the system
    // as soon as they are freed. Left to itself the allocator raises that threshold to the size
    // of each large block freed (up to 32 MiB), after which large pages come from its heaps and
    // their memory stays with the process when they are freed.
    mallopt(M_MMAP_THRESHOLD, LargeBlockBytes);
    return ok;
  }();
  return usable;
}

void SetConnectTo(std::string_view hostPort) {
  std::lock_guard lock(g_connectToMutex);
  g_connectTo.assign(hostPort);
}

std::string ConnectTo() {
  std::lock_guard lock(g_connectToMutex);
  return g_connectTo;
}

}  // namespace shopwalk
