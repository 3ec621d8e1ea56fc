// What the engine makes of one fetch: a page to read, no page, a failure worth retrying, or a
// refusal that retrying cannot mend.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "net/fetch_outcome.h"

namespace shopwalk {

struct FetchVerdict {
  enum class Kind {
    // A 2xx answer: the body is the page.
    Page,
    // Another final answer (404, 403, ...): read as an empty page, as a missing page always was.
    // So is a link that no request can be made of (a URL that cannot be split).
    NoPage,
    // The marketplace did not answer properly this time (a connection-level failure, 408, 425,
    // 429, 500, 502, 503, 504): the shop is not finished and is tried again later.
    Transient,
    // The client refused the answer by its own rules (too large, too many headers, redirect limit
    // or a redirect to another scheme): not retried, recorded as failed.
    Refused,
    // The program is closing: the shop is left unfinished.
    Aborted,
  };
  Kind kind = Kind::Page;
  // For Transient and Refused: what went wrong, in a few English words ("connect refused",
  // "HTTP 503", "too large").
  std::string reason;
  // For Transient: the pause the server asked for, if it did.
  std::optional<RetryAfter> retryAfter;
};

FetchVerdict JudgeFetch(const FetchOutcome& outcome);

// Whether an HTTP status means "try again later".
bool IsTransientStatus(int status);

}  // namespace shopwalk
