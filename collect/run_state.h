// The state a collection run shares between the window's thread, the dispatcher and the workers.
#pragma once

#include <atomic>
#include <cstdint>

#include "workers/locks.h"
#include "workers/thread_pool.h"
#include "workers/threads.h"

namespace shopwalk {

struct RunState {
  // NOLINTBEGIN(readability-identifier-naming): the shared run state is named in CamelCase on
  // purpose, so a read of it stands out from locals wherever the engine touches it.
  // Set by Stop, cleared by Start; every collection task reads it once, at its start.
  std::atomic<std::int32_t> StopRequested{0};
  // The pool the dispatcher submits collection tasks to.
  ThreadPool WorkerPool;
  // The dispatcher of the current run; 0 once the stop sequence has ended it.
  std::atomic<ThreadHandle> DispatcherThread{0};
  // Serialises the rating fetch, the row append and the status texts across workers, under the
  // window's engine policy (EnginePolicy::ratingUnderLock).
  std::atomic<LockHandle> ResultLock{0};
  // NOLINTEND(readability-identifier-naming)
};

}  // namespace shopwalk
