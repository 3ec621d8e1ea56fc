// The most libcurl can do on this machine with the requests of a walk: no engine, no parsing, no
// store, only transfers. Each loop is one thread driving one multi handle with a number of
// transfers at once; home pages go out on a connection of their own with "Connection: close",
// rating pages reuse kept connections, as the command line's engine does. Its figure beside
// wrk's shows how much of wrk's rate any walk built on libcurl can reach here.
//
//   bench_curl_ceiling REQUESTS_FILE CONNECT_TO_ADDRESS [LOOPS] [TRANSFERS_PER_LOOP]
//
// REQUESTS_FILE holds "HOST TARGET" lines (demo_marketplace --pages writes it); every request
// goes to CONNECT_TO_ADDRESS (HOST:PORT, e.g. 127.0.0.1:8080) with its own Host. Prints the
// requests a second, the IDs a second they amount to (home pages are one per ID), and the CPU.
#include <curl/curl.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Request {
  std::string url;
  bool home = false;  // a shop's home page: a new connection, closed after the answer
};

std::vector<Request> ReadRequests(const char* path) {
  std::vector<Request> requests;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string host, target;
    if (!(fields >> host >> target)) continue;
    requests.push_back({"http://" + host + target, host.rfind("shop", 0) == 0});
  }
  return requests;
}

std::size_t CountBytes(char*, std::size_t size, std::size_t count, void* total) {
  *static_cast<std::size_t*>(total) += size * count;
  return size * count;
}

struct LoopResult {
  std::size_t done = 0;
  std::size_t failed = 0;
  std::size_t bytes = 0;
};

// Sends `requests` with `transfers` at once from one multi handle.
LoopResult RunLoop(const std::vector<Request>& requests, const std::string& connectTo,
                   int transfers) {
  LoopResult result;
  CURLM* multi = curl_multi_init();
  curl_slist* connect = curl_slist_append(nullptr, ("::" + connectTo).c_str());
  curl_slist* close = curl_slist_append(nullptr, "Connection: close");
  std::vector<CURL*> idle;
  for (int i = 0; i < transfers; ++i) idle.push_back(curl_easy_init());
  std::size_t next = 0;
  auto start = [&] {
    CURL* easy = idle.back();
    idle.pop_back();
    const Request& request = requests[next++];
    curl_easy_reset(easy);
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connect);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, CountBytes);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &result.bytes);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    if (request.home) {
      curl_easy_setopt(easy, CURLOPT_HTTPHEADER, close);
      curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    }
    curl_multi_add_handle(multi, easy);
  };
  while (next < requests.size() && !idle.empty()) start();
  while (result.done < requests.size()) {
    int running = 0;
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      long status = 0;
      curl_easy_getinfo(message->easy_handle, CURLINFO_RESPONSE_CODE, &status);
      if (message->data.result != CURLE_OK || status != 200) ++result.failed;
      curl_multi_remove_handle(multi, message->easy_handle);
      idle.push_back(message->easy_handle);
      ++result.done;
      if (next < requests.size()) start();
    }
    if (result.done < requests.size()) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
  }
  for (CURL* easy : idle) curl_easy_cleanup(easy);
  curl_slist_free_all(close);
  curl_slist_free_all(connect);
  curl_multi_cleanup(multi);
  return result;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s REQUESTS_FILE HOST:PORT [LOOPS] [TRANSFERS_PER_LOOP]\n",
                 argv[0]);
    return 2;
  }
  const std::vector<Request> requests = ReadRequests(argv[1]);
  const int loops = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
  const int transfers = argc > 4 ? std::max(1, std::atoi(argv[4])) : 20;
  std::size_t homes = 0;
  for (const Request& request : requests) homes += request.home ? 1 : 0;
  if (requests.empty() || homes == 0) {
    std::fprintf(stderr, "%s: no requests in %s\n", argv[0], argv[1]);
    return 1;
  }
  curl_global_init(CURL_GLOBAL_ALL);

  // Each loop sends every loops-th request, so each has the same mix.
  std::vector<std::vector<Request>> shares(static_cast<std::size_t>(loops));
  for (std::size_t i = 0; i < requests.size(); ++i)
    shares[i % shares.size()].push_back(requests[i]);
  std::vector<LoopResult> results(shares.size());
  const double cpuBefore = CpuSeconds();
  const auto began = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < shares.size(); ++i) {
      threads.emplace_back([&, i] { results[i] = RunLoop(shares[i], argv[2], transfers); });
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const double cpu = CpuSeconds() - cpuBefore;
  LoopResult total;
  for (const LoopResult& result : results) {
    total.done += result.done;
    total.failed += result.failed;
    total.bytes += result.bytes;
  }
  std::printf(
      "%d loop(s) x %d transfers: %zu requests in %.3f s, %.0f requests/s, %.0f IDs/s, "
      "%.1f us CPU per request, %zu failed\n",
      loops, transfers, total.done, seconds, static_cast<double>(total.done) / seconds,
      static_cast<double>(homes) / seconds, cpu * 1e6 / static_cast<double>(total.done),
      total.failed);
  curl_global_cleanup();
  return total.failed == 0 ? 0 : 1;
}
