// The stop sequence, run by every task that starts after Stop.
#include "collect/collector.h"
#include "workers/locks.h"
#include "workers/threads.h"

namespace shopwalk {

void Collector::ShutDownRun() {
  run_.WorkerPool.Stop();

  // Several workers may get here at once: only the one that takes the handle ends the
  // dispatcher. It leaves by itself, submitting nothing after the pass it is in.
  if (ThreadHandle dispatcher = run_.DispatcherThread.exchange(0); dispatcher != 0) {
    TerminateThread(dispatcher);
    CloseThreadHandle(dispatcher);
  }

  DeleteLock(run_.ResultLock.load());

  ui_.FreezeRunControls();
}

}  // namespace shopwalk
