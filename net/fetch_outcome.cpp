#include "net/fetch_outcome.h"

namespace shopwalk {

std::chrono::milliseconds RetryAfter::From(Clock::CalendarTime calendarNow) const {
  if (delay) return *delay;
  if (date && *date > calendarNow) {
    return std::chrono::ceil<std::chrono::milliseconds>(*date - calendarNow);
  }
  return std::chrono::milliseconds(0);
}

std::string_view TransportErrorName(TransportError error) {
  switch (error) {
    case TransportError::None:
      return "none";
    case TransportError::NameLookup:
      return "name lookup failed";
    case TransportError::ConnectRefused:
      return "connect refused";
    case TransportError::ConnectTimeout:
      return "connect timeout";
    case TransportError::SilenceTimeout:
      return "silence timeout";
    case TransportError::Reset:
      return "connection reset";
    case TransportError::BodyTooLarge:
      return "too large";
    case TransportError::HeadersTooLarge:
      return "headers too large";
    case TransportError::RedirectLimit:
      return "redirect limit";
    case TransportError::Aborted:
      return "aborted";
    case TransportError::BadUrl:
      return "bad URL";
    case TransportError::Other:
      return "request failed";
  }
  return "request failed";
}

}  // namespace shopwalk
