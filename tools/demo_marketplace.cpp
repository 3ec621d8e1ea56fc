// A demo marketplace on loopback: serves the synthetic shops of shop_pages for any shop ID, so
// shopwalk can be tried without the real marketplace (see scripts/demo).
//
//   demo_marketplace [PORT] [--change KIND FROM_ID]
//                             listens on 127.0.0.1:PORT (0 or none: a free port) and prints
//                             "PORT <n>" on its first line of output. With --change, the pages of
//                             shop IDs from FROM_ID on change as a marketplace's do when it
//                             redesigns its site (KIND: layout, rating-layout, verification,
//                             utf8, notice), to watch a walk notice that its markers stopped
//                             matching.
//   demo_marketplace --pages DIR FIRST LAST
//                             writes the pages it serves for shop IDs FIRST to LAST as files, for
//                             a static web server: DIR/shop/<ID>.html (the home page, or the page
//                             of a shop that does not exist), DIR/rate/user-rate-u<ID>.htm (the
//                             rating page, for shops that link to one), and DIR/requests.txt, the
//                             requests a walk over those IDs makes ("HOST TARGET" a line, in
//                             order).
//
// The server answers every request on a thread of a pool, and a connection kept alive between
// requests holds its thread while it waits for the next one. So clients that keep connections
// alive are served without queueing: shop hosts, each asked once, close their connection with
// the answer ("Connection: close"), so a client does not park an idle connection on a thread for
// every shop; the rating host, shared by all shops, keeps connections for many requests; the pool
// has room for the kept connections of several walks at once; an idle connection is closed after
// two seconds; and answers go out without waiting on Nagle's algorithm. Rating pages answer after
// 5 to 50 ms, as a busy server's do.
#include <httplib.h>

#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "collect/marketplace.h"
#include "tests/support/shop_pages.h"

namespace {

// Connections served at once. Each connection a client keeps alive holds one, and so does each
// rating page while it waits out its latency.
constexpr std::size_t ServerThreads = 256;
// A kept-alive connection that stays silent this long is closed (whole seconds).
constexpr time_t KeepAliveSeconds = 2;
// Requests one connection may carry before the server closes it.
constexpr std::size_t KeepAliveRequests = 100'000;

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

// The page change served (none unless asked for); set before the server starts.
shopwalk::pages::PageChange g_change;

void Serve(const httplib::Request& request, httplib::Response& response) {
  using namespace shopwalk::pages;
  const std::string host = HostOf(request);
  constexpr const char* ContentType = "text/html; charset=gbk";

  if (g_change.kind != PageChange::Kind::None) {
    const bool rating = host == RatingHost();
    if (rating) {
      thread_local std::minstd_rand random(std::random_device{}());
      std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 46));
    }
    if (const auto page = ChangedDemoPage(host, request.path, g_change)) {
      response.set_content(page->body, page->contentType);
      if (!rating) response.set_header("Connection", "close");
      return;
    }
  } else if (const auto id = ShopIdOfHost(host)) {
    const auto shop = DemoShop(*id);
    response.set_content(shop ? HomePage(*shop) : NoShopPage(*id), ContentType);
    // No second request comes for this host: the client need not keep the connection.
    response.set_header("Connection", "close");
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

bool WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

// A shop ID argument: a whole number in the 32-bit range.
std::optional<std::int32_t> ParseShopId(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

// The page change named `name` from shop ID `from` on; nothing for an unknown name.
std::optional<shopwalk::pages::PageChange> ChangeOfName(std::string_view name, std::int32_t from) {
  using shopwalk::pages::PageChange;
  PageChange change;
  change.fromId = from;
  if (name == "layout") {
    change.kind = PageChange::Kind::Layout;
  } else if (name == "rating-layout") {
    change.kind = PageChange::Kind::Layout;
    change.home = false;
    change.rating = true;
  } else if (name == "verification") {
    change.kind = PageChange::Kind::Verification;
  } else if (name == "utf8") {
    change.kind = PageChange::Kind::Utf8;
  } else if (name == "notice") {
    change.kind = PageChange::Kind::RewordedNotice;
  } else {
    return std::nullopt;
  }
  return change;
}

// --pages DIR FIRST LAST: the pages of shop IDs FIRST to LAST as files. 0 on success.
int WritePages(const std::filesystem::path& dir, std::int32_t first, std::int32_t last) {
  using namespace shopwalk::pages;
  std::error_code error;
  std::filesystem::create_directories(dir / "shop", error);
  if (!error) std::filesystem::create_directories(dir / "rate", error);
  if (error) {
    std::fprintf(stderr, "demo_marketplace: cannot make %s: %s\n", dir.c_str(),
                 error.message().c_str());
    return 1;
  }
  std::ofstream requests(dir / "requests.txt", std::ios::trunc);
  for (std::int64_t id = first; id <= last; ++id) {
    const auto shopId = static_cast<std::int32_t>(id);
    const std::optional<Shop> shop = DemoShop(shopId);
    const std::string name = std::to_string(shopId);
    if (!WriteFile(dir / "shop" / (name + ".html"), shop ? HomePage(*shop) : NoShopPage(shopId))) {
      std::fprintf(stderr, "demo_marketplace: cannot write the pages under %s\n", dir.c_str());
      return 1;
    }
    requests << ShopHost(shopId) << " /\n";
    if (!shop || !shop->hasRatingLink) continue;
    const std::string path = RatingPath(*shop);
    const std::string file = path.substr(1, path.find('?') - 1);
    if (!WriteFile(dir / "rate" / file, RatingPage(*shop))) {
      std::fprintf(stderr, "demo_marketplace: cannot write the pages under %s\n", dir.c_str());
      return 1;
    }
    // A walk asks for a shop's rating page only when its home page has a messenger name.
    if (shop->hasMessenger) requests << RatingHost() << " " << path << "\n";
  }
  if (!requests.flush()) {
    std::fprintf(stderr, "demo_marketplace: cannot write %s\n", (dir / "requests.txt").c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--pages") == 0) {
    const std::optional<std::int32_t> first = argc == 5 ? ParseShopId(argv[3]) : std::nullopt;
    const std::optional<std::int32_t> last = argc == 5 ? ParseShopId(argv[4]) : std::nullopt;
    if (!first || !last || *last < *first) {
      std::fprintf(stderr, "usage: demo_marketplace --pages DIR FIRST LAST (FIRST <= LAST)\n");
      return 2;
    }
    return WritePages(argv[2], *first, *last);
  }
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--change") == 0) {
      const std::optional<std::int32_t> from =
          i + 2 < argc ? ParseShopId(argv[i + 2]) : std::nullopt;
      const std::optional<shopwalk::pages::PageChange> change =
          from ? ChangeOfName(argv[i + 1], *from) : std::nullopt;
      if (!change) {
        std::fprintf(stderr,
                     "usage: demo_marketplace [PORT] [--change layout|rating-layout|"
                     "verification|utf8|notice FROM_ID]\n");
        return 2;
      }
      g_change = *change;
      i += 2;
    } else {
      port = std::atoi(argv[i]);
    }
  }
  // SIGINT and SIGTERM end the server cleanly: a thread waits for them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  WideBacklogServer svr;
  svr.new_task_queue = [] { return new httplib::ThreadPool(ServerThreads); };
  // The header block and the body go out in separate writes; with Nagle's algorithm the body of
  // an answer on a kept-alive connection would wait for the client's delayed acknowledgement of
  // the headers (some 40 ms).
  svr.set_tcp_nodelay(true);
  svr.set_keep_alive_timeout(KeepAliveSeconds);
  svr.set_keep_alive_max_count(KeepAliveRequests);
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
