// A local marketplace for tests: an HTTP server on 127.0.0.1 with an ephemeral port, on threads
// of its own, serving pages by Host header and path from tables the test fills, and recording
// every request it sees, every answer it gives (the answer log) and how many requests it answers
// at once. Pages can misbehave on demand (stall, reset, never end, grow too large, break their
// chunking, redirect in a loop) so callers can check that every request ends, and can be held
// behind a gate until the test lets them go. It also serves requests in the absolute form a proxy
// forwards ("GET http://HOST/PATH"), so it can stand upstream of a real proxy.
//
// Point clients at it with SetConnectTo(marketplace.ConnectAddress()): URLs and Host headers stay
// those of the real site while every connection lands here.
//
// Connections are kept alive between requests for up to 1 s of silence (Options::keepAlive) and up
// to 1,000 requests; each one holds a server thread while it is open (Options::serverThreads, 64).
//
// For a driver of simulated time: with SetClock each request records the time of that clock as
// it came, and each records what it was answered; Busy() tells whether any request is being
// handled or answered, and ServerThreads() which threads of this process serve connections.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/clock.h"

namespace shopwalk::test {

enum class Misbehaviour {
  None,
  StallBeforeAnswer,  // waits stallMs, then answers normally
  StallMidBody,       // sends half the body, waits stallMs, then the rest
  ResetMidBody,       // sends half the body, then resets the connection
  EndlessBody,        // a chunked body that never ends
  OversizedBody,      // declares and sends oversizedBytes bytes of PatternByte
  RedirectLoop,       // redirects to its own address for ever
  ResetBeforeAnswer,  // reads the request, then resets the connection (RST) without a byte back
  BrokenChunking,     // a chunked answer: the first half of the body as one chunk, then a chunk
                      // size that is not hexadecimal
  BurstThenSilence,   // a chunked answer: 1 KiB of PatternByte every 10 ms for burstMs, then
                      // nothing for stallMs, then the body and the end
  SilentUntilHangUp,  // reads the request and answers nothing until the client closes the
                      // connection (or stallMs passes, when above 0)
};

// Holds back the answers of the pages that carry it (Page::gate) while it is closed: such a
// request counts as in flight until the gate opens (or the server stops), then it is answered as
// its page says. A test opens it when it has seen what it wanted to see while the answers were
// held, however long that took. Safe from any thread.
class AnswerGate {
 public:
  explicit AnswerGate(bool open = false) : open_(open) {}
  void Open();
  void Close();
  bool IsOpen() const;
  // Requests held at the gate now.
  std::size_t Held() const;
  // Waits until the gate is open or `stopped()` says so (looked at every few milliseconds); the
  // server's side of a held answer.
  void Pass(const std::function<bool()>& stopped);

 private:
  mutable std::mutex mutex_;
  std::condition_variable opened_;
  bool open_;
  std::size_t held_ = 0;
};

// The byte at `position` of an endless or oversized body.
inline char PatternByte(std::size_t position) {
  return static_cast<char>('a' + position % 26);
}

struct Page {
  int status = 200;
  // Sent unchanged; the test gives GBK bytes.
  std::string body;
  std::string contentType = "text/html; charset=gbk";
  // Extra response headers, e.g. {"Set-Cookie", "sid=1; Path=/"}; a name may repeat.
  std::vector<std::pair<std::string, std::string>> headers;
  // When set, the answer redirects there (status 302 unless `status` is a 3xx).
  std::string redirectTo;
  Misbehaviour misbehaviour = Misbehaviour::None;
  int stallMs = 0;
  int burstMs = 0;
  std::size_t oversizedBytes = 0;
  // When set, the answer waits while the gate is closed (before any misbehaviour).
  std::shared_ptr<AnswerGate> gate;
};

struct RecordedRequest {
  std::string method;
  std::string host;  // the Host header as sent (the URL's host when a forwarded request has none)
  std::string path;  // the request target: path and query
  // The request line carried the whole URL, as a proxy forwards a request ("GET http://HOST/PATH");
  // `path` is then what follows the host, and the page is chosen by the URL's host.
  bool absoluteForm = false;
  std::string cookie;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // The client's port of the connection it came on: requests with the same port came on the
  // same connection (while a test runs, a port is not used again by another connection).
  int clientPort = 0;
  // The time of the marketplace's clock (SetClock) as the request came; nothing without one.
  std::optional<Clock::TimePoint> at;
  // What it was answered: the page's status and misbehaviour, and its Retry-After header ("" when
  // none); filled in once the page is chosen (a request still being answered has status 0).
  int answerStatus = 0;
  Misbehaviour answer = Misbehaviour::None;
  std::string retryAfter;
  // How long (wall time) the whole answer took to send from when the request came; nothing until
  // it has been sent (or its sending failed).
  std::optional<std::chrono::microseconds> answeredIn;

  // How often header `name` came (case-insensitive), and its first value ("" when absent).
  std::size_t HeaderCount(std::string_view name) const;
  std::string Header(std::string_view name) const;
};

// One answer of the marketplace, in its log (TestMarketplace::Answers): the request and what it
// got. An answer is whole when the server gave the page's complete answer (no misbehaviour that
// breaks, cuts or never ends it, and the server was not stopping).
struct RecordedAnswer {
  std::string host;  // without port, lowercase
  std::string path;  // the request target
  int status = 0;
  bool whole = false;
};

class TestMarketplace {
 public:
  struct Options {
    // How long the server keeps an idle kept-alive connection open.
    std::chrono::seconds keepAlive{1};
    // Threads serving connections (each serves one connection at a time).
    std::size_t serverThreads = 64;
  };

  // Pages for (host, path) pairs that have none in the tables.
  using Generator =
      std::function<std::optional<Page>(const std::string& host, const std::string& path)>;

  // Starts serving; stops in the destructor, ending stalled answers at once.
  TestMarketplace();
  explicit TestMarketplace(Options options);
  ~TestMarketplace();
  TestMarketplace(const TestMarketplace&) = delete;
  TestMarketplace& operator=(const TestMarketplace&) = delete;

  int Port() const;
  // "127.0.0.1:<port>", for SetConnectTo.
  std::string ConnectAddress() const;

  // Serves `page` for `host` (compared without port, ignoring case) and `path` (the request
  // target; a table entry without a query also serves that path with any query).
  void SetPage(const std::string& host, const std::string& path, Page page);
  void RemovePage(const std::string& host, const std::string& path);
  // Asked for pages missing from the tables; nothing from it falls back to the fallback page.
  // Once it returns, the generator it replaced (or removed, with an empty one) is not being
  // called any more, so what that one used may go.
  void SetFallbackGenerator(Generator generator);
  // Served when nothing else matches; at first a 404 with a short body.
  void SetFallbackPage(Page page);

  // Stamps each request with `clock`'s time as it comes (nothing: no stamp). The clock must
  // outlive the marketplace, or be replaced before it goes.
  void SetClock(const Clock* clock);

  std::vector<RecordedRequest> Requests() const;
  // The recorded requests to `host` (compared without port, ignoring case), in the order seen.
  std::vector<RecordedRequest> RequestsTo(const std::string& host) const;
  std::size_t RequestCount() const;
  // Also clears the answers.
  void ClearRequests();
  // Waits until at least `count` requests have been recorded; false when `timeout` passes first.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

  // The answers given so far, in the order they were ready to send (a held or stalled answer when
  // its wait ended; the sending of a body is not waited for).
  std::vector<RecordedAnswer> Answers() const;
  // Waits until `host` (compared without port, ignoring case; "" for every host) has been given
  // at least `count` answers that satisfy `which` (every answer when empty); false when `timeout`
  // passes first.
  bool WaitForAnswers(const std::string& host, std::size_t count, std::chrono::milliseconds timeout,
                      const std::function<bool(const RecordedAnswer&)>& which = nullptr) const;

  // Requests to `host` (compared without port, ignoring case; "" for every host together) in
  // flight: each counts from when it has been read until its answer is ready to send, so a
  // stalled answer counts for its whole stall, while the sending of a body does not count (a
  // streamed or half-sent body is out of flight once the server starts sending it). A client
  // that sends a request only after the answer to another has arrived never overlaps it here.
  std::size_t InFlight(const std::string& host) const;
  // The most requests to `host` ("" for every host) that were in flight at once since the start
  // or the last ClearRequests (which restarts it from those in flight then).
  std::size_t MostInFlight(const std::string& host) const;
  // Requests being handled or answered: each counts from when it has been read until its whole
  // answer (a streamed body too) has been sent, or the sending failed.
  std::size_t Busy() const;
  // Connections accepted that wait for a free server thread (their requests are not read yet).
  std::size_t WaitingConnections() const;
  // The threads of this process that listen for or have served the marketplace's connections
  // (kernel thread IDs); a thread that never served one waits for work and is not listed.
  std::vector<pid_t> ServerThreads() const;

  // Connections accepted since the start or the last ClearRequests, and connections open now
  // (accepted and not yet closed by the server, which closes one when the client has closed it,
  // after 1 s of silence, or after its last request).
  std::size_t ConnectionCount() const;
  std::size_t OpenConnections() const;
  // How many different connections the recorded requests to `host` ("" for every host) came on.
  std::size_t ConnectionsUsed(const std::string& host) const;

 private:
  struct Server;
  std::unique_ptr<Server> server_;
};

}  // namespace shopwalk::test
