#include "tests/support/test_marketplace.h"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "base/ascii.h"
#include "tests/support/page_answer.h"

namespace shopwalk::test {
namespace {

// Requests a kept-alive connection may carry before the server closes it.
constexpr std::size_t KeepAliveRequests = 1000;

bool SameName(std::string_view a, std::string_view b) {
  return EqualsIgnoringAsciiCase(a, b);
}

// The Host header without a port.
std::string HostOf(const std::string& hostHeader) {
  std::string host = hostHeader;
  const std::size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos) host.resize(colon);
  return AsciiLowercase(host);
}

// A request target in the absolute form a proxy forwards ("http://HOST[:PORT]/PATH"): the host
// it names with its port, and the path and query from there ("/" when none). Nothing for a target
// in the usual form.
std::optional<std::pair<std::string, std::string>> SplitAbsoluteTarget(const std::string& target) {
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (!StartsWithIgnoringAsciiCase(target, scheme)) continue;
    const std::size_t hostStart = scheme.size();
    const std::size_t pathStart = std::min(target.find_first_of("/?", hostStart), target.size());
    std::string path = target.substr(pathStart);
    if (path.empty() || path.front() == '?') path.insert(0, "/");
    return std::make_pair(target.substr(hostStart, pathStart - hostStart), std::move(path));
  }
  return std::nullopt;
}

// The kernel's ID of the calling thread.
pid_t ThisThread() {
  return static_cast<pid_t>(::gettid());
}

// Thread IDs, filled by the threads themselves.
class ThreadIds {
 public:
  void AddThisThread() {
    std::lock_guard lock(mutex_);
    ids_.insert(ThisThread());
  }
  std::vector<pid_t> All() const {
    std::lock_guard lock(mutex_);
    return {ids_.begin(), ids_.end()};
  }

 private:
  mutable std::mutex mutex_;
  std::set<pid_t> ids_;
};

// The server's pool of threads, each serving one connection at a time, counting the connections
// it is given and those it has finished with, and noting the threads that served one.
class CountingQueue : public httplib::TaskQueue {
 public:
  CountingQueue(std::size_t threads, std::atomic<std::size_t>& accepted,
                std::atomic<std::size_t>& closed, std::atomic<std::size_t>& waiting,
                ThreadIds& serving)
      : pool_(threads),
        accepted_(accepted),
        closed_(closed),
        waiting_(waiting),
        serving_(serving) {}

  void enqueue(std::function<void()> serve) override {
    ++accepted_;
    ++waiting_;
    pool_.enqueue([this, serve = std::move(serve)] {
      serving_.AddThisThread();
      --waiting_;
      serve();
      ++closed_;
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  std::atomic<std::size_t>& accepted_;
  std::atomic<std::size_t>& closed_;
  std::atomic<std::size_t>& waiting_;
  ThreadIds& serving_;
};

// The library listens with a backlog of 5, so a burst of connections from many workers would
// see SYNs dropped and retried a second later; this widens the queue once bound.
class WideBacklogServer : public httplib::Server {
 public:
  void WidenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
};

}  // namespace

void AnswerGate::Open() {
  {
    std::lock_guard lock(mutex_);
    open_ = true;
  }
  opened_.notify_all();
}

void AnswerGate::Close() {
  std::lock_guard lock(mutex_);
  open_ = false;
}

bool AnswerGate::IsOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

std::size_t AnswerGate::Held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

void AnswerGate::Pass(const std::function<bool()>& stopped) {
  std::unique_lock lock(mutex_);
  ++held_;
  while (!open_ && !stopped()) opened_.wait_for(lock, std::chrono::milliseconds(10));
  --held_;
}

std::size_t RecordedRequest::HeaderCount(std::string_view name) const {
  std::size_t count = 0;
  for (const auto& header : headers) count += SameName(header.first, name) ? 1 : 0;
  return count;
}

std::string RecordedRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (SameName(key, name)) return value;
  }
  return {};
}

struct TestMarketplace::Server {
  WideBacklogServer http;
  std::thread listener;
  int port = 0;
  std::shared_ptr<StopSignal> stop = std::make_shared<StopSignal>();
  ThreadIds threads;

  mutable std::mutex mutex;
  const Clock* clock = nullptr;
  // Requests being handled or answered, by the client's port (see Busy), and the one a connection
  // carries now with when it came (a connection carries one request at a time).
  std::map<int, std::size_t> busyByPort;
  struct Carried {
    std::size_t index = 0;
    std::uint64_t generation = 0;
    std::chrono::steady_clock::time_point came;
  };
  std::map<int, Carried> carried;
  std::size_t busy = 0;
  // Counts up with every ClearRequests, so an answer noted after one goes nowhere.
  std::uint64_t generation = 0;
  mutable std::condition_variable recorded;
  std::map<std::pair<std::string, std::string>, Page> pages;
  // Shared with the calls under way, so that replacing it can wait for them.
  std::shared_ptr<const Generator> generator;
  std::condition_variable generated;  // a call of a generator has ended
  Page fallback;
  std::vector<RecordedRequest> requests;
  std::vector<RecordedAnswer> answers;
  // Requests in flight and the most at once, by host without port; "" holds every host together.
  std::map<std::string, std::size_t> inFlight;
  std::map<std::string, std::size_t> mostInFlight;
  // Connections accepted and closed since the start; ClearRequests moves the baseline.
  std::atomic<std::size_t> accepted{0};
  std::atomic<std::size_t> closed{0};
  std::atomic<std::size_t> waiting{0};
  std::size_t acceptedBefore = 0;

  // Counts a request to `host` into or out of flight (the caller holds `mutex`).
  void CountInFlight(const std::string& host, bool entering) {
    for (const std::string& key : {std::string(), host}) {
      std::size_t& count = inFlight[key];
      count = entering ? count + 1 : count - 1;
      mostInFlight[key] = std::max(mostInFlight[key], count);
      if (host.empty()) break;
    }
  }

  // The page for a request, chosen under the lock, so tables may change while it is answered.
  Page PageFor(const std::string& host, const std::string& target) {
    std::shared_ptr<const Generator> generate;
    {
      std::lock_guard lock(mutex);
      if (auto found = pages.find({host, target}); found != pages.end()) return found->second;
      const std::string path = target.substr(0, target.find('?'));
      if (auto found = pages.find({host, path}); found != pages.end()) return found->second;
      generate = generator;
    }
    std::optional<Page> page;
    if (generate) {
      page = (*generate)(host, target);
      generate.reset();
      { std::lock_guard lock(mutex); }
      generated.notify_all();
    }
    if (page) return std::move(*page);
    std::lock_guard lock(mutex);
    return fallback;
  }

  void Handle(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest record;
    record.method = request.method;
    record.host = request.get_header_value("Host");
    record.path = request.target.empty() ? request.path : request.target;
    // A forwarded request names its host in the URL, which goes before the Host header.
    std::optional<std::string> urlHost;
    if (auto absolute = SplitAbsoluteTarget(record.path)) {
      urlHost = std::move(absolute->first);
      record.path = std::move(absolute->second);
      record.absoluteForm = true;
      if (record.host.empty()) record.host = *urlHost;
    }
    record.cookie = request.get_header_value("Cookie");
    record.body = request.body;
    record.clientPort = request.remote_port;
    for (const auto& header : request.headers) record.headers.push_back(header);
    const std::string host = HostOf(urlHost.value_or(record.host));
    const std::string target = record.path;
    std::size_t index = 0;
    std::uint64_t recordedIn = 0;
    {
      std::lock_guard lock(mutex);
      if (clock != nullptr) record.at = clock->Now();
      index = requests.size();
      recordedIn = generation;
      requests.push_back(std::move(record));
      CountInFlight(host, true);
      ++busyByPort[request.remote_port];
      ++busy;
      carried[request.remote_port] = Carried{index, recordedIn, std::chrono::steady_clock::now()};
    }
    recorded.notify_all();
    // Out of flight however the answer is chosen, before the server starts sending it.
    struct OutOfFlightOnReturn {
      Server& server;
      const std::string& host;
      ~OutOfFlightOnReturn() {
        std::lock_guard lock(server.mutex);
        server.CountInFlight(host, false);
      }
    } outOfFlight{*this, host};
    const Page page = PageFor(host, target);
    {
      std::lock_guard lock(mutex);
      if (generation == recordedIn && index < requests.size()) {
        RecordedRequest& answered = requests[index];
        answered.answerStatus = page.status;
        answered.answer = page.misbehaviour;
        for (const auto& [name, value] : page.headers) {
          if (SameName(name, "Retry-After")) answered.retryAfter = value;
        }
      }
    }
    if (page.gate) page.gate->Pass([this] { return stop->Raised(); });
    AnswerWithPage(page, request, response, stop);
    const bool whole = !stop->Raised() && (page.misbehaviour == Misbehaviour::None ||
                                           page.misbehaviour == Misbehaviour::StallBeforeAnswer);
    {
      std::lock_guard lock(mutex);
      answers.push_back(RecordedAnswer{host, target, response.status, whole});
    }
    recorded.notify_all();
  }

  // The answer to a request from `port` has been sent (or its sending failed).
  void AnswerSent(int port) {
    std::lock_guard lock(mutex);
    const auto found = busyByPort.find(port);
    // Requests the server answered without the handler (a malformed one) were never counted.
    if (found == busyByPort.end()) return;
    if (--found->second == 0) busyByPort.erase(found);
    --busy;
    if (const auto request = carried.find(port); request != carried.end()) {
      const Carried& answered = request->second;
      if (answered.generation == generation && answered.index < requests.size()) {
        requests[answered.index].answeredIn = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - answered.came);
      }
      carried.erase(request);
    }
  }
};

TestMarketplace::TestMarketplace() : TestMarketplace(Options{}) {}

TestMarketplace::TestMarketplace(Options options) : server_(std::make_unique<Server>()) {
  Server& server = *server_;
  server.fallback.status = 404;
  server.fallback.contentType = "text/html";
  server.fallback.body = "<html><body>404 Not Found</body></html>";

  WideBacklogServer& http = server.http;
  http.new_task_queue = [&server, serverThreads = options.serverThreads] {
    return new CountingQueue(std::max<std::size_t>(serverThreads, 1), server.accepted,
                             server.closed, server.waiting, server.threads);
  };
  // Called once the answer has been written, whatever became of the writing.
  http.set_logger([&server](const httplib::Request& request, const httplib::Response&) {
    server.AnswerSent(request.remote_port);
  });
  http.set_tcp_nodelay(true);
  http.set_keep_alive_timeout(options.keepAlive.count());
  http.set_keep_alive_max_count(KeepAliveRequests);
  http.set_read_timeout(2, 0);
  const auto handler = [&server](const httplib::Request& request, httplib::Response& response) {
    server.Handle(request, response);
  };
  http.Get(".*", handler);
  http.Post(".*", handler);
  http.Put(".*", handler);
  http.Patch(".*", handler);
  http.Delete(".*", handler);
  http.Options(".*", handler);

  server.port = http.bind_to_any_port("127.0.0.1");
  if (server.port <= 0) throw std::runtime_error("test marketplace: cannot listen on 127.0.0.1");
  http.WidenBacklog();
  server.listener = std::thread([&server, &http] {
    server.threads.AddThisThread();
    http.listen_after_bind();
  });
  // stop() only works once the server runs; the socket already listens, so clients may connect.
  while (!http.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestMarketplace::~TestMarketplace() {
  server_->stop->Raise();
  server_->http.stop();
  server_->listener.join();
}

int TestMarketplace::Port() const {
  return server_->port;
}

std::string TestMarketplace::ConnectAddress() const {
  return "127.0.0.1:" + std::to_string(server_->port);
}

void TestMarketplace::SetPage(const std::string& host, const std::string& path, Page page) {
  std::lock_guard lock(server_->mutex);
  server_->pages[{AsciiLowercase(host), path}] = std::move(page);
}

void TestMarketplace::RemovePage(const std::string& host, const std::string& path) {
  std::lock_guard lock(server_->mutex);
  server_->pages.erase({AsciiLowercase(host), path});
}

void TestMarketplace::SetFallbackGenerator(Generator generator) {
  std::unique_lock lock(server_->mutex);
  std::shared_ptr<const Generator> replaced = std::move(server_->generator);
  if (generator) server_->generator = std::make_shared<const Generator>(std::move(generator));
  // No call of the generator replaced is under way once this returns.
  server_->generated.wait(lock, [&] { return !replaced || replaced.use_count() == 1; });
}

void TestMarketplace::SetFallbackPage(Page page) {
  std::lock_guard lock(server_->mutex);
  server_->fallback = std::move(page);
}

std::vector<RecordedRequest> TestMarketplace::Requests() const {
  std::lock_guard lock(server_->mutex);
  return server_->requests;
}

std::vector<RecordedRequest> TestMarketplace::RequestsTo(const std::string& host) const {
  const std::string wanted = HostOf(host);
  std::lock_guard lock(server_->mutex);
  std::vector<RecordedRequest> found;
  for (const RecordedRequest& request : server_->requests) {
    if (HostOf(request.host) == wanted) found.push_back(request);
  }
  return found;
}

std::size_t TestMarketplace::RequestCount() const {
  std::lock_guard lock(server_->mutex);
  return server_->requests.size();
}

void TestMarketplace::SetClock(const Clock* clock) {
  std::lock_guard lock(server_->mutex);
  server_->clock = clock;
}

std::size_t TestMarketplace::Busy() const {
  std::lock_guard lock(server_->mutex);
  return server_->busy;
}

std::size_t TestMarketplace::WaitingConnections() const {
  return server_->waiting.load();
}

std::vector<pid_t> TestMarketplace::ServerThreads() const {
  return server_->threads.All();
}

void TestMarketplace::ClearRequests() {
  std::lock_guard lock(server_->mutex);
  ++server_->generation;
  server_->requests.clear();
  server_->answers.clear();
  server_->mostInFlight = server_->inFlight;
  server_->acceptedBefore = server_->accepted.load();
}

bool TestMarketplace::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(server_->mutex);
  return server_->recorded.wait_for(lock, timeout,
                                    [&] { return server_->requests.size() >= count; });
}

std::vector<RecordedAnswer> TestMarketplace::Answers() const {
  std::lock_guard lock(server_->mutex);
  return server_->answers;
}

bool TestMarketplace::WaitForAnswers(
    const std::string& host, std::size_t count, std::chrono::milliseconds timeout,
    const std::function<bool(const RecordedAnswer&)>& which) const {
  const std::string wanted = HostOf(host);
  std::unique_lock lock(server_->mutex);
  return server_->recorded.wait_for(lock, timeout, [&] {
    std::size_t found = 0;
    for (const RecordedAnswer& answer : server_->answers) {
      if ((wanted.empty() || answer.host == wanted) && (!which || which(answer))) ++found;
    }
    return found >= count;
  });
}

std::size_t TestMarketplace::InFlight(const std::string& host) const {
  std::lock_guard lock(server_->mutex);
  const auto found = server_->inFlight.find(HostOf(host));
  return found == server_->inFlight.end() ? 0 : found->second;
}

std::size_t TestMarketplace::ConnectionCount() const {
  std::lock_guard lock(server_->mutex);
  return server_->accepted.load() - server_->acceptedBefore;
}

std::size_t TestMarketplace::OpenConnections() const {
  // Closed is read first: a connection closed in between is counted as open, never the other
  // way round.
  const std::size_t closed = server_->closed.load();
  return server_->accepted.load() - closed;
}

std::size_t TestMarketplace::ConnectionsUsed(const std::string& host) const {
  const std::string wanted = HostOf(host);
  std::lock_guard lock(server_->mutex);
  std::set<int> ports;
  for (const RecordedRequest& request : server_->requests) {
    if (wanted.empty() || HostOf(request.host) == wanted) ports.insert(request.clientPort);
  }
  return ports.size();
}

std::size_t TestMarketplace::MostInFlight(const std::string& host) const {
  std::lock_guard lock(server_->mutex);
  const auto found = server_->mostInFlight.find(HostOf(host));
  return found == server_->mostInFlight.end() ? 0 : found->second;
}

}  // namespace shopwalk::test
