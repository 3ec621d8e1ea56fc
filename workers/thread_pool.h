// A pool of worker threads that runs queued tasks first in, first out.
//
// The object is a pool variable: it holds at most one pool at a time. Create starts a pool of N
// workers (0 means 20; a negative count creates none); Submit queues a task and never blocks; Stop
// refuses further tasks and lets the workers leave once every task queued before it has run,
// without waiting for them; the last worker to leave ends the pool. Every operation is safe to
// call from any thread, including from a task running on the pool.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/clock.h"

namespace shopwalk {

// A task routine with its two 32-bit parameters.
using PoolTask = std::function<void(std::int32_t first, std::int32_t second)>;

class ThreadPool {
 public:
  enum class State { None, Running, Stopping, Ended };

  ThreadPool();
  // Does not wait: workers still running keep what they need and end on their own.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Starts a pool of `threadCount` workers (0 means 20) and returns the number started. A pool
  // that is running or stopping stays as it is and its started count is returned; an ended pool
  // is replaced. A negative count, or a pool of which no worker could start, leaves no pool and
  // returns 0.
  int Create(int threadCount);

  // Queues `task` with its parameters; false (and the task is dropped) unless the pool is running
  // and the task is not empty.
  bool Submit(PoolTask task, std::int32_t first = 0, std::int32_t second = 0);

  // Running pool: refuse further tasks, and let each worker leave after the tasks queued before
  // this call. Anything else: nothing. Never waits.
  void Stop();

  State CurrentState() const;
  // Workers started by the current pool, 0 when there is none.
  int StartedThreads() const;
  // Waits until the current pool has ended (or there is none); false when `timeout` has passed
  // on `clock` first.
  bool WaitEnded(std::chrono::milliseconds timeout, Clock& clock = RealClock()) const;

 private:
  struct Record;
  mutable std::shared_ptr<Record> record_;  // guarded by an internal mutex
  struct Guard;
  std::unique_ptr<Guard> guard_;
};

}  // namespace shopwalk
