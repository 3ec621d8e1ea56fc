#include "net/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <new>
#include <thread>

#include "net/fatal_error.h"
#include "net/transfer.h"
#include "net/transfer_abort.h"
#include "net/url_parts.h"
#include "net/web_access.h"

namespace shopwalk {
namespace {

constexpr const char* CrossThreadUse = "WEB客户不能跨线程使用。";

}  // namespace

struct HttpClient::Impl {
  std::thread::id owner = std::this_thread::get_id();
  CURL* easy = nullptr;
  CURLM* multi = nullptr;

  bool opened = false;
  std::string url;
  std::string scheme;
  std::string host;
  std::string requestPath;
  std::string method;
  int port = 0;

  bool cookies = true;
  bool keepConnections = true;
  net::BodyBuffer buffer;

  void CheckOwner() const {
    if (std::this_thread::get_id() != owner) net::FailWithUsageError(CrossThreadUse);
  }

  ~Impl() {
    if (multi) {
      net::UnregisterAbortWaker(multi);
      curl_multi_cleanup(multi);
    }
    if (easy) curl_easy_cleanup(easy);
  }
};

HttpClient::HttpClient() = default;
HttpClient::~HttpClient() = default;

std::unique_ptr<HttpClient> HttpClient::Create() {
  if (!net::EnsureCurlInitialised()) return nullptr;
  std::unique_ptr<HttpClient> client(new (std::nothrow) HttpClient());
  if (!client) return nullptr;
  client->impl_.reset(new (std::nothrow) Impl());
  if (!client->impl_) return nullptr;
  Impl& impl = *client->impl_;
  impl.easy = curl_easy_init();
  impl.multi = curl_multi_init();
  if (!impl.easy || !impl.multi) return nullptr;
  net::RegisterAbortWaker(impl.multi);
  return client;
}

bool HttpClient::Open(std::string_view method, std::string_view url) {
  impl_->CheckOwner();
  auto parts = net::SplitUrl(url);
  if (!parts) return false;
  impl_->url.assign(url);
  impl_->scheme = std::move(parts->scheme);
  impl_->host = std::move(parts->host);
  impl_->requestPath = net::RequestPathOf(url);
  impl_->port = parts->port;
  impl_->method.assign(method);
  // A large page's storage goes back here, once the caller has moved on from it.
  impl_->buffer.Clear();
  impl_->opened = true;
  return true;
}

SendResult HttpClient::Send(std::string_view body, int connectTimeoutMs, int sendTimeoutMs,
                            int receiveTimeoutMs) {
  impl_->CheckOwner();
  SendResult result;
  result.outcome = FetchOutcome{0, TransportError::Other, std::nullopt};
  if (!impl_->opened) return result;
  net::TransferRequest request;
  request.url = impl_->url;
  request.scheme = impl_->scheme;
  request.port = impl_->port;
  request.host = impl_->host;
  request.requestPath = impl_->requestPath;
  request.method = impl_->method;
  request.body = body;
  request.cookies = impl_->cookies;
  request.keepConnection = impl_->keepConnections;
  request.connectTimeoutMs = connectTimeoutMs;
  request.sendTimeoutMs = sendTimeoutMs;
  request.receiveTimeoutMs = receiveTimeoutMs;
  const net::TransferOutcome outcome =
      net::RunTransfer(impl_->easy, impl_->multi, request, impl_->buffer);
  result.sent = outcome.sent;
  result.aborted = outcome.aborted;
  result.timedOut = outcome.timedOut;
  result.outcome = outcome.fetch;
  return result;
}

FetchResult HttpClient::Fetch(const FetchRequest& request) {
  impl_->CheckOwner();
  FetchResult result;
  if (!Open(request.method, request.url)) {
    result.outcome = FetchOutcome{0, TransportError::BadUrl, std::nullopt};
    return result;
  }
  static_cast<SendResult&>(result) =
      Send(request.body, request.connectTimeoutMs, request.sendTimeoutMs, request.receiveTimeoutMs);
  const std::string_view bytes = impl_->buffer.View();
  result.page = impl_->buffer.Take(std::min(bytes.size(), bytes.find('\0')));
  return result;
}

bool HttpClient::CookiesEnabled(std::optional<bool> enabled) {
  if (enabled) impl_->cookies = *enabled;
  return impl_->cookies;
}

bool HttpClient::KeepsConnections(std::optional<bool> keep) {
  if (keep) impl_->keepConnections = *keep;
  return impl_->keepConnections;
}

std::string HttpClient::ResponseText() const {
  const std::string_view bytes = impl_->buffer.View();
  return std::string(bytes.substr(0, bytes.find('\0')));
}

std::string_view HttpClient::ResponseBytes() const {
  return impl_->buffer.View();
}

const std::string& HttpClient::Url() const {
  return impl_->url;
}
const std::string& HttpClient::Host() const {
  return impl_->host;
}
const std::string& HttpClient::RequestPath() const {
  return impl_->requestPath;
}
int HttpClient::Port() const {
  return impl_->port;
}

}  // namespace shopwalk
