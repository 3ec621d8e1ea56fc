#include "workers/thread_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "base/contained_error.h"

namespace shopwalk {
namespace {

constexpr int DefaultThreadCount = 20;
// The largest count whose table of 4-byte thread handles still fits a 32-bit byte count; a larger
// count cannot be created.
constexpr int MaxThreadCount = 0x3FFFFFFF;

// One queued item. An empty task is a stop packet: the worker that takes it leaves.
struct Packet {
  PoolTask task;
  std::int32_t first = 0;
  std::int32_t second = 0;
};

}  // namespace

// One pool. Every worker holds it through a shared_ptr, so it outlives the pool variable for as
// long as any worker still runs.
struct ThreadPool::Record {
  std::mutex mutex;
  std::condition_variable queued;  // a packet was queued
  std::condition_variable ended;   // the last worker left
  std::deque<Packet> queue;        // first in, first out
  State state = State::Running;
  int started = 0;
  int left = 0;

  // A worker's life: run packets until a stop packet; the last worker to leave ends the pool.
  void Work();
};

// Guards the pool variable itself: Create, Submit and Stop may come from different threads.
struct ThreadPool::Guard {
  std::mutex mutex;
};

ThreadPool::ThreadPool() : guard_(std::make_unique<Guard>()) {}

// The workers of a running pool are told to leave once the tasks already queued have run; nothing
// waits for them.
ThreadPool::~ThreadPool() {
  Stop();
}

int ThreadPool::Create(int threadCount) {
  std::lock_guard lock(guard_->mutex);
  if (record_) {
    std::lock_guard poolLock(record_->mutex);
    if (record_->state == State::Running || record_->state == State::Stopping) {
      return record_->started;
    }
  }
  record_.reset();  // an ended pool is replaced
  if (threadCount < 0 || threadCount > MaxThreadCount) return 0;
  if (threadCount == 0) threadCount = DefaultThreadCount;

  auto pool = std::make_shared<Record>();
  for (int i = 0; i < threadCount; ++i) {
    try {
      std::thread([pool] { pool->Work(); }).detach();
    } catch (const std::system_error&) {
      // Out of threads: further attempts would fail the same way, and a huge count would keep
      // trying for a very long time. Run with what has started.
      break;
    }
    std::lock_guard poolLock(pool->mutex);
    ++pool->started;
  }
  // No worker can leave before Stop, and Stop cannot reach this pool before it is stored below.
  if (pool->started == 0) return 0;
  record_ = pool;
  return pool->started;
}

bool ThreadPool::Submit(PoolTask task, std::int32_t first, std::int32_t second) {
  if (!task) return false;
  std::lock_guard lock(guard_->mutex);
  if (!record_) return false;
  std::lock_guard poolLock(record_->mutex);
  if (record_->state != State::Running) return false;
  record_->queue.push_back(Packet{std::move(task), first, second});
  record_->queued.notify_one();
  return true;
}

void ThreadPool::Stop() {
  std::lock_guard lock(guard_->mutex);
  if (!record_) return;
  std::lock_guard poolLock(record_->mutex);
  if (record_->state != State::Running) return;
  record_->state = State::Stopping;
  for (int i = 0; i < record_->started; ++i) record_->queue.push_back(Packet{});
  record_->queued.notify_all();
}

ThreadPool::State ThreadPool::CurrentState() const {
  std::lock_guard lock(guard_->mutex);
  if (!record_) return State::None;
  std::lock_guard poolLock(record_->mutex);
  return record_->state;
}

int ThreadPool::StartedThreads() const {
  std::lock_guard lock(guard_->mutex);
  if (!record_) return 0;
  std::lock_guard poolLock(record_->mutex);
  return record_->started;
}

bool ThreadPool::WaitEnded(std::chrono::milliseconds timeout, Clock& clock) const {
  std::shared_ptr<Record> pool;
  {
    std::lock_guard lock(guard_->mutex);
    pool = record_;
  }
  if (!pool) return true;
  std::unique_lock poolLock(pool->mutex);
  return clock.WaitFor(poolLock, pool->ended, timeout, [&] { return pool->state == State::Ended; });
}

void ThreadPool::Record::Work() {
  for (;;) {
    Packet packet;
    {
      std::unique_lock lock(mutex);
      queued.wait(lock, [&] { return !queue.empty(); });
      packet = std::move(queue.front());
      queue.pop_front();
    }
    if (!packet.task) break;
    try {
      packet.task(packet.first, packet.second);
    } catch (...) {
      // A task that throws is dropped; the worker goes on with the next one.
      ReportContainedError("worker task");
    }
  }

  std::deque<Packet> leftover;  // destroyed outside the lock: a task's captures may use the pool
  std::lock_guard lock(mutex);
  if (++left == started) {
    state = State::Ended;
    leftover.swap(queue);
    ended.notify_all();
  }
}

}  // namespace shopwalk
