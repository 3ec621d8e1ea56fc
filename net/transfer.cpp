#include "net/transfer.h"

#include <algorithm>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include "base/ascii.h"
#include "base/clock.h"
#include "net/handle_cookies.h"
#include "net/transfer_abort.h"
#include "net/url_parts.h"
#include "net/web_access.h"

namespace shopwalk::net {
namespace {

using std::chrono::milliseconds;

// The transfer's limits (silence, total) are network-level time: always the real clock's, whatever
// clock the engine above runs on, as libcurl's own connect limit is.
Clock::TimePoint WallNow() {
  return RealClock().Now();
}

constexpr milliseconds LongestPoll{1000};

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

void Append(Slist& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown) {
    // `grown` heads the same nodes (it is the old head when there was one): keep them all.
    (void)list.release();
    list.reset(grown);
  }
}

std::string Trimmed(std::string_view text) {
  constexpr std::string_view Blank = " \t\r\n\v\f";
  const std::size_t begin = text.find_first_not_of(Blank);
  if (begin == std::string_view::npos) return {};
  return std::string(text.substr(begin, text.find_last_not_of(Blank) - begin + 1));
}

// What one transfer has seen so far; touched only by the thread running it.
struct TransferState {
  BodyBuffer* buffer = nullptr;
  // The buffer's size the page may fill up to: what it held before plus MaxBodyBytes.
  std::size_t bufferLimit = 0;
  std::size_t bodyBytes = 0;
  bool bodyCut = false;
  std::size_t headerBytes = 0;
  bool headersTooLarge = false;

  // The response whose headers are being read or whose body is arriving, its first non-empty
  // Location, its Retry-After, and the body size it declared (none when chunked).
  int status = 0;
  std::string location;
  std::optional<RetryAfter> retryAfter;
  std::optional<std::size_t> contentLength;
  bool chunked = false;
  // The request asks for the headers alone (HEAD): a declared size has no body behind it.
  bool headersOnly = false;
  // Its header block has ended and it is not a redirect being followed: its body is the page.
  bool finalResponse = false;

  // Idle limits, counted from the last byte that moved; zero for none.
  milliseconds receiveIdle{0};
  milliseconds sendIdle{0};
  bool connected = false;
  bool sending = false;  // the request body is still going out
  Clock::TimePoint lastActivity;
  curl_off_t uploaded = 0;

  bool aborted = false;
  bool timedOut = false;
  // The proxy the request went through refused it (its tunnel, its handshake, or a 407).
  bool proxyRefused = false;

  // The idle limit of the current direction, once connected; zero when there is none.
  milliseconds ActiveIdleLimit() const {
    if (!connected) return milliseconds(0);
    return sending ? sendIdle : receiveIdle;
  }

  bool IdleLimitPassed(Clock::TimePoint now) const {
    const milliseconds limit = ActiveIdleLimit();
    return limit.count() > 0 && now - lastActivity >= limit;
  }

  // How long the driving loop may wait before the idle limit needs checking.
  milliseconds PollWait(Clock::TimePoint now) const {
    milliseconds wait = LongestPoll;
    if (const milliseconds limit = ActiveIdleLimit(); limit.count() > 0) {
      const auto left = std::chrono::duration_cast<milliseconds>(lastActivity + limit - now);
      wait = std::min(wait, left + milliseconds(1));
    }
    return std::max(wait, milliseconds(1));
  }
};

// A Retry-After value: whole seconds, or an HTTP date; nothing for a value that is neither.
std::optional<RetryAfter> ParseRetryAfter(const std::string& value) {
  if (value.empty()) return std::nullopt;
  RetryAfter pause;
  if (value.find_first_not_of("0123456789") == std::string::npos) {
    // Beyond any pause anyone keeps; the caller caps it anyway.
    pause.delay = std::chrono::seconds(value.size() > 9 ? 999'999'999 : std::stoll(value));
    return pause;
  }
  const std::time_t when = curl_getdate(value.c_str(), nullptr);
  if (when == -1) return std::nullopt;
  pause.date = FromUnixSeconds(when);
  return pause;
}

// A Content-Length value: its decimal digits, saturating; nothing for a value that is not one.
std::optional<std::size_t> ParseContentLength(std::string_view value) {
  if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  constexpr std::size_t Largest = static_cast<std::size_t>(-1);
  std::size_t length = 0;
  for (const char digit : value) {
    const auto next = static_cast<std::size_t>(digit - '0');
    if (length > (Largest - next) / 10) return Largest;
    length = length * 10 + next;
  }
  return length;
}

// The final response declared its body's size: the buffer takes storage for all of it at once
// (within the page's bound and as far as the budget grants it) instead of growing step by step.
void ReserveDeclaredBody(TransferState& state) {
  if (state.headersOnly || state.chunked || !state.contentLength || *state.contentLength == 0 ||
      state.status == 204 || state.status == 304) {
    return;
  }
  const std::size_t size = state.buffer->Size();
  const std::size_t room = state.bufferLimit > size ? state.bufferLimit - size : 0;
  state.buffer->Reserve(size + std::min(*state.contentLength, room), state.bufferLimit);
}

// The response being read redirects, and the library follows such a redirect.
bool IsRedirect(const TransferState& state) {
  return state.status >= 300 && state.status < 400 && !state.location.empty();
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto& state = *static_cast<TransferState*>(user);
  const std::size_t n = size * count;
  state.lastActivity = WallNow();
  state.headerBytes += n;
  if (state.headerBytes > MaxHeaderBytes) {
    state.headersTooLarge = true;
    return 0;
  }
  const std::string_view line(data, n);
  if (line.starts_with("HTTP/")) {
    state.status = 0;
    const std::size_t space = line.find(' ');
    if (space != std::string_view::npos) {
      for (std::size_t i = space + 1; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        state.status = state.status * 10 + (line[i] - '0');
        if (state.status > 999) break;
      }
    }
    state.location.clear();
    state.retryAfter.reset();
    state.contentLength.reset();
    state.chunked = false;
    state.finalResponse = false;
  } else if (StartsWithIgnoringAsciiCase(line, "content-length:")) {
    state.contentLength = ParseContentLength(Trimmed(line.substr(15)));
  } else if (StartsWithIgnoringAsciiCase(line, "transfer-encoding:")) {
    state.chunked = true;
  } else if (StartsWithIgnoringAsciiCase(line, "retry-after:")) {
    state.retryAfter = ParseRetryAfter(Trimmed(line.substr(12)));
  } else if (StartsWithIgnoringAsciiCase(line, "location:")) {
    // An empty Location is no redirect, as the library ignores it.
    if (state.location.empty()) state.location = Trimmed(line.substr(9));
  } else if ((line == "\r\n" || line == "\n") && !state.finalResponse) {
    const bool followed = IsRedirect(state);
    state.finalResponse = state.status >= 200 && !followed;
    if (state.finalResponse) ReserveDeclaredBody(state);
  }
  return n;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto& state = *static_cast<TransferState*>(user);
  const std::size_t n = size * count;
  state.lastActivity = WallNow();
  if (!state.finalResponse) return n;  // the body of a redirect: not the page
  const std::size_t kept = state.buffer->Append({data, n}, state.bufferLimit);
  state.bodyBytes += kept;
  if (kept < n) {
    // Past the size bound of the page, or of all pages at once.
    state.bodyCut = true;
    return 0;  // ends the transfer
  }
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t uploadTotal, curl_off_t uploaded) {
  auto& state = *static_cast<TransferState*>(user);
  if (TransfersAborted()) {
    state.aborted = true;
    return 1;
  }
  const Clock::TimePoint now = WallNow();
  if (uploaded != state.uploaded) {
    state.uploaded = uploaded;
    state.lastActivity = now;
  }
  state.sending = uploadTotal > 0 && uploaded < uploadTotal;
  if (state.IdleLimitPassed(now)) {
    state.timedOut = true;
    return 1;
  }
  return 0;
}

// Called once a connection stands, before the request goes out; again after each redirect.
int OnConnected(void* user, char*, char*, int, int) {
  auto& state = *static_cast<TransferState*>(user);
  state.connected = true;
  state.lastActivity = WallNow();
  return CURL_PREREQFUNC_OK;
}

// Sets `method` and `body` on the handle, replacing what an earlier request of the same transfer
// set, and adds their headers to `headers`.
void SetMethodAndBody(CURL* easy, std::string_view requestMethod, std::string_view body,
                      Slist& headers) {
  // Giving no body makes the method POST; asking for GET afterwards undoes that and NOBODY.
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, static_cast<char*>(nullptr));
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{-1});
  curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);

  const std::string method(requestMethod.empty() ? "GET" : requestMethod);
  const bool hasBody = !body.empty();
  if (hasBody) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  }
  if (EqualsIgnoringAsciiCase(method, "POST")) {
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    if (!hasBody) curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
    Append(headers, "Content-Type: application/x-www-form-urlencoded");
    if (hasBody) Append(headers, "Content-Length: " + std::to_string(body.size()));
    Append(headers, "Cache-Control: no-cache");
    Append(headers, "Expect:");
  } else if (hasBody) {
    // A body on another method goes out as it is, without a form content type.
    Append(headers, "Content-Type:");
    Append(headers, "Expect:");
  }
  if (EqualsIgnoringAsciiCase(method, "HEAD")) curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  if (method != "GET" && method != "POST" && method != "HEAD") {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  } else if (method == "GET" && hasBody) {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "GET");
  }
}

// Sets the bounds that hold for each connection and stall; returns the bound of the whole transfer.
milliseconds SetBounds(CURL* easy, const TransferRequest& request, TransferState& state) {
  const long connect = request.connectTimeoutMs > 0
                           ? request.connectTimeoutMs
                           : static_cast<long>(DefaultConnectTimeout.count());
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connect);
  // Our own idle clock, not the library's low-speed check: that one averages the speed over
  // several seconds, so after a burst it ends a stalled transfer only well after the limit.
  state.receiveIdle =
      request.receiveTimeoutMs > 0 ? milliseconds(request.receiveTimeoutMs) : DefaultStall;
  if (request.sendTimeoutMs > 0) state.sendIdle = milliseconds(request.sendTimeoutMs);
  // The total bound stays unless the caller's own limits add up to more.
  const long given = static_cast<long>(std::max(request.connectTimeoutMs, 0)) +
                     std::max(request.sendTimeoutMs, 0) + std::max(request.receiveTimeoutMs, 0);
  return milliseconds(std::max(static_cast<long>(DefaultTotalTimeout.count()), given));
}

struct Performed {
  CURLcode result = CURLE_OK;
  bool abortedByLoop = false;
};

// Drives the transfer through the client's multi handle, so that AbortAllTransfers() can wake it
// and idle limits are checked when they fall due.
Performed Perform(CURL* easy, CURLM* multi, TransferState& state) {
  Performed performed;
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
    performed.result = CURLE_FAILED_INIT;
    return performed;
  }
  bool done = false;
  while (true) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
        performed.result = message->data.result;
        done = true;
      }
    }
    if (done || running == 0) break;
    if (TransfersAborted()) {
      performed.abortedByLoop = true;
      break;
    }
    const Clock::TimePoint now = WallNow();
    if (state.IdleLimitPassed(now)) {
      state.timedOut = true;
      break;
    }
    const int wait = static_cast<int>(state.PollWait(now).count());
    if (curl_multi_poll(multi, nullptr, 0, wait, nullptr) != CURLM_OK) break;
  }
  if (!done) {
    performed.result =
        performed.abortedByLoop || state.timedOut ? CURLE_ABORTED_BY_CALLBACK : CURLE_RECV_ERROR;
  }
  curl_multi_remove_handle(multi, easy);
  return performed;
}

// One request of a transfer.
struct Hop {
  std::string url;
  // The request target of the first request; empty on a redirect, which the library follows.
  std::string target;
  std::string method;
  std::string_view body;
  bool hostHeader = true;
  // The URL's scheme and host, which choose its proxy.
  std::string scheme;
  std::string host;
};

// The port a scheme's URLs name when they name none.
int DefaultPortOf(std::string_view scheme) {
  return EqualsIgnoringAsciiCase(scheme, "https") ? 443 : 80;
}

// The request line's target for an HTTP proxy: the whole URL, its port left out when it is the
// scheme's own, and `target` as the marketplace alone would get it.
std::string AbsoluteTarget(std::string_view scheme, std::string_view host, int port,
                           std::string_view target) {
  std::string absolute = AsciiLowercase(scheme) + "://";
  const bool bareIpv6 = host.find(':') != std::string_view::npos && !host.starts_with('[');
  absolute += bareIpv6 ? "[" + std::string(host) + "]" : std::string(host);
  if (port != 0 && port != DefaultPortOf(scheme)) absolute += ":" + std::to_string(port);
  absolute += target;
  return absolute;
}

// What the library writes for a proxy that takes requests besides the request line: at most its
// credentials (base64) and its connection header.
std::size_t ProxyHeadBytes(const ProxyUrl& proxy) {
  std::size_t bytes = std::string_view("Proxy-Connection: Keep-Alive\r\n").size();
  if (!proxy.userInfo.empty()) {
    bytes += std::string_view("Proxy-Authorization: Basic \r\n").size() +
             (proxy.userInfo.size() + 2) / 3 * 4;
  }
  return bytes;
}

// Sets where the connection of a request to `scheme`://`host` goes: through the proxy `proxies`
// choose for it, which is returned, or straight (to `connectTo`, the ConnectTo() list, when it
// holds an address).
const ProxyUrl* SetRoute(CURL* easy, const ProxySetting& proxies, std::string_view scheme,
                         std::string_view host, const Slist& connectTo) {
  const ProxyUrl* proxy = proxies.For(scheme, host);
  // No proxy is the empty one: the environment is then not asked either; the setting's own
  // choice is final, so no_proxy is never read by the library.
  const std::string url = proxy ? proxy->ForLibrary() : std::string();
  curl_easy_setopt(easy, CURLOPT_PROXY, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, proxy ? nullptr : connectTo.get());
  return proxy;
}

// Sets up the handle for `hop`, replacing `headers` with its header list.
void SetHop(CURL* easy, const TransferRequest& request, const Hop& hop, Slist& headers) {
  const bool first = !hop.target.empty();
  curl_easy_setopt(easy, CURLOPT_URL, hop.url.c_str());
  curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, first ? hop.target.c_str() : nullptr);
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, first ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, first ? 0L : 1L);
  // Only a redirect of the first request is followed here, and it counts as one.
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, MaxRedirects - 1);

  Slist hopHeaders;
  Append(hopHeaders, "Accept: */*");
  if (hop.hostHeader && !request.host.empty()) {
    Append(hopHeaders, "Host: " + std::string(request.host));
  }
  // A connection not to be kept is closed by the server once it has answered, as the request
  // asks: the server keeps nothing open for a request that will not come.
  if (!request.keepConnection) Append(hopHeaders, "Connection: close");
  SetMethodAndBody(easy, hop.method, hop.body, hopHeaders);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, hopHeaders.get());
  headers = std::move(hopHeaders);
}

// The request that follows a redirect with `status` from `hop` to `url`. After a 301, 302 or 303 a
// POST, or any request with a body, becomes a GET without body or form headers; HEAD stays HEAD.
Hop NextHop(const Hop& hop, std::string url, int status, std::string_view host) {
  Hop next;
  next.url = std::move(url);
  next.method = hop.method;
  next.body = hop.body;
  if (status == 301 || status == 302 || status == 303) {
    next.body = {};
    const bool posts = EqualsIgnoringAsciiCase(hop.method, "POST") || !hop.body.empty();
    if (posts && !EqualsIgnoringAsciiCase(hop.method, "HEAD")) next.method = "GET";
  }
  // As the library does on a redirect: the given Host header only while on the same host.
  const std::optional<UrlParts> parts = SplitUrl(next.url);
  next.hostHeader = parts && EqualsIgnoringAsciiCase(parts->host, host);
  if (parts) {
    next.scheme = parts->scheme;
    next.host = parts->host;
  }
  return next;
}

// The class of what went wrong, from what the transfer saw and how the library ended it.
TransportError ErrorOf(const TransferState& state, const Performed& performed, bool aborted) {
  if (aborted) return TransportError::Aborted;
  // The proxy did not let the request through: the marketplace was never reached.
  if (state.proxyRefused) return TransportError::ConnectRefused;
  if (state.headersTooLarge) return TransportError::HeadersTooLarge;
  if (state.bodyCut) return TransportError::BodyTooLarge;
  if (state.timedOut) return TransportError::SilenceTimeout;
  switch (performed.result) {
    case CURLE_OK:
      return TransportError::None;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return TransportError::NameLookup;
    case CURLE_COULDNT_CONNECT:
    case CURLE_PROXY:
      return TransportError::ConnectRefused;
    case CURLE_OPERATION_TIMEDOUT:
      return state.connected ? TransportError::SilenceTimeout : TransportError::ConnectTimeout;
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return TransportError::RedirectLimit;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_SSL_CONNECT_ERROR:
      return TransportError::Reset;
    default:
      return TransportError::Other;
  }
}

// Whether the proxy a request went through refused it rather than the marketplace answering:
// its tunnel was refused, or it asked for credentials it was not given.
bool ProxyRefused(CURL* easy, const TransferState& state, const Performed& performed,
                  const ProxyUrl& proxy) {
  long tunnel = 0;
  if (curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &tunnel) == CURLE_OK && tunnel >= 300) {
    return true;
  }
  return performed.result == CURLE_OK && proxy.TakesRequests() && state.finalResponse &&
         state.status == 407;
}

FetchOutcome DescribeOutcome(const TransferState& state, const Performed& performed,
                             const TransferOutcome& outcome) {
  FetchOutcome fetch;
  fetch.error = ErrorOf(state, performed, outcome.aborted);
  if (state.proxyRefused) return fetch;
  if (state.finalResponse || (state.status != 0 && IsRedirect(state))) fetch.status = state.status;
  fetch.retryAfter = state.retryAfter;
  return fetch;
}

}  // namespace

TransferOutcome RunTransfer(CURL* easy, CURLM* multi, const TransferRequest& request,
                            BodyBuffer& buffer) {
  TransferOutcome outcome;
  if (TransfersAborted()) {
    outcome.aborted = true;
    outcome.fetch.error = TransportError::Aborted;
    return outcome;
  }
  const std::size_t sizeBefore = buffer.Size();
  TransferState state;
  state.buffer = &buffer;
  state.bufferLimit = sizeBefore + MaxBodyBytes;
  state.headersOnly = EqualsIgnoringAsciiCase(request.method, "HEAD");
  const Clock::TimePoint started = WallNow();

  // Resetting the handle forgets the list of cookie files without freeing it; dropping the
  // cookie engine first releases it.
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, static_cast<char*>(nullptr));
  curl_easy_reset(easy);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  const std::string agent = UserAgent();
  curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  // A tunnel's own answer is the proxy's, not the page's: its headers are not the response's.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // Connections stay in the multi handle's cache for the next request to the same host, unless
  // the caller will not ask that host again (then the request also says so, see SetHop).
  curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, request.keepConnection ? 0L : 1L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &state);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &state);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &OnConnected);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, &state);
  const milliseconds totalBound = SetBounds(easy, request, state);

  Slist connectTo;
  if (const std::string target = ConnectTo(); !target.empty()) Append(connectTo, "::" + target);
  const ProxySetting proxies = Proxy();

  // The library would put a request target set on the handle on every request it follows as
  // well, so the first request alone carries it and is not followed by the library; a redirect
  // is taken up by a second request, with no target of its own, that the library follows on.
  const std::string originTarget =
      RequestTargetOf(request.requestPath.empty() ? "/" : request.requestPath);
  const std::optional<std::string> firstUrl = UrlWithTarget(request.url, originTarget);
  // A proxy that takes whole requests is told the whole URL of a request it forwards (an https
  // one goes through a tunnel, on which the request is the marketplace's own).
  const ProxyUrl* firstProxy = proxies.For(request.scheme, request.host);
  const bool forwarded =
      firstProxy && firstProxy->TakesRequests() && EqualsIgnoringAsciiCase(request.scheme, "http");
  const std::string firstTarget =
      forwarded ? AbsoluteTarget(request.scheme, request.host, request.port, originTarget)
                : originTarget;
  Hop hop{firstUrl.value_or(std::string()),
          firstTarget,
          std::string(request.method),
          request.body,
          true,
          std::string(request.scheme),
          std::string(request.host)};

  // What the library writes of the first request's head before its Cookie header.
  const std::size_t headBeforeCookies =
      std::max<std::size_t>(hop.method.size(), 3) + firstTarget.size() +
      std::string_view("  HTTP/1.1\r\nHost: \r\n").size() + request.host.size() +
      std::string_view("User-Agent: \r\n").size() + agent.size() +
      (forwarded ? ProxyHeadBytes(*firstProxy) : 0);
  const std::vector<std::string> loaded =
      PrepareCookies(easy, request.cookies, request.host, request.requestPath, headBeforeCookies);
  Slist headers;
  Performed performed;
  performed.result = CURLE_URL_MALFORMAT;
  for (bool first = true; firstUrl; first = false) {
    const milliseconds left =
        totalBound - std::chrono::duration_cast<milliseconds>(WallNow() - started);
    if (left.count() <= 0) {
      state.timedOut = true;
      performed.result = CURLE_OPERATION_TIMEDOUT;
      break;
    }
    if (TransfersAborted()) {
      performed.abortedByLoop = true;
      break;
    }
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
    SetHop(easy, request, hop, headers);
    const ProxyUrl* proxy = SetRoute(easy, proxies, hop.scheme, hop.host, connectTo);
    performed = Perform(easy, multi, state);
    if (proxy) state.proxyRefused = ProxyRefused(easy, state, performed, *proxy);
    if (!first || performed.result != CURLE_OK || !IsRedirect(state)) break;

    const std::optional<std::string> next = ResolveLocation(hop.url, state.location);
    if (!next) {
      performed.result = CURLE_URL_MALFORMAT;
      break;
    }
    hop = NextHop(hop, *next, state.status, request.host);
  }
  if (request.cookies) KeepCookies(easy, loaded);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, static_cast<curl_slist*>(nullptr));

  outcome.aborted = state.aborted || performed.abortedByLoop;
  outcome.timedOut =
      !outcome.aborted && (state.timedOut || performed.result == CURLE_OPERATION_TIMEDOUT);
  if (outcome.aborted || state.proxyRefused) {
    outcome.sent = false;
  } else if (performed.result == CURLE_OK || state.bodyCut) {
    outcome.sent = true;
  } else {
    // Ended early: a page whose headers arrived (and were not too large) counts as read, cut
    // short where it stopped.
    outcome.sent = !state.headersTooLarge && state.finalResponse;
  }
  if (!outcome.sent) buffer.Truncate(sizeBefore);
  outcome.fetch = DescribeOutcome(state, performed, outcome);
  return outcome;
}

}  // namespace shopwalk::net
