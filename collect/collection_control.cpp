// Start, Stop, the thread-count spin and the dispatcher.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>

#include "collect/collector.h"
#include "collect/text.h"
#include "workers/delay.h"
#include "workers/locks.h"
#include "workers/threads.h"

namespace shopwalk {
namespace {

// At most this many passes per run: 10^11 wrapped to 32 bits (100000000000 mod 2^32), the pass
// limit the dispatcher has always had. At ten passes a second it is about 3.9 years.
constexpr std::int64_t MaxDispatchPasses = 1215752192;
// Flat out, the longest a pass waits: for room in the pool's queue, or when it had nothing to hand
// out (the walk paused or at its end), so the dispatcher never spins.
constexpr std::chrono::milliseconds IdlePass{10};

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
  // With a work source the failed shops to try again come from it.
  if (sink_ != nullptr && source_ == nullptr) {
    std::vector<FailedShop> recorded = sink_->FailedShops();
    std::lock_guard lock(recordedMutex_);
    recordedToTry_.assign(recorded.begin(), recorded.end());
  }
  const std::string threadText = ui_.ThreadCountText();
  const int started = run_.WorkerPool.Create(TextToInt(TrimSpaces(threadText)));
  {
    std::lock_guard lock(queueMutex_);
    queueAhead_ = std::max(started, 1);
  }
  // The lock exists before the first task can reach it.
  run_.ResultLock = CreateLock();
  ThreadHandle dispatcher = 0;
  StartThread([this](std::int32_t) { DispatchShopIds(); }, 0, &dispatcher);
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

void Collector::SetAlreadyListed(std::set<std::int32_t> shopIds) {
  std::lock_guard lock(listedMutex_);
  alreadyListed_ = std::move(shopIds);
}

bool Collector::AlreadyListed(std::int32_t shopId) {
  std::lock_guard lock(listedMutex_);
  return alreadyListed_.erase(shopId) > 0;
}

void Collector::DispatchShopIds() {
  Pacer pacer(std::chrono::milliseconds(paceMs_.load()), *clock_);
  // Once the walk has reached the largest shop ID it hands out no new one, but goes on trying
  // the shops that wait until none is left.
  bool walkEnded = false;
  std::string cursorText = ui_.ShopIdText();
  for (std::int64_t pass = 0; pass < MaxDispatchPasses; ++pass) {
    if (ThreadEndRequested() || exiting_) return;
    const Clock::TimePoint now = clock_->Now();
    // The outage's probe when it is to go with this pass's new shop. Every way out of the pass
    // that does not send it hands it back (it is dropped), so the next pass can take it again.
    MarketplaceHealth::Probe probe;
    if (const auto state = health_.StateAt(now); state != MarketplaceHealth::State::Open) {
      // No task may start for a while, so the pause itself answers Stop.
      if (run_.StopRequested.load() == 1) {
        ShutDownRun();
        return;
      }
      probe = WhilePaused(state, now, walkEnded);
      if (!probe) {
        ReportPlace(cursorText);
        if (!NextPass(pacer, false)) return;
        continue;
      }
    } else {
      if (sink_ == nullptr || !sink_->Congested()) ResumeShown();
      SubmitDueRetry(now);
      // Failed shops on record go first, one a pass, before the walk goes on.
      if (SubmitRecordedFailure()) {
        ReportPlace(cursorText);
        if (!NextPass(pacer, true)) return;
        continue;
      }
    }

    if (walkEnded) {
      ReportPlace(cursorText);
      if (!progress_.AnyInFlight()) {
        walkEnded_ = true;
        if (onWalkEnded_) onWalkEnded_();
        return;
      }
      if (!NextPass(pacer, false)) return;
      continue;
    }
    // Flat out, a new shop waits for room in the pool's queue (a probe does not wait).
    if (!probe && QueueFull()) {
      if (!NextPass(pacer, true)) return;
      continue;
    }
    // A store that cannot keep up holds the walk: nothing is handed out until it can.
    if (sink_ != nullptr && sink_->Congested()) {
      if (run_.StopRequested.load() == 1) {
        ShutDownRun();
        return;
      }
      ShowStoreBehind();
      if (!NextPass(pacer, false)) return;
      continue;
    }
    Ticket ticket;
    if (source_ != nullptr) {
      const WorkSource::Next next = source_->NextShop();
      if (next.kind == WorkSource::Next::Kind::End) {
        walkEnded = true;
        continue;
      }
      if (next.kind == WorkSource::Next::Kind::Wait) {
        if (!NextPass(pacer, false)) return;
        continue;
      }
      cursorText = NumberToText(next.shopId);
      ui_.SetShopIdText(cursorText);
      ticket.recorded = next.retryOfFailed;
      if (!ticket.recorded) progress_.Submitted(next.shopId);
      if (!Submit(next.shopId, ticket, std::move(probe))) Abandon(next.shopId, ticket);
      ReportPlace(cursorText);
      if (!NextPass(pacer, true)) return;
      continue;
    }
    const std::int32_t current = TextToInt(ui_.ShopIdText());
    // The walk ends at its last shop ID, at the latest at the largest shop ID instead of wrapping
    // to negative ones.
    if (current == std::numeric_limits<std::int32_t>::max() ||
        (lastShopId_ && current >= *lastShopId_)) {
      walkEnded = true;
      continue;
    }
    ui_.SetShopIdText(NumberToText(static_cast<double>(current) + 1));
    cursorText = ui_.ShopIdText();
    const std::int32_t shopId = TextToInt(cursorText);
    if (AlreadyListed(shopId)) {
      // Its row came back with the interrupted run's list: walked past without a pass's wait.
      ReportPlace(cursorText);
      continue;
    }

    progress_.Submitted(shopId);
    if (!Submit(shopId, ticket, std::move(probe))) progress_.Abandoned(shopId);
    ReportPlace(cursorText);
    if (!NextPass(pacer, true)) return;
  }
}

bool Collector::QueueFull() {
  if (paceMs_.load() > 0) return false;
  std::lock_guard lock(queueMutex_);
  return queuedTasks_ >= queueAhead_;
}

bool Collector::NextPass(Pacer& pacer, bool handedOut) {
  if (paceMs_.load() > 0) return pacer.Wait();
  if (ThreadEndRequested()) return false;
  if (!handedOut) {
    Delay(static_cast<int>(IdlePass.count()), *clock_);
    return !ThreadEndRequested();
  }
  // Flat out: the queue is filled to one shop per worker, then refilled once the workers have
  // taken half of it, so every worker finds its next shop waiting, the queue never runs far ahead
  // of the workers, and the dispatcher wakes once for several shops rather than for each.
  std::unique_lock lock(queueMutex_);
  if (queuedTasks_ >= queueAhead_) {
    clock_->WaitFor(lock, queueRoom_, IdlePass, [this] { return queuedTasks_ <= queueAhead_ / 2; });
  }
  return !ThreadEndRequested();
}

}  // namespace shopwalk
