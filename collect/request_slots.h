// A limit on the requests a walk has at the marketplace at once: a request takes a slot before it
// goes out and gives it back when it has ended, so however many workers run, no more than the
// limit of requests are ever in flight together. Thread-safe.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>

#include "base/clock.h"

namespace shopwalk {

class RequestSlots {
 public:
  // A slot held from Take until destruction (none when there is no limit).
  class Held {
   public:
    Held() = default;
    ~Held();
    Held(Held&& other) noexcept;
    Held& operator=(Held&&) = delete;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

    // Whether Take had to wait for this slot (a caller may then look again at what changed
    // meanwhile).
    bool Waited() const { return waited_; }

   private:
    friend class RequestSlots;
    Held(RequestSlots* slots, bool waited) : slots_(slots), waited_(waited) {}
    RequestSlots* slots_ = nullptr;
    bool waited_ = false;
  };

  // At most `limit` slots; 0 or less: every Take succeeds at once. Set while no slot is held.
  void SetLimit(int limit);
  // The clock a waiting Take looks at the aborts by (the real one unless set). Set while no
  // slot is held; it must outlive the slots.
  void SetClock(Clock& clock);
  int Limit() const;

  // Waits for a free slot and holds it. Gives up (nothing) when every transfer is being aborted
  // (AbortAllTransfers) while it waits.
  std::optional<Held> Take();

 private:
  void Give();

  mutable std::mutex mutex_;
  std::condition_variable freed_;
  Clock* clock_ = &RealClock();
  int limit_ = 0;
  int inUse_ = 0;
};

}  // namespace shopwalk
