// A run's beginning and end: Start, Stop, the thread-count spin, the stop sequence, the window's
// closing and the program's end.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>

#include "collect/collector.h"
#include "collect/text.h"
#include "net/transfer_abort.h"
#include "workers/locks.h"
#include "workers/threads.h"

namespace shopwalk {
namespace {

// The text without its leading and trailing space characters.
std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

void Collector::OnStartClicked() {
  // One run at a time: a second dispatcher would walk the same field and replace the lock
  // under running tasks.
  if (ThreadHandle running = run_.DispatcherThread.load(); running != 0) {
    if (!WaitThreadEnded(running, std::chrono::milliseconds(0), *clock_)) return;
    // That dispatcher left by itself (the walk reached the largest shop ID).
    if (run_.DispatcherThread.compare_exchange_strong(running, 0)) CloseThreadHandle(running);
  }

  run_.StopRequested = 0;
  walkEnded_ = false;
  {
    // The marks of a run before are on record: this run asks those shops again first.
    std::lock_guard lock(failedMutex_);
    revisitIds_.clear();
  }
  mismatchTold_ = false;
  if (Following()) {
    follow_.Begin(*clock_, TextToInt(TrimSpaces(ui_.ShopIdText())), *followSettings_,
                  followListed_);
  }
  pageGuard_.Reset(pageLimits_, sink_ != nullptr ? sink_->PageHistory() : PageMatchHistory{});
  // With a work source the failed shops to try again come from it.
  if (sink_ != nullptr && source_ == nullptr) {
    std::vector<FailedShop> recorded = sink_->FailedShops();
    // Shops to revisit go after them, before the walk goes on.
    for (const std::int32_t shopId : sink_->ShopsToRevisit()) {
      recorded.push_back(FailedShop{shopId, 0, std::string(ResultSink::RevisitReason)});
    }
    // A shop above the place (marked where the guard held the walk, whose place stayed before
    // it) is asked once, by the walk as it comes: its answer replaces the mark.
    std::erase_if(recorded,
                  [this](const FailedShop& shop) { return fieldWalk_.WillAsk(shop.shopId); });
    std::lock_guard lock(recordedMutex_);
    recordedToTry_.assign(recorded.begin(), recorded.end());
  }
  const std::string threadText = ui_.ThreadCountText();
  const int started = run_.WorkerPool.Create(TextToInt(TrimSpaces(threadText)));
  queueRoom_.SetWorkers(started);
  // The lock exists before the first task can reach it.
  run_.ResultLock = CreateLock();
  ThreadHandle dispatcher = 0;
  {
    std::lock_guard lock(dispatchersMutex_);
    ++dispatchersRunning_;
  }
  const bool dispatching = StartThread(
      [this](std::int32_t) {
        DispatchShopIds();
        // The thread's last touch of this object: notified under the lock, so the waiter in
        // ShutDownForExit cannot go on (and destroy the collector) before it is done.
        std::lock_guard lock(dispatchersMutex_);
        --dispatchersRunning_;
        dispatcherLeft_.notify_all();
      },
      0, &dispatcher);
  if (!dispatching) {
    std::lock_guard lock(dispatchersMutex_);
    --dispatchersRunning_;
  }
  run_.DispatcherThread = dispatcher;
}

void Collector::OnStopClicked() {
  run_.StopRequested = 1;
}

void Collector::OnThreadCountSpin(int direction) {
  const std::string text = ui_.ThreadCountText();
  const double count = TextToInt(text);
  double next;
  if (direction == 1) {
    next = count + 1;
  } else {
    if (text == "1") return;
    next = count - 1;
  }
  // The count stays a 32-bit number: past the ends it would wrap to the other sign.
  if (next > std::numeric_limits<std::int32_t>::max() ||
      next < std::numeric_limits<std::int32_t>::min()) {
    return;
  }
  ui_.SetThreadCountText(NumberToText(next));
}

void Collector::ShutDownRun() {
  run_.WorkerPool.Stop();

  // Several workers may get here at once: only the one that takes the handle ends the
  // dispatcher. It leaves by itself, submitting nothing after the pass it is in.
  if (ThreadHandle dispatcher = run_.DispatcherThread.exchange(0); dispatcher != 0) {
    TerminateThread(dispatcher);
    CloseThreadHandle(dispatcher);
  }

  DeleteLock(run_.ResultLock.load());

  stopped_ = true;
  ui_.FreezeRunControls();
}

void Collector::OnWindowClosing() {
  DeleteLock(run_.ResultLock.load());
  run_.WorkerPool.Stop();
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
  {
    // A stopped run closed its dispatcher's handle without waiting for it to leave.
    std::unique_lock lock(dispatchersMutex_);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock.Now());
    ended = clock.WaitFor(lock, dispatcherLeft_, std::max(left, std::chrono::milliseconds(0)), [&] {
      return dispatchersRunning_ == 0;
    }) && ended;
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
