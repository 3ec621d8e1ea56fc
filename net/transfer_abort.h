// Waking transfers that wait for data so they notice AbortAllTransfers() at once.
#pragma once

#include <curl/curl.h>

namespace shopwalk::net {

// A multi handle registered here is woken (curl_multi_wakeup) whenever every transfer is
// aborted. Unregister before cleaning it up.
void RegisterAbortWaker(CURLM* multi);
void UnregisterAbortWaker(CURLM* multi);

}  // namespace shopwalk::net
