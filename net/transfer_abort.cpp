#include "net/transfer_abort.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace shopwalk {
namespace {

std::atomic<bool> g_aborted{false};
std::mutex g_wakersMutex;
std::vector<CURLM*> g_wakers;

}  // namespace

namespace net {

void RegisterAbortWaker(CURLM* multi) {
  std::lock_guard lock(g_wakersMutex);
  g_wakers.push_back(multi);
}

void UnregisterAbortWaker(CURLM* multi) {
  std::lock_guard lock(g_wakersMutex);
  std::erase(g_wakers, multi);
}

}  // namespace net

void AbortAllTransfers() {
  g_aborted.store(true);
  std::lock_guard lock(g_wakersMutex);
  for (CURLM* multi : g_wakers) curl_multi_wakeup(multi);
}

bool TransfersAborted() {
  return g_aborted.load();
}

void ResetTransferAbort() {
  g_aborted.store(false);
}

}  // namespace shopwalk
