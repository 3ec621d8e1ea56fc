// The web client against a plain libcurl loop, both fetching a 100 KiB page from the local test
// marketplace: 2,000 create-Open-Send-ResponseText-destroy cycles on one thread, then the same
// spread over 20 threads. Prints requests per second and client CPU milliseconds per request
// (CPU of the fetching threads only; the server's is left out). Target: the client within 10%
// of the plain loop.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/http_client.h"
#include "net/web_access.h"
#include "tests/support/test_marketplace.h"

namespace {

using namespace shopwalk;

constexpr int Requests = 2000;
constexpr int Threads = 20;
constexpr int Rounds = 5;
constexpr const char* Url = "http://shop1.bench.test/";
constexpr const char* Agent =
    "Mozilla/5.0 (Windows; U; Windows NT 6.1; en-US) AppleWebKit/534.10 (KHTML, like Gecko) "
    "Chrome/7.0.536.2 Safari/534.10";
constexpr std::size_t PageBytes = 100 * 1024;

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::atomic<int> g_wrongPages{0};

void CheckPage(std::size_t size) {
  if (size != PageBytes) ++g_wrongPages;
}

void ClientCycle() {
  auto client = HttpClient::Create();
  client->Open("GET", Url);
  client->Send();
  const std::string text = client->ResponseText();
  benchmark::DoNotOptimize(text.data());
  CheckPage(text.size());
}

std::size_t AppendBody(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}
std::size_t CountHeader(char*, std::size_t size, std::size_t count, void* user) {
  *static_cast<std::size_t*>(user) += size * count;
  return size * count;
}
int NoProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return 0;
}

// One easy handle per request with the options the client sets.
void PlainCycle(const std::string& connectTo) {
  CURL* easy = curl_easy_init();
  std::string body;
  std::size_t headerBytes = 0;
  curl_slist* headers = curl_slist_append(nullptr, "Accept: */*");
  headers = curl_slist_append(headers, "Host: shop1.bench.test");
  curl_slist* redirect = curl_slist_append(nullptr, ("::" + connectTo).c_str());
  curl_easy_setopt(easy, CURLOPT_URL, Url);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_USERAGENT, Agent);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, redirect);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROXY, "");
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 60'000L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 30L);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 120'000L);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &NoProgress);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &AppendBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CountHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &headerBytes);
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
  curl_easy_perform(easy);
  curl_easy_cleanup(easy);
  curl_slist_free_all(headers);
  curl_slist_free_all(redirect);
  const std::string text = body.substr(0, body.find('\0'));
  benchmark::DoNotOptimize(text.data());
  CheckPage(text.size());
}

struct Figures {
  double requestsPerSecond = 0;
  double cpuMsPerRequest = 0;
};

// Runs Requests cycles spread over `threads` threads.
Figures Measure(int threads, const std::function<void()>& cycle) {
  std::atomic<int> next{0};
  std::vector<double> cpu(threads, 0.0);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      const double before = ThreadCpuSeconds();
      while (next.fetch_add(1) < Requests) cycle();
      cpu[t] = ThreadCpuSeconds() - before;
    });
  }
  for (auto& worker : workers) worker.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double cpuTotal = 0;
  for (double c : cpu) cpuTotal += c;
  return {Requests / seconds, cpuTotal * 1000.0 / Requests};
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  if (!InitWebAccess()) return 1;
  test::TestMarketplace market;
  test::Page page;
  page.body.assign(PageBytes, 'x');
  market.SetPage("shop1.bench.test", "/", page);
  SetConnectTo(market.ConnectAddress());
  const std::string connectTo = market.ConnectAddress();
  const auto plain = [&] { PlainCycle(connectTo); };

  std::printf("%d requests of a %zu KiB page, median of %d rounds\n", Requests, PageBytes / 1024,
              Rounds);
  std::printf("%-20s %7s %11s %9s %14s %9s\n", "", "threads", "requests/s", "vs plain",
              "CPU ms/request", "vs plain");
  for (int threads : {1, Threads}) {
    Measure(threads, plain);  // warm-up
    std::vector<double> plainRate, plainCpu, clientRate, clientCpu;
    for (int round = 0; round < Rounds; ++round) {
      const Figures p = Measure(threads, plain);
      const Figures c = Measure(threads, ClientCycle);
      plainRate.push_back(p.requestsPerSecond);
      plainCpu.push_back(p.cpuMsPerRequest);
      clientRate.push_back(c.requestsPerSecond);
      clientCpu.push_back(c.cpuMsPerRequest);
    }
    const double pr = Median(plainRate), pc = Median(plainCpu);
    const double cr = Median(clientRate), cc = Median(clientCpu);
    std::printf("%-20s %7d %11.0f %9s %14.3f %9s\n", "plain libcurl loop", threads, pr, "", pc, "");
    std::printf("%-20s %7d %11.0f %+8.1f%% %14.3f %+8.1f%%\n", "HttpClient", threads, cr,
                (cr / pr - 1.0) * 100.0, cc, (cc / pc - 1.0) * 100.0);
  }
  if (g_wrongPages.load() != 0) {
    std::printf("FAILED: %d responses were not the whole page\n", g_wrongPages.load());
    return 1;
  }
  return 0;
}
