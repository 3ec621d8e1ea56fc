#include "collect/collector.h"

#include "net/transfer_abort.h"
#include "workers/threads.h"

namespace shopwalk {

Collector::Collector(CollectorUi& ui) : ui_(ui) {}

Collector::~Collector() {
  // Tasks and the dispatcher use this object: wait for all of them, however long it takes.
  while (!ShutDownForExit(std::chrono::seconds(5))) {
  }
  ResetTransferAbort();
}

std::string Collector::ProgressText() {
  return progress_.ProgressText(ui_.ShopIdText());
}

void Collector::OnWindowClosing() {
  DeleteLock(run_.ResultLock.load());
  run_.WorkerPool.Stop();
}

void Collector::SetClock(Clock& clock) {
  clock_ = &clock;
  requestSlots_.SetClock(clock);
}

bool Collector::ShutDownForExit(std::chrono::milliseconds timeout,
                                std::chrono::milliseconds grace) {
  Clock& clock = *clock_;
  const Clock::TimePoint deadline = clock.After(timeout);
  exiting_ = true;
  run_.WorkerPool.Stop();
  if (grace.count() > 0) {
    // The tasks in flight finish their shops if they can; the queued ones leave at once.
    run_.WorkerPool.WaitEnded(std::min(grace, timeout), clock);
  }
  DeleteLock(run_.ResultLock.load());
  AbortAllTransfers();

  bool ended = true;
  if (ThreadHandle dispatcher = run_.DispatcherThread.load(); dispatcher != 0) {
    TerminateThread(dispatcher);
    ended = WaitThreadEnded(dispatcher, timeout, clock);
    if (ended && run_.DispatcherThread.compare_exchange_strong(dispatcher, 0)) {
      CloseThreadHandle(dispatcher);
    }
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock.Now());
  const bool workersEnded =
      run_.WorkerPool.WaitEnded(std::max(left, std::chrono::milliseconds(0)), clock) && ended;
  // The place after the last answers of the run (the field may be gone with the window).
  std::optional<std::string> cursor;
  {
    std::lock_guard lock(placeMutex_);
    cursor = cursorText_;
  }
  if (cursor) ReportPlace(*cursor);
  return workersEnded;
}

}  // namespace shopwalk
