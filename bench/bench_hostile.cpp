// The web client against hostile pages: 20 client threads fetch for a few seconds from the local
// test marketplace, each request as a collection task makes it (a new client, Open, Send, the page
// copied out as text, the client destroyed), while every page
//  - sets 50 new cookies of 3.9 KB for the whole site,
//  - sets 50 new cookies of 3.9 KB for its own host (every request a new host), or
//  - sends a body that never ends.
// Prints for each: peak RSS (VmHWM) and RSS after the run, requests per second, client CPU per
// request (CPU of the fetching threads only, early and late in the run), how the requests ended,
// the cookie store, and the most the response buffers held together.
// Targets: peak RSS under 256 MB with every worker on an endless page; CPU per request as flat
// late in the run as early.
//
//   bench_hostile [SECONDS_PER_CASE] [--default-malloc]
//     SECONDS_PER_CASE  default 8
//     --default-malloc  skips InitWebAccess (and so its allocator settings), for comparison
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "net/body_buffer.h"
#include "net/cookie_jar.h"
#include "net/fetch_outcome.h"
#include "net/http_client.h"
#include "net/web_access.h"
#include "tests/support/test_marketplace.h"

namespace {

using namespace shopwalk;
using Clock = std::chrono::steady_clock;

constexpr int Threads = 20;
constexpr int CookiesPerPage = 50;
constexpr std::size_t CookieValueBytes = 3900;
constexpr std::string_view Domain = "hostile.test";

// A figure of /proc/self/status in MB ("VmHWM", "VmRSS").
double StatusMb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field + ":"))
      return std::strtod(line.c_str() + field.size() + 1, nullptr) / 1024.0;
  }
  return 0;
}

// Starts the peak RSS afresh from the current RSS.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

double ThreadCpuSeconds(pthread_t thread) {
  clockid_t clock{};
  timespec now{};
  if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &now) != 0) return 0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

enum class Hostility { SiteCookies, HostCookies, EndlessBodies };

const char* NameOf(Hostility hostility) {
  switch (hostility) {
    case Hostility::SiteCookies:
      return "50 cookies of 3.9 KB for the site on every page";
    case Hostility::HostCookies:
      return "50 cookies of 3.9 KB for the host on every page (every page a new host)";
    case Hostility::EndlessBodies:
      return "an endless body on every page";
  }
  return "";
}

// Serves every page with `hostility`; cookie names never repeat.
void Misbehave(test::TestMarketplace& market, Hostility hostility) {
  auto serial = std::make_shared<std::atomic<long>>(0);
  market.SetFallbackGenerator([hostility, serial](const std::string&,
                                                  const std::string&) -> std::optional<test::Page> {
    test::Page page;
    page.body = "<html>hostile</html>";
    if (hostility == Hostility::EndlessBodies) {
      page.misbehaviour = test::Misbehaviour::EndlessBody;
      return page;
    }
    const long n = serial->fetch_add(1);
    const std::string value(CookieValueBytes, 'v');
    const std::string scope = hostility == Hostility::SiteCookies
                                  ? "; Domain=" + std::string(Domain) + "; Path=/"
                                  : "; Path=/";
    for (int i = 0; i < CookiesPerPage; ++i) {
      page.headers.emplace_back(
          "Set-Cookie", "k" + std::to_string(n) + "_" + std::to_string(i) + "=" + value + scope);
    }
    return page;
  });
}

struct Sample {
  double cpu = 0;
  long requests = 0;
};

void RunCase(test::TestMarketplace& market, Hostility hostility, int seconds) {
  Misbehave(market, hostility);
  net::CookieJar::Process().Clear();
  const double rssBefore = StatusMb("VmRSS");
  ResetPeak();

  std::atomic<bool> stop{false};
  std::atomic<long> requests{0};
  std::atomic<long> nextShop{0};
  std::atomic<std::size_t> pageBytes{0};
  std::mutex endingsMutex;
  std::map<std::string, long> endings;
  std::vector<std::thread> workers;
  for (int t = 0; t < Threads; ++t) {
    workers.emplace_back([&] {
      std::map<std::string, long> mine;
      while (!stop.load()) {
        auto client = HttpClient::Create();
        const std::string url =
            "http://shop" + std::to_string(nextShop.fetch_add(1)) + "." + std::string(Domain) + "/";
        const FetchResult fetched = client->Fetch({.url = url});
        const std::string_view page = fetched.page.View();
        const FetchOutcome& outcome = fetched.outcome;
        ++mine[outcome.Answered() ? "answered" : std::string(TransportErrorName(outcome.error))];
        requests.fetch_add(1);
        pageBytes.fetch_add(page.size());
      }
      std::lock_guard lock(endingsMutex);
      for (const auto& [name, count] : mine) endings[name] += count;
    });
  }

  auto sample = [&] {
    Sample s;
    for (auto& worker : workers) s.cpu += ThreadCpuSeconds(worker.native_handle());
    s.requests = requests.load();
    return s;
  };
  const Clock::time_point start = Clock::now();
  const Clock::duration length = std::chrono::seconds(seconds);
  std::vector<Sample> quarters{sample()};
  std::size_t mostBudget = 0;
  for (int quarter = 1; quarter <= 4; ++quarter) {
    while (Clock::now() - start < length * quarter / 4) {
      mostBudget = std::max(mostBudget, net::BodyBudget::Process().InUse());
      // The marketplace's log of requests is no part of the client's memory.
      market.ClearRequests();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    quarters.push_back(sample());
  }
  stop = true;
  for (auto& worker : workers) worker.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  auto cpuMsPerRequest = [&](const Sample& from, const Sample& to) {
    const long n = to.requests - from.requests;
    return n > 0 ? (to.cpu - from.cpu) * 1000.0 / static_cast<double>(n) : 0.0;
  };
  const Sample& first = quarters.front();
  const Sample& last = quarters.back();
  std::printf("\n%s\n", NameOf(hostility));
  std::printf("  peak RSS %.0f MB, RSS after %.0f MB (before %.0f MB)\n", StatusMb("VmHWM"),
              StatusMb("VmRSS"), rssBefore);
  std::printf("  %.1f requests/s, %.2f CPU ms/request (first quarter %.2f, last quarter %.2f)\n",
              static_cast<double>(last.requests) / elapsed, cpuMsPerRequest(first, last),
              cpuMsPerRequest(quarters[0], quarters[1]), cpuMsPerRequest(quarters[3], quarters[4]));
  std::printf("  ended:");
  for (const auto& [name, count] : endings) std::printf(" %s %ld;", name.c_str(), count);
  std::printf(" pages of %.2f MB on average\n",
              last.requests > 0 ? static_cast<double>(pageBytes.load()) / (1 << 20) /
                                      static_cast<double>(last.requests)
                                : 0.0);
  std::printf(
      "  cookie store %zu cookies, %.1f KB; response buffers held at most %.1f MB "
      "together (budget %zu MB), %.1f MB now\n",
      net::CookieJar::Process().Size(),
      static_cast<double>(net::CookieJar::Process().Bytes()) / 1024.0,
      static_cast<double>(mostBudget) / (1 << 20), net::BodyBudget::Process().Limit() >> 20,
      static_cast<double>(net::BodyBudget::Process().InUse()) / (1 << 20));
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 8;
  bool defaultMalloc = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--default-malloc") {
      defaultMalloc = true;
    } else {
      seconds = std::max(1, std::atoi(argv[i]));
    }
  }
  if (defaultMalloc) {
    if (!net::EnsureCurlInitialised()) return 1;
  } else if (!InitWebAccess()) {
    return 1;
  }
  test::TestMarketplace market;
  SetConnectTo(market.ConnectAddress());
  std::printf("%d client threads, %d s per case%s; RSS at start %.0f MB\n", Threads, seconds,
              defaultMalloc ? ", allocator left at its defaults" : "", StatusMb("VmRSS"));
  for (Hostility hostility :
       {Hostility::SiteCookies, Hostility::HostCookies, Hostility::EndlessBodies}) {
    RunCase(market, hostility, seconds);
  }
  return 0;
}
