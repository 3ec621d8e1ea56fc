// A process-wide table of records addressed by 32-bit handles, as locks and threads are.
// Handles start at 1 and are never reused (0 names none). Safe from any thread. Tables are meant
// to be allocated once and never destroyed, so threads still running at process end may use them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace shopwalk::internal {

template <class Record>
class HandleTable {
 public:
  // Registers `record`; 0 once every handle has been given out.
  std::uint32_t Add(std::shared_ptr<Record> record) {
    std::unique_lock guard(mutex_);
    if (next_ > UINT32_MAX) return 0;
    const auto handle = static_cast<std::uint32_t>(next_++);
    live_.emplace(handle, std::move(record));
    return handle;
  }

  // The record of an open handle, or null.
  std::shared_ptr<Record> Find(std::uint32_t handle) const {
    if (handle == 0) return nullptr;
    std::shared_lock guard(mutex_);
    auto it = live_.find(handle);
    return it == live_.end() ? nullptr : it->second;
  }

  // Unregisters the handle and hands its record over, or null when it is not open.
  std::shared_ptr<Record> Take(std::uint32_t handle) {
    if (handle == 0) return nullptr;
    std::unique_lock guard(mutex_);
    auto it = live_.find(handle);
    if (it == live_.end()) return nullptr;
    std::shared_ptr<Record> record = std::move(it->second);
    live_.erase(it);
    return record;
  }

 private:
  mutable std::shared_mutex mutex_;
  std::unordered_map<std::uint32_t, std::shared_ptr<Record>> live_;
  std::uint64_t next_ = 1;
};

}  // namespace shopwalk::internal
