// A demo marketplace on loopback: serves the synthetic shops of shop_pages for any shop ID, so
// shopwalk can be tried without the real marketplace (see scripts/demo).
//
//   demo_marketplace [PORT]   listens on 127.0.0.1:PORT (0 or none: a free port) and prints
//                             "PORT <n>" on its first line of output.
#include <httplib.h>

#include <pthread.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "collect/marketplace.h"
#include "tests/support/shop_pages.h"

namespace {

// cpp-httplib listens with a queue of 5 connections; twenty workers connecting at once would see
// connections dropped and retried a second later. This widens the queue once bound.
class WideBacklogServer : public httplib::Server {
 public:
  void WidenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
};

// The Host header without a port.
std::string HostOf(const httplib::Request& request) {
  std::string host = request.get_header_value("Host");
  if (auto colon = host.find(':'); colon != std::string::npos) host.resize(colon);
  return host;
}

// The shop ID of a host "shop<ID>.<domain>".
std::optional<std::int32_t> ShopIdOf(const std::string& host) {
  const std::string suffix = "." + std::string(shopwalk::MarketplaceDomain);
  if (host.size() <= 4 + suffix.size() || host.compare(0, 4, "shop") != 0 ||
      host.compare(host.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return std::nullopt;
  }
  const std::string digits = host.substr(4, host.size() - 4 - suffix.size());
  char* end = nullptr;
  const long long id = std::strtoll(digits.c_str(), &end, 10);
  if (end != digits.c_str() + digits.size() || id < INT32_MIN || id > INT32_MAX) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(id);
}

void Serve(const httplib::Request& request, httplib::Response& response) {
  using namespace shopwalk::pages;
  const std::string host = HostOf(request);
  constexpr const char* ContentType = "text/html; charset=gbk";

  if (const auto id = ShopIdOf(host)) {
    const auto shop = DemoShop(*id);
    response.set_content(shop ? HomePage(*shop) : NoShopPage(*id), ContentType);
    return;
  }
  if (host == RatingHost()) {
    // Rating pages are slower, as a busy server's are.
    thread_local std::minstd_rand random(std::random_device{}());
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 46));
    if (const auto shop = DemoShopByRatingPath(request.path)) {
      response.set_content(RatingPage(*shop), ContentType);
      return;
    }
  }
  response.status = 404;
  response.set_content("<html><body>404 Not Found</body></html>", "text/html");
}

}  // namespace

int main(int argc, char** argv) {
  const int port = argc > 1 ? std::atoi(argv[1]) : 0;
  // SIGINT and SIGTERM end the server cleanly: a thread waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  WideBacklogServer svr;
  svr.new_task_queue = [] { return new httplib::ThreadPool(32); };
  svr.Get(".*", Serve);

  const int bound = port > 0 ? (svr.bind_to_port("127.0.0.1", port) ? port : -1)
                             : svr.bind_to_any_port("127.0.0.1");
  if (bound <= 0) {
    std::fprintf(stderr, "demo_marketplace: cannot listen on 127.0.0.1:%d\n", port);
    return 1;
  }
  svr.WidenBacklog();
  std::printf("PORT %d\n", bound);
  std::fflush(stdout);
  std::thread([&svr, stopSignals] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    svr.stop();
  }).detach();
  svr.listen_after_bind();
  return 0;
}
