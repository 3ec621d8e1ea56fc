// Shops that were tried and did not get an answer: those waiting for their next try, and those
// that used up their tries and failed for good. Waiting shops hold no worker; the dispatcher
// hands them out again when they are due. Safe from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/clock.h"

namespace shopwalk {

class WaitingShops {
 public:
  struct Shop {
    std::int32_t id = 0;
    // Tries made so far.
    int attempts = 0;
    Clock::TimePoint due;
    // Why the last try failed.
    std::string reason;
    // A failed shop on record, tried again.
    bool recorded = false;
  };

  struct Failed {
    std::int32_t id = 0;
    int attempts = 0;
    std::string reason;
  };

  // `shop` waits until its due time. A shop already waiting is replaced.
  void Wait(Shop shop);
  // The waiting shop that is due at `now` and has waited longest since it first came, taken out.
  std::optional<Shop> TakeDue(Clock::TimePoint now);
  // The waiting shop that came first, taken out, due or not.
  std::optional<Shop> TakeOldest();
  // The waiting shop that came first of those not in `ids`, taken out, due or not.
  std::optional<Shop> TakeOldestExcept(const std::set<std::int32_t>& ids);
  // Every waiting shop becomes due at `now`.
  void MakeAllDue(Clock::TimePoint now);
  // The earliest due time of a waiting shop, if any is waiting.
  std::optional<Clock::TimePoint> NextDue() const;

  // The shop used up its tries.
  void Fail(Failed shop);
  // A shop that waited has been answered: it is forgotten.
  void Forget(std::int32_t id);

  std::size_t WaitingCount() const;
  std::size_t FailedCount() const;
  std::vector<Shop> WaitingShopsNow() const;
  std::vector<Failed> FailedShops() const;

 private:
  std::optional<Shop> Take(std::map<std::uint64_t, Shop>::iterator it);

  mutable std::mutex mutex_;
  // By arrival order (first waiting first); arrival numbers survive a re-wait.
  std::map<std::uint64_t, Shop> waiting_;
  std::map<std::int32_t, std::uint64_t> arrivalOf_;
  std::uint64_t nextArrival_ = 0;
  std::vector<Failed> failed_;
};

}  // namespace shopwalk
