#include "workers/threads.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "base/contained_error.h"
#include "workers/end_wait.h"
#include "workers/handle_table.h"

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
internal::HandleTable<ThreadRecord>& Registry() {
  static auto* registry = new internal::HandleTable<ThreadRecord>;
  return *registry;
}

// The record of the calling thread, null on threads not started by StartThread. The thread's own
// body holds the record for as long as the pointer is set.
thread_local ThreadRecord* g_currentRecord = nullptr;

void RunThread(const std::shared_ptr<ThreadRecord>& record, const ThreadRoutine& routine,
               std::int32_t parameter) {
  g_currentRecord = record.get();
  try {
    routine(parameter);
  } catch (...) {
    // A routine that throws ends its thread, not the process.
    ReportContainedError("thread routine");
  }
  g_currentRecord = nullptr;
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
    newHandle = Registry().Add(record);
    if (newHandle == 0) return false;  // every handle has been given out
  }

  try {
    std::thread([record, routine = std::move(routine), parameter] {
      RunThread(record, routine, parameter);
    }).detach();
  } catch (const std::system_error&) {
    if (newHandle != 0) Registry().Take(newHandle);
    return false;
  }
  if (handle != nullptr) *handle = newHandle;
  return true;
}

bool TerminateThread(ThreadHandle handle) {
  std::shared_ptr<ThreadRecord> record = Registry().Find(handle);
  if (!record) return false;
  std::lock_guard lock(record->mutex);
  record->endRequested = true;
  record->changed.notify_all();
  return true;
}

bool CloseThreadHandle(ThreadHandle handle) {
  return Registry().Take(handle) != nullptr;
}

bool ThreadEndRequested() {
  return g_currentRecord != nullptr && g_currentRecord->endRequested.load();
}

bool WaitThreadEnded(ThreadHandle handle, std::chrono::milliseconds timeout, Clock& clock) {
  std::shared_ptr<ThreadRecord> record = Registry().Find(handle);
  if (!record) return false;
  std::unique_lock lock(record->mutex);
  return clock.WaitFor(lock, record->changed, timeout, [&] { return record->finished; });
}

namespace internal {

bool WaitUntilOrEndRequested(Clock& clock, Clock::TimePoint until) {
  ThreadRecord* record = g_currentRecord;
  if (record == nullptr) {
    clock.SleepUntil(until);
    return false;
  }
  std::unique_lock lock(record->mutex);
  return clock.WaitUntil(lock, record->changed, until, [&] { return record->endRequested.load(); });
}

}  // namespace internal
}  // namespace shopwalk
