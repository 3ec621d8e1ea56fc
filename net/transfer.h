// One bounded HTTP request on a client's handles.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "net/body_buffer.h"
#include "net/fetch_outcome.h"

namespace shopwalk::net {

// Bounds that hold when the caller gives none.
inline constexpr std::chrono::milliseconds DefaultConnectTimeout{60'000};
// Receiving nothing for this long ends a transfer, counted from the last byte received.
inline constexpr std::chrono::milliseconds DefaultStall{30'000};
inline constexpr std::chrono::milliseconds DefaultTotalTimeout{120'000};
// Bounds that always hold. A body is also cut when the buffers of all transfers together reach
// the process-wide BodyBudget.
inline constexpr std::size_t MaxBodyBytes = 32u << 20;
inline constexpr std::size_t MaxHeaderBytes = 256u << 10;
inline constexpr long MaxRedirects = 10;

struct TransferRequest {
  std::string_view url;
  // The URL's scheme and port as split from it (SplitUrl): they choose the request's proxy and
  // make the request line a proxy is sent.
  std::string_view scheme;
  int port = 0;
  std::string_view host;  // for the Host header; none when empty
  // The request path as split from the URL (RequestPathOf); "/" when empty.
  std::string_view requestPath;
  std::string_view method;
  std::string_view body;
  bool cookies = true;
  // Whether the connection stays open for a later request to the same host; false asks the
  // server to close it with its answer ("Connection: close") and closes it then in any case.
  bool keepConnection = true;
  // Milliseconds; 0 keeps the default bound.
  int connectTimeoutMs = 0;
  int sendTimeoutMs = 0;
  int receiveTimeoutMs = 0;
};

struct TransferOutcome {
  // The final response arrived (its body may have been cut short).
  bool sent = false;
  // Ended by AbortAllTransfers().
  bool aborted = false;
  // Ended by one of its time limits.
  bool timedOut = false;
  // The status, the class of failure and the server's Retry-After.
  FetchOutcome fetch;
};

// Performs `request` with `easy` driven through `multi`, appending the final response's body to
// `buffer` (cut at MaxBodyBytes or where the buffer's budget runs out, and then reported as
// TransportError::BodyTooLarge). A body whose size the response declares (Content-Length) gets
// its storage in one piece, when the budget grants it. On failure the buffer is left as it was.
// Connections are kept in `multi`'s cache and reused by later requests to the same host and
// port (unless request.keepConnection is false).
//
// The first request goes out as the URL was written: its request line carries the request path
// as RequestTargetOf gives it (no dot segments removed, "%" escapes and bytes 0x80-0xFF sent raw,
// only bytes 0x00-0x20 and 0x7F percent-encoded, no fragment), its Host header names `host`, and
// the stored cookies of `host` go with it. A redirect is resolved against that URL and followed
// the library's usual way, up to MaxRedirects in all: a 301, 302 or 303 answer turns a POST, or
// any request with a body, into a GET without one (HEAD stays HEAD); the Host header is kept only
// while the redirect stays on `host`. Every bound holds across the whole chain.
//
// Each request goes through the proxy the process-wide setting (SetProxy) chooses for its URL, or
// straight to the marketplace (then to the ConnectTo() address when one is set). Through an HTTP
// or HTTPS proxy an http URL's request line carries the whole URL (scheme, host, the port unless
// it is the scheme's own, and the request target as above); an https URL is tunnelled. A proxy
// that cannot be reached, refuses the tunnel (or the SOCKS handshake) or asks for credentials
// (407) fails the request as TransportError::ConnectRefused (NameLookup when its own name does not
// resolve), with no status and no page: the marketplace was not reached.
TransferOutcome RunTransfer(CURL* easy, CURLM* multi, const TransferRequest& request,
                            BodyBuffer& buffer);

}  // namespace shopwalk::net
