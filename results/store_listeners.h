// The listeners a results store tells of its trouble and of the rows made durable: set from any
// thread, told from the store's writer. A listener that throws is contained and logged, so a
// listener's fault never stops the writer.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "base/contained_error.h"
#include "results/store_problem.h"

namespace shopwalk {

class StoreListeners {
 public:
  using TroubleListener = std::function<void(const std::optional<StoreProblem>&)>;
  using DurableListener = std::function<void(std::uint64_t durableRows)>;

  void OnTrouble(TroubleListener listener) {
    std::lock_guard lock(mutex_);
    trouble_ = std::move(listener);
  }
  void OnDurable(DurableListener listener) {
    std::lock_guard lock(mutex_);
    durable_ = std::move(listener);
  }

  // Tells the trouble listener (nothing: the trouble is over). Called without the store's locks,
  // so a listener may call back into the store.
  void TellTrouble(const std::optional<StoreProblem>& problem) {
    Tell(trouble_, problem, "results store: trouble listener");
  }
  void TellDurable(std::uint64_t rows) { Tell(durable_, rows, "results store: durable listener"); }

 private:
  template <typename Listener, typename Value>
  void Tell(const Listener& chosen, const Value& value, const char* what) {
    Listener listener;
    {
      std::lock_guard lock(mutex_);
      listener = chosen;
    }
    if (!listener) return;
    try {
      listener(value);
    } catch (...) {
      ReportContainedError(what);
    }
  }

  std::mutex mutex_;
  TroubleListener trouble_;
  DurableListener durable_;
};

}  // namespace shopwalk
