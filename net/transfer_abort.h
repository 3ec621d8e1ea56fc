// Aborting every transfer at once, when the program closes.
#pragma once

#include <curl/curl.h>

namespace shopwalk {

// Aborts every transfer in flight and every later one until ResetTransferAbort(). Safe from any
// thread.
void AbortAllTransfers();
bool TransfersAborted();
void ResetTransferAbort();

namespace net {

// A multi handle registered here is woken (curl_multi_wakeup) whenever every transfer is
// aborted, so a transfer waiting for data notices at once. Unregister before cleaning it up.
void RegisterAbortWaker(CURLM* multi);
void UnregisterAbortWaker(CURLM* multi);

}  // namespace net
}  // namespace shopwalk
