// What happened to one request, as a value: the final HTTP status, the class of a transport
// failure and the pause the server asked for. HttpClient reports it with the body (FetchResult),
// so the engine can tell an answered page from an outage or a refusal.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

#include "base/clock.h"

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
  BadUrl,           // the URL cannot be split (HttpClient::Open): nothing was sent
  Other,            // anything else the client could not do (no URL, out of memory, ...)
};

// The pause a server asked for before the next request (Retry-After): whole seconds from its
// answer, or an HTTP date, which is judged against the calendar of whoever keeps the pause.
struct RetryAfter {
  // The seconds form, never negative (a number too large to keep says 999,999,999 s).
  std::optional<std::chrono::seconds> delay;
  // The date form.
  std::optional<Clock::CalendarTime> date;

  // How long the pause lasts from `calendarNow`: the seconds, or the time until the date (0 once
  // it has passed, or when neither form is set).
  std::chrono::milliseconds From(Clock::CalendarTime calendarNow) const;
  bool operator==(const RetryAfter&) const = default;
};

struct FetchOutcome {
  // The final response's status code; 0 when no response arrived.
  int status = 0;
  TransportError error = TransportError::None;
  // How long the server asked to wait before the next request (Retry-After), when it said so in a
  // form that could be read.
  std::optional<RetryAfter> retryAfter;

  // A complete answer arrived (whatever its status).
  bool Answered() const { return status != 0 && error == TransportError::None; }
};

// A short English name of the error for logs and records ("connect refused", ...).
std::string_view TransportErrorName(TransportError error);

}  // namespace shopwalk
