// What happened to one request, as a value: the final HTTP status, the class of a transport
// failure and the pause the server asked for. HttpClient reports it beside the body
// (HttpClient::LastOutcome), so the engine can tell an answered page from an outage or a refusal.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace shopwalk {

// Why a request ended without a complete answer.
enum class TransportError {
  None,
  NameLookup,       // the host name could not be resolved
  ConnectRefused,   // the connection was refused or the host unreachable
  ConnectTimeout,   // no connection within the connect limit
  SilenceTimeout,   // nothing arrived for the silence limit (or the total limit passed)
  Reset,            // the connection broke (reset, closed early, broken chunking) before the
                    // answer was complete
  BodyTooLarge,     // the body passed the size limit of one request or of all requests at once
  HeadersTooLarge,  // the response headers passed their size limit
  RedirectLimit,    // too many redirects, or a redirect to a scheme that is not spoken
  Aborted,          // ended by AbortAllTransfers()
  Other,            // anything else the client could not do (no URL, out of memory, ...)
};

struct FetchOutcome {
  // The final response's status code; 0 when no response arrived.
  int status = 0;
  TransportError error = TransportError::None;
  // How long the server asked to wait before the next request (Retry-After, in seconds or as an
  // HTTP date), when it said so; never negative.
  std::optional<std::chrono::seconds> retryAfter;

  // A complete answer arrived (whatever its status).
  bool Answered() const { return status != 0 && error == TransportError::None; }
};

// A short English name of the error for logs and records ("connect refused", ...).
std::string_view TransportErrorName(TransportError error);

}  // namespace shopwalk
