// What every backend's store does the same way: each report goes into one ReportQueue, which the
// backend drains as its BatchWriter; flushing, the backlog, the durable place, congestion and the
// listeners are the queue's.
//
// A backend derives from it, implements the BatchWriter (its transaction, fences and SQL), the
// run journal's reads and the reader, starts the queue once it is open (Queue().Start(*this)) and
// closes it first thing in its destructor (Queue().Close()), while the parts the writer uses are
// still there.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

#include "base/clock.h"
#include "base/expected.h"
#include "results/report.h"
#include "results/report_queue.h"
#include "results/result_store.h"
#include "results/store_problem.h"

namespace shopwalk {

class QueuedStore : public ResultStore, protected BatchWriter {
 public:
  // ResultSink: queue and return.
  void RowAppended(const ShopRecord& record) override;
  void Answered(std::int32_t shopId, ShopOutcome outcome) override;
  void Failed(const FailedShop& shop) override;
  void PlaceMoved(const std::string& place) override;
  // A mark to revisit is a report of its shop like an answer (and replaces the shop's answer or
  // failure on record); a later row, answer or failure clears it.
  void ToRevisit(std::int32_t shopId) override;
  bool Congested() const override;

  // RunJournal's reports (ContinueRun is the backend's: not every backend has runs to continue).
  void BeginRun(RunKind kind, const std::string& place) override;
  void EndRun(bool placeSaved) override;

  // StoreSink.
  bool Flush(std::chrono::milliseconds timeout) override;
  StoreBacklog Backlog() override;
  std::optional<std::string> DurablePlace() override;
  void OnTrouble(std::function<void(const std::optional<StoreProblem>&)> listener) override;
  void OnDurable(std::function<void(std::uint64_t durableRows)> listener) override;
  void SetChangeSource(ChangeSource source) override;
  // A report of its shop, like an answer.
  void ShopClosed(std::int32_t shopId) override;

  // KeptPageStore's reports: queued in order with the others; a page as a report of its shop.
  void KeepDictionary(const PageDictionary& dictionary) override;
  void KeepPage(const PackedPage& page) override;
  void SetKeptPagesBudget(std::uint64_t packedBytes) override;

 protected:
  // Opens a store of a backend: `make()` builds it, `start(store)` opens it (an Expected<void,
  // StoreProblem>). The opened store, or why not; an exception while opening is a problem too.
  // `location` names the store in that problem; an empty `given` (the file name or URI asked
  // for) is refused with `nothingGiven`.
  template <class Store, class Make, class Start>
  static Expected<std::unique_ptr<Store>, StoreProblem> Open(const std::string& given,
                                                             const std::string& location,
                                                             const char* nothingGiven, Make&& make,
                                                             Start&& start) {
    if (given.empty()) {
      return MakeUnexpected(StoreProblem{StoreProblem::Kind::Other, given, nothingGiven});
    }
    try {
      std::unique_ptr<Store> store = make();
      if (auto started = start(*store); !started) return MakeUnexpected(started.error());
      return store;
    } catch (...) {
      return MakeUnexpected(ProblemOfCaughtException(location, "opening"));
    }
  }

  // `location` names the store in the problems it makes itself; a read waits up to
  // `readWaitLimit` for the reports made before it to be written.
  QueuedStore(std::string location, const ReportQueueSettings& settings,
              std::chrono::milliseconds readWaitLimit, Clock& clock);

  // One read of `what` ("the rows"): after the reports made before it are written (unless
  // writing fails, or for at most the read wait limit), one read at a time, `read()`'s answer (an
  // Expected with a StoreProblem); whatever it throws (out of memory) is a problem of reading
  // `what`, never an exception out of the store.
  template <class Read>
  std::invoke_result_t<Read&> Reading(const char* what, Read&& read) {
    queue_.CatchUp(readWaitLimit_);
    try {
      std::lock_guard lock(readMutex_);
      return read();
    } catch (...) {
      return MakeUnexpected(ProblemOfCaughtException(location_, std::string("reading ") + what));
    }
  }

  // Where a report about one shop ID goes: queued unfenced here; a backend that fences its writes
  // by lease decides the fence (or drops a report its node no longer holds).
  virtual void QueueShopReport(Report report, std::int32_t shopId);

  ReportQueue& Queue() { return queue_; }
  // The budget of kept pages' packed bytes (0: none), for the writer to apply after each batch.
  std::uint64_t KeptPagesBudget() const { return keptPagesBudget_.load(); }

 private:
  const std::string location_;
  const std::chrono::milliseconds readWaitLimit_;
  ReportQueue queue_;
  // One read at a time: each backend reads through one connection.
  std::mutex readMutex_;
  std::atomic<std::uint64_t> keptPagesBudget_{0};
  std::atomic<ChangeSource> changeSource_{ChangeSource::Walk};
};

}  // namespace shopwalk
