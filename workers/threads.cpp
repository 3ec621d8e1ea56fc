#include "workers/threads.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "workers/end_wait.h"

namespace shopwalk {
namespace {

// What a started thread and the holders of its handle share. The thread keeps it alive until its
// routine has returned; the handle registry keeps it alive while the handle is open.
struct ThreadRecord {
  std::mutex mutex;
  std::condition_variable changed;  // end requested, or routine returned
  std::atomic<bool> endRequested{false};
  bool finished = false;  // guarded by mutex
};

// Open handles. Allocated once and never destroyed: detached threads may still use it while the
// process is ending.
struct HandleRegistry {
  std::mutex mutex;
  std::unordered_map<ThreadHandle, std::shared_ptr<ThreadRecord>> open;
  std::uint64_t next = 1;  // handles are never reused; 0 names none
};

HandleRegistry& Registry() {
  static HandleRegistry* registry = new HandleRegistry;
  return *registry;
}

std::shared_ptr<ThreadRecord> Find(ThreadHandle handle) {
  if (handle == 0) return nullptr;
  HandleRegistry& registry = Registry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.open.find(handle);
  return it == registry.open.end() ? nullptr : it->second;
}

// The record of the calling thread, null on threads not started by StartThread. The thread's own
// body holds the record for as long as the pointer is set.
thread_local ThreadRecord* currentRecord = nullptr;

void RunThread(const std::shared_ptr<ThreadRecord>& record, const ThreadRoutine& routine,
               std::int32_t parameter) {
  currentRecord = record.get();
  try {
    routine(parameter);
  } catch (...) {
    // A routine that throws ends its thread, not the process.
  }
  currentRecord = nullptr;
  std::lock_guard lock(record->mutex);
  record->finished = true;
  record->changed.notify_all();
}

}  // namespace

bool StartThread(ThreadRoutine routine, std::int32_t parameter, ThreadHandle* handle) {
  if (handle != nullptr) *handle = 0;
  if (!routine) return false;
  auto record = std::make_shared<ThreadRecord>();

  ThreadHandle newHandle = 0;
  if (handle != nullptr) {
    HandleRegistry& registry = Registry();
    std::lock_guard lock(registry.mutex);
    if (registry.next > UINT32_MAX) return false;  // every handle has been given out
    newHandle = static_cast<ThreadHandle>(registry.next++);
    registry.open.emplace(newHandle, record);
  }

  try {
    std::thread([record, routine = std::move(routine), parameter] {
      RunThread(record, routine, parameter);
    }).detach();
  } catch (const std::system_error&) {
    if (newHandle != 0) {
      HandleRegistry& registry = Registry();
      std::lock_guard lock(registry.mutex);
      registry.open.erase(newHandle);
    }
    return false;
  }
  if (handle != nullptr) *handle = newHandle;
  return true;
}

bool TerminateThread(ThreadHandle handle) {
  std::shared_ptr<ThreadRecord> record = Find(handle);
  if (!record) return false;
  std::lock_guard lock(record->mutex);
  record->endRequested = true;
  record->changed.notify_all();
  return true;
}

bool CloseThreadHandle(ThreadHandle handle) {
  if (handle == 0) return false;
  std::shared_ptr<ThreadRecord> record;  // released outside the registry lock
  HandleRegistry& registry = Registry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.open.find(handle);
  if (it == registry.open.end()) return false;
  record = std::move(it->second);
  registry.open.erase(it);
  return true;
}

bool ThreadEndRequested() {
  return currentRecord != nullptr && currentRecord->endRequested.load();
}

bool WaitThreadEnded(ThreadHandle handle, std::chrono::milliseconds timeout) {
  std::shared_ptr<ThreadRecord> record = Find(handle);
  if (!record) return false;
  std::unique_lock lock(record->mutex);
  return record->changed.wait_for(lock, timeout, [&] { return record->finished; });
}

namespace internal {

bool WaitUntilOrEndRequested(std::chrono::steady_clock::time_point until) {
  ThreadRecord* record = currentRecord;
  if (record == nullptr) {
    std::this_thread::sleep_until(until);
    return false;
  }
  std::unique_lock lock(record->mutex);
  return record->changed.wait_until(lock, until, [&] { return record->endRequested.load(); });
}

}  // namespace internal
}  // namespace shopwalk
