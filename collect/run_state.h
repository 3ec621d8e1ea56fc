// The state a collection run shares between the window's thread, the dispatcher and the workers.
#pragma once

#include <atomic>
#include <cstdint>

#include "workers/locks.h"
#include "workers/thread_pool.h"
#include "workers/threads.h"

namespace shopwalk {

struct RunState {
  // Set by Stop, cleared by Start; every collection task reads it once, at its start.
  std::atomic<std::int32_t> StopRequested{0};
  // The pool the dispatcher submits collection tasks to.
  ThreadPool WorkerPool;
  // The dispatcher of the current run; 0 once the stop sequence has ended it.
  std::atomic<ThreadHandle> DispatcherThread{0};
  // Serialises the rating fetch, the row append and the status texts across workers.
  std::atomic<LockHandle> ResultLock{0};
};

}  // namespace shopwalk
