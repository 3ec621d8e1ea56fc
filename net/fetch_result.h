// One request of the web client as values: a request in (method, URL, body, time limits), and
// out what became of it (whether the response arrived, aborted or timed out, the status, the
// class of failure, the server's Retry-After) with the page's text, so a caller never asks the
// client afterwards what its last request did.
#pragma once

#include <string_view>

#include "net/body_buffer.h"
#include "net/fetch_outcome.h"

namespace shopwalk {

struct FetchRequest {
  std::string_view method = "GET";
  std::string_view url{};
  // None when empty.
  std::string_view body{};
  // Milliseconds; each given (> 0) replaces its default bound (see HttpClient::Send).
  int connectTimeoutMs = 0;
  int sendTimeoutMs = 0;
  int receiveTimeoutMs = 0;
};

// What became of one request, its body aside.
struct SendResult {
  // The final response arrived; its body may have been cut short (outcome.error says so).
  bool sent = false;
  // Ended by AbortAllTransfers(), or by one of its time limits.
  bool aborted = false;
  bool timedOut = false;
  // The status, the class of failure and the server's Retry-After. A request that could not
  // start reports TransportError::Other (no request prepared) or BadUrl (see Fetch).
  FetchOutcome outcome;

  explicit operator bool() const { return sent; }
};

// What became of one request, with its page.
struct FetchResult : SendResult {
  // The response body as text (its bytes up to the first NUL), an error page's too; empty when
  // no response arrived. It keeps its storage, and its share of the bodies' budget, until it is
  // destroyed.
  net::ResponseBody page;
};

}  // namespace shopwalk
