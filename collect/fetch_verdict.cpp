#include "collect/fetch_verdict.h"

namespace shopwalk {

bool IsTransientStatus(int status) {
  switch (status) {
    case 408:
    case 425:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return false;
  }
}

FetchVerdict JudgeFetch(const FetchOutcome& outcome) {
  FetchVerdict verdict;
  using Kind = FetchVerdict::Kind;
  switch (outcome.error) {
    case TransportError::None:
      break;
    case TransportError::Aborted:
      verdict.kind = Kind::Aborted;
      verdict.reason = std::string(TransportErrorName(outcome.error));
      return verdict;
    case TransportError::BadUrl:
      // A link the page gave that no request can be made of: read as an empty page, as a page
      // that does not answer is read.
      verdict.kind = Kind::NoPage;
      return verdict;
    case TransportError::BodyTooLarge:
    case TransportError::HeadersTooLarge:
    case TransportError::RedirectLimit:
      verdict.kind = Kind::Refused;
      verdict.reason = std::string(TransportErrorName(outcome.error));
      return verdict;
    case TransportError::NameLookup:
    case TransportError::ConnectRefused:
    case TransportError::ConnectTimeout:
    case TransportError::SilenceTimeout:
    case TransportError::Reset:
    case TransportError::Other:
      verdict.kind = Kind::Transient;
      verdict.reason = std::string(TransportErrorName(outcome.error));
      verdict.retryAfter = outcome.retryAfter;
      return verdict;
  }
  if (outcome.status == 0) {
    // No failure named and no answer either: nothing to read, so nothing is concluded.
    verdict.kind = Kind::Transient;
    verdict.reason = std::string(TransportErrorName(TransportError::Other));
    return verdict;
  }
  if (outcome.status >= 200 && outcome.status < 300) return verdict;
  if (IsTransientStatus(outcome.status)) {
    verdict.kind = Kind::Transient;
    verdict.reason = "HTTP " + std::to_string(outcome.status);
    verdict.retryAfter = outcome.retryAfter;
    return verdict;
  }
  verdict.kind = Kind::NoPage;
  return verdict;
}

}  // namespace shopwalk
