// One bounded HTTP request on a client's handles.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace shopwalk::net {

// Bounds that hold when the caller gives none.
inline constexpr std::chrono::milliseconds kDefaultConnectTimeout{60'000};
inline constexpr long kDefaultStallSeconds = 30;  // receiving nothing for this long ends it
inline constexpr std::chrono::milliseconds kDefaultTotalTimeout{120'000};
// Bounds that always hold.
inline constexpr std::size_t kMaxBodyBytes = 32u << 20;
inline constexpr std::size_t kMaxHeaderBytes = 256u << 10;
inline constexpr long kMaxRedirects = 10;

struct TransferRequest {
  std::string_view url;
  std::string_view host;  // for the Host header; none when empty
  std::string_view method;
  std::string_view body;
  bool cookies = true;
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
};

// Performs `request` with `easy` driven through `multi`, appending the final response's body to
// `buffer`. On failure the buffer is left as it was.
TransferOutcome RunTransfer(CURL* easy, CURLM* multi, const TransferRequest& request,
                            std::string& buffer);

}  // namespace shopwalk::net
