#include "workers/locks.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <utility>

namespace shopwalk {
namespace {

// One lock. Threads that are entering or leaving it hold the record, so deleting the lock only
// unregisters it and marks it deleted; the record goes away with its last user.
struct LockRecord {
  std::mutex mutex;
  std::condition_variable released;  // the holder let go, or the lock was deleted
  std::thread::id holder;            // none while free
  std::uint64_t depth = 0;           // re-entries by the holder
  bool deleted = false;
};

// Live locks. Allocated once and never destroyed: threads still running while the process ends
// may use it.
struct LockRegistry {
  std::shared_mutex mutex;
  std::unordered_map<LockHandle, std::shared_ptr<LockRecord>> live;
  std::uint64_t next = 1;  // handles are never reused; 0 names none
};

LockRegistry& Registry() {
  static LockRegistry* registry = new LockRegistry;
  return *registry;
}

std::shared_ptr<LockRecord> Find(LockHandle lock) {
  if (lock == 0) return nullptr;
  LockRegistry& registry = Registry();
  std::shared_lock guard(registry.mutex);
  auto it = registry.live.find(lock);
  return it == registry.live.end() ? nullptr : it->second;
}

}  // namespace

LockHandle CreateLock() {
  LockRegistry& registry = Registry();
  std::unique_lock guard(registry.mutex);
  if (registry.next > UINT32_MAX) return 0;  // every handle has been given out
  auto handle = static_cast<LockHandle>(registry.next++);
  registry.live.emplace(handle, std::make_shared<LockRecord>());
  return handle;
}

void EnterLock(LockHandle lock) {
  std::shared_ptr<LockRecord> record = Find(lock);
  if (!record) return;
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock guard(record->mutex);
  if (record->deleted) return;
  if (record->holder == self) {
    ++record->depth;
    return;
  }
  record->released.wait(guard,
                        [&] { return record->deleted || record->holder == std::thread::id(); });
  if (record->deleted) return;  // deleted while waiting: go on without it
  record->holder = self;
  record->depth = 1;
}

void LeaveLock(LockHandle lock) {
  std::shared_ptr<LockRecord> record = Find(lock);
  if (!record) return;
  std::lock_guard guard(record->mutex);
  if (record->deleted || record->holder != std::this_thread::get_id()) return;
  if (--record->depth == 0) {
    record->holder = std::thread::id();
    record->released.notify_one();
  }
}

bool DeleteLock(LockHandle lock) {
  if (lock == 0) return false;
  std::shared_ptr<LockRecord> record;
  {
    LockRegistry& registry = Registry();
    std::unique_lock guard(registry.mutex);
    auto it = registry.live.find(lock);
    if (it == registry.live.end()) return false;
    record = std::move(it->second);
    registry.live.erase(it);
  }
  std::lock_guard guard(record->mutex);
  record->deleted = true;
  record->holder = std::thread::id();
  record->depth = 0;
  record->released.notify_all();
  return true;
}

}  // namespace shopwalk
