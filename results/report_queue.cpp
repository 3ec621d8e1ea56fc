#include "results/report_queue.h"

#include <algorithm>
#include <utility>
#include <variant>

namespace shopwalk {
namespace {

// Answers, places and kept pages come many times a second: they may wait for the place delay.
bool MayWait(const Report& report) {
  return std::holds_alternative<reports::Answer>(report) ||
         std::holds_alternative<reports::Place>(report) ||
         std::holds_alternative<reports::KeptPage>(report);
}

const reports::Row* RowOf(const QueuedReport& queued) {
  return std::get_if<reports::Row>(&queued.report);
}

}  // namespace

ReportQueue::ReportQueue(std::string location, const ReportQueueSettings& settings, Clock& clock)
    : location_(std::move(location)), settings_(settings), clock_(clock) {}

ReportQueue::~ReportQueue() {
  Close();
}

void ReportQueue::Start(BatchWriter& writer) {
  writer_ = &writer;
  thread_ = std::thread([this] { WriteLoop(); });
}

void ReportQueue::Close() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    closeDeadline_ = clock_.After(settings_.closeTimeout);
  }
  wakeup_.notify_all();
  thread_.join();
}

// Pushing: stamp, queue and return.

void ReportQueue::Push(Report report, std::int64_t fence) {
  if (writer_ == nullptr) {
    bool first = false;
    {
      std::lock_guard lock(mutex_);
      first = refused_++ == 0;
    }
    if (first) {
      listeners_.TellTrouble(
          StoreProblem{StoreProblem::Kind::NotWritable, location_,
                       "the store was opened for reading; reports to it are not kept"});
    }
    return;
  }
  QueuedReport queued;
  queued.report = std::move(report);
  queued.fence = fence;
  queued.unixMs = UnixMs(clock_.CalendarNow());
  queued.due = clock_.After(MayWait(queued.report) ? settings_.placeDelay : settings_.commitDelay);
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    // The writer learns of an earlier deadline than the one it waits for.
    wake = queue_.empty() || queue_.size() + 1 == settings_.batchSize || queued.due < earliestDue_;
    earliestDue_ = queue_.empty() ? queued.due : std::min(earliestDue_, queued.due);
    if (const reports::Row* row = RowOf(queued)) unwrittenRows_.insert(row->record.shopId);
    queue_.push_back(std::move(queued));
    ++reported_;
  }
  if (wake) wakeup_.notify_one();
}

void ReportQueue::Poke() {
  {
    std::lock_guard lock(mutex_);
    poked_ = true;
  }
  wakeup_.notify_one();
}

// Waiting and asking.

bool ReportQueue::Flush(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (writer_ == nullptr) return refused_ == 0;
  const std::uint64_t target = reported_;
  if (written_ >= target) return true;
  flushWanted_ = std::max(flushWanted_, target);
  wakeup_.notify_one();
  return clock_.WaitFor(lock, progress_, timeout, [&] { return written_ >= target; });
}

void ReportQueue::CatchUp(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  if (writer_ == nullptr) return;
  const std::uint64_t target = reported_;
  if (written_ >= target) return;
  flushWanted_ = std::max(flushWanted_, target);
  wakeup_.notify_one();
  clock_.WaitFor(lock, progress_, limit, [&] { return written_ >= target || troubled_; });
}

bool ReportQueue::Congested() const {
  std::lock_guard lock(mutex_);
  return reported_ - written_ >= settings_.maxWaitingReports ||
         (settings_.holdRowsWhileFailing && troubled_ && !unwrittenRows_.empty());
}

StoreBacklog ReportQueue::Backlog() const {
  std::lock_guard lock(mutex_);
  StoreBacklog backlog;
  backlog.reports = reported_ - written_;
  backlog.rows = unwrittenRows_.size();
  if (!unwrittenRows_.empty()) {
    backlog.lowestRow = *unwrittenRows_.begin();
    backlog.highestRow = *unwrittenRows_.rbegin();
  }
  if (troubled_) backlog.problem = problem_;
  return backlog;
}

std::optional<std::string> ReportQueue::DurablePlace() const {
  std::lock_guard lock(mutex_);
  return durablePlace_;
}

void ReportQueue::OnTrouble(StoreListeners::TroubleListener listener) {
  listeners_.OnTrouble(std::move(listener));
}

void ReportQueue::OnDurable(StoreListeners::DurableListener listener) {
  listeners_.OnDurable(std::move(listener));
}

void ReportQueue::SetOtherProblem(const std::optional<StoreProblem>& problem) {
  SetProblem(false, problem);
}

void ReportQueue::SetProblem(bool fromWriter, const std::optional<StoreProblem>& problem) {
  std::optional<StoreProblem> told;
  {
    std::lock_guard lock(problemMutex_);
    const std::optional<StoreProblem> before = writerProblem_ ? writerProblem_ : otherProblem_;
    (fromWriter ? writerProblem_ : otherProblem_) = problem;
    told = writerProblem_ ? writerProblem_ : otherProblem_;
    if (before == told) return;
  }
  listeners_.TellTrouble(told);
}

// The writer.

std::size_t ReportQueue::TakeBatch(std::vector<QueuedReport>& batch) {
  const std::size_t count = std::min(queue_.size(), settings_.maxTransactionReports);
  // The batch commits as one: a place that a later place of the same run replaces within it is
  // never seen, so it is not written (a run's beginning, continuation or end parts the runs).
  std::vector<bool> replaced(count, false);
  bool laterPlace = false;
  for (std::size_t i = count; i-- > 0;) {
    std::visit(Overloaded{[&](const reports::Place&) {
                            replaced[i] = laterPlace;
                            laterPlace = true;
                          },
                          [&](const reports::BeginRun&) { laterPlace = false; },
                          [&](const reports::ContinueRun&) { laterPlace = false; },
                          [&](const reports::EndRun&) { laterPlace = false; }, [](const auto&) {}},
               queue_[i].report);
  }
  batch.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (!replaced[i]) batch.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  earliestDue_ = Clock::TimePoint::max();
  for (const QueuedReport& queued : queue_) earliestDue_ = std::min(earliestDue_, queued.due);
  return count;
}

void ReportQueue::WriteLoop() {
  std::vector<QueuedReport> batch;
  // Reports taken off the queue for `batch`, the places dropped from it included.
  std::size_t taken = 0;
  for (;;) {
    bool between = false;
    {
      std::unique_lock lock(mutex_);
      if (taken == 0) {
        wakeup_.wait(lock, [&] { return stopping_ || !queue_.empty() || poked_; });
        if (queue_.empty()) {
          if (!poked_) return;
          poked_ = false;
          between = true;
        } else {
          // Gather: until a report is due, enough wait, or someone waits. An earlier deadline
          // than the one waited for wakes the writer, which then waits for that one.
          for (;;) {
            const Clock::TimePoint due = earliestDue_;
            const bool woken = clock_.WaitUntil(lock, wakeup_, due, [&] {
              return stopping_ || queue_.size() >= settings_.batchSize || flushWanted_ > written_ ||
                     earliestDue_ < due;
            });
            if (!woken || earliestDue_ >= due) break;
          }
          taken = TakeBatch(batch);
        }
      }
    }
    if (between) {
      writer_->Between();
      continue;
    }

    Expected<BatchWriter::Written, StoreProblem> written = writer_->WriteBatch(batch);
    if (written) {
      std::uint64_t rows = 0;
      for (const QueuedReport& queued : batch) rows += RowOf(queued) != nullptr ? 1 : 0;
      durableRows_ += rows;
      writer_->Committed(batch);
      // The listeners hear of the commit before a Flush waiting for it returns.
      SetProblem(true, std::nullopt);
      listeners_.TellDurable(durableRows_);
      {
        std::lock_guard lock(mutex_);
        for (const QueuedReport& queued : batch) {
          const reports::Row* row = RowOf(queued);
          if (row == nullptr) continue;
          if (auto found = unwrittenRows_.find(row->record.shopId); found != unwrittenRows_.end()) {
            unwrittenRows_.erase(found);
          }
        }
        written_ += taken;
        troubled_ = false;
        problem_.reset();
        durablePlace_ = std::move(written->place);
        poked_ = false;
      }
      progress_.notify_all();
      batch.clear();
      taken = 0;
      writer_->Between();
      continue;
    }

    StoreProblem problem = std::move(written).error();
    bool giveUp = false;
    std::size_t unwritten = 0;
    {
      std::lock_guard lock(mutex_);
      troubled_ = true;
      giveUp = stopping_ && clock_.Now() >= closeDeadline_;
      unwritten = taken + queue_.size();
      problem.unwrittenRows = unwrittenRows_.size();
      problem_ = problem;
    }
    progress_.notify_all();
    if (giveUp) {
      problem.reason += "; closing the store, " + std::to_string(unwritten) +
                        " reports could not be written and are lost";
      listeners_.TellTrouble(problem);
      return;
    }
    SetProblem(true, problem);
    const Clock::TimePoint retryAt =
        std::max(writer_->NextTry(), clock_.After(settings_.retryDelay));
    std::unique_lock lock(mutex_);
    // Not cut short by new reports or by closing, which keeps retrying until its deadline.
    clock_.WaitUntil(lock, wakeup_, retryAt, [] { return false; });
  }
}

}  // namespace shopwalk
