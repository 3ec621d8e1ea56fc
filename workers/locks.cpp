#include "workers/locks.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "workers/handle_table.h"

namespace shopwalk {
namespace {

// One lock. Threads that are entering or leaving it hold the record, so deleting the lock only
// unregisters it and marks it deleted; the record goes away with its last user.
struct LockRecord {
  std::mutex mutex;
  std::condition_variable released;  // the holder let go, or the lock was deleted
  std::thread::id holder;            // none while free
  std::uint64_t depth = 0;           // re-entries by the holder
  int waiting = 0;                   // threads blocked in EnterLock
  bool deleted = false;
};

// Live locks. Allocated once and never destroyed: threads still running while the process ends
// may use it.
internal::HandleTable<LockRecord>& Registry() {
  static auto* registry = new internal::HandleTable<LockRecord>;
  return *registry;
}

}  // namespace

LockHandle CreateLock() {
  return Registry().Add(std::make_shared<LockRecord>());
}

void EnterLock(LockHandle lock) {
  std::shared_ptr<LockRecord> record = Registry().Find(lock);
  if (!record) return;
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock guard(record->mutex);
  if (record->deleted) return;
  if (record->holder == self) {
    ++record->depth;
    return;
  }
  ++record->waiting;
  record->released.wait(guard,
                        [&] { return record->deleted || record->holder == std::thread::id(); });
  --record->waiting;
  if (record->deleted) return;  // deleted while waiting: go on without it
  record->holder = self;
  record->depth = 1;
}

void LeaveLock(LockHandle lock) {
  std::shared_ptr<LockRecord> record = Registry().Find(lock);
  if (!record) return;
  std::lock_guard guard(record->mutex);
  if (record->deleted || record->holder != std::this_thread::get_id()) return;
  if (--record->depth == 0) {
    record->holder = std::thread::id();
    record->released.notify_one();
  }
}

int LockWaiters(LockHandle lock) {
  std::shared_ptr<LockRecord> record = Registry().Find(lock);
  if (!record) return 0;
  std::lock_guard guard(record->mutex);
  return record->waiting;
}

bool DeleteLock(LockHandle lock) {
  std::shared_ptr<LockRecord> record = Registry().Take(lock);
  if (!record) return false;
  std::lock_guard guard(record->mutex);
  record->deleted = true;
  record->holder = std::thread::id();
  record->depth = 0;
  record->released.notify_all();
  return true;
}

}  // namespace shopwalk
