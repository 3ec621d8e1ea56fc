// The web client through which the engine fetches pages, created and used on one thread: one
// client per collection task, or one per worker thread kept for the thread's life.
//
// Fetch sends one request and hands back what became of it with the page's text (FetchResult),
// taken out of the client without a copy. Underneath, Open splits a URL and remembers the
// request; Send performs it (HTTP/1.1, the process-wide agent text (UserAgent()), "Accept: */*" and
// "Host: <host>", redirects followed, through the proxy that SetProxy's setting chooses, if any),
// appends the response body, exactly as received, to the client's buffer and says what became of
// the request; ResponseText hands the buffer back as text. An error page is a page: its status is
// in the result. Open, Send and Fetch on any thread but the creator's is a fatal usage error that
// ends the process.
//
// A client keeps its connections open after a request (within the web library's small cache of
// idle connections), so later requests to the same host and port go out on them; a connection
// the server has closed meanwhile is replaced without the caller noticing.
//
// The request goes out as the URL was written: its request line carries RequestPath() byte for
// byte, with no dot segments removed and nothing re-encoded ("%" escapes and bytes 0x80-0xFF go
// raw), except that the bytes that cannot stand on a request line (0x00-0x20 and 0x7F) are
// percent-encoded with uppercase hex and the fragment is left out. Redirects from there are
// resolved and followed the web library's usual way.
//
// Every request is bounded: without limits from the caller a connection must be made within
// 60 s, a transfer that receives nothing for 30 s ends, and no request lasts over 120 s; bodies
// are cut at 32 MiB, and earlier when the response buffers of all clients together reach their
// shared budget (64 MiB, net/body_buffer.h); response headers at 256 KiB, redirects at 10, and
// only http and https are spoken. A cut body is kept and reported as TransportError::BodyTooLarge.
// The storage of a page over 1 MiB goes back at the next Open or when the client is destroyed; a
// page fetched keeps its storage, and its share of the budget, until it is destroyed.
// The cookie store and what one request sends from it are bounded too (net/cookie_jar.h).
// AbortAllTransfers() ends every transfer in flight from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "net/body_buffer.h"
#include "net/fetch_outcome.h"
#include "net/fetch_result.h"

namespace shopwalk {

class HttpClient {
 public:
  // A new client owned by the caller; empty when memory runs out.
  static std::unique_ptr<HttpClient> Create();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Splits `url` (scheme under 32 bytes, host under 256, path under 2048) and prepares a request
  // with `method`, emptying the response buffer. Spaces and control bytes after the host are
  // accepted (see above); in the host, or a NUL anywhere, make the URL unsplittable. A URL that
  // cannot be split returns false and changes nothing, so a following Send repeats the previous
  // request.
  bool Open(std::string_view method, std::string_view url);

  // Sends the prepared request with `body` (none when empty) and appends the response body to
  // the buffer. Limits in milliseconds; each given (> 0) replaces its default bound: connect is
  // the time to make a connection, receive the longest wait without receiving anything, send the
  // longest wait without the request body moving on; the 120 s total stays unless the given
  // limits add up to more. Says what became of the request (true when the response arrived); a
  // body cut short (at its size bound, or by a stall or broken connection after the headers)
  // still counts as sent and keeps what was read. A failed or aborted Send leaves the buffer as
  // it was.
  SendResult Send(std::string_view body = {}, int connectTimeoutMs = 0, int sendTimeoutMs = 0,
                  int receiveTimeoutMs = 0);

  // Open and Send in one, the page handed over: the buffer is empty afterwards. A URL that cannot
  // be split sends nothing and reports TransportError::BadUrl (the previous request is not
  // repeated).
  FetchResult Fetch(const FetchRequest& request);

  // With a value, sets whether later requests send and store cookies (on at creation). Returns
  // the switch after the call.
  bool CookiesEnabled(std::optional<bool> enabled = std::nullopt);

  // With a value, sets whether the connections of later requests stay open for the next request
  // to the same host (on at creation); off, each request asks the server to close its connection
  // with the answer ("Connection: close") and it is closed then, for hosts that will not be asked
  // again. Returns the switch after the call.
  bool KeepsConnections(std::optional<bool> keep = std::nullopt);

  // The response buffer as text: its bytes up to the first NUL.
  std::string ResponseText() const;
  // The response buffer's bytes, NULs included.
  std::string_view ResponseBytes() const;

  // The request last prepared by Open. RequestPath is everything from the first "/" after the
  // "//" that follows the scheme, query and fragment included; "/" when there is none.
  const std::string& Url() const;
  const std::string& Host() const;
  const std::string& RequestPath() const;
  int Port() const;

 private:
  HttpClient();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace shopwalk
