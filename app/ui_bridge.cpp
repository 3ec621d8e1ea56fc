#include "app/ui_bridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace shopwalk {

namespace {

enum class JobState { Queued, Running, Done, Cancelled };

struct Job {
  const std::function<void()>* operation;
  JobState state = JobState::Queued;
};

QEvent::Type JobEventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

}  // namespace

struct UiBridge::Shared {
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::shared_ptr<Job>> queue;
  bool closed = false;
  QThread* uiThread = nullptr;
};

// Lives on the UI thread; each posted event runs the oldest queued job. One event per job, so a
// job that opens a nested event loop does not hold up the jobs queued behind it.
class UiBridge::Receiver : public QObject {
 public:
  explicit Receiver(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  bool event(QEvent* event) override {
    if (event->type() != JobEventType()) return QObject::event(event);
    std::shared_ptr<Job> job;
    {
      std::lock_guard lock(shared_->mutex);
      if (shared_->queue.empty()) return true;
      job = std::move(shared_->queue.front());
      shared_->queue.pop_front();
      job->state = JobState::Running;
    }
    try {
      (*job->operation)();
    } catch (...) {
      // An operation that throws has simply not produced its result; the caller is released.
    }
    {
      std::lock_guard lock(shared_->mutex);
      job->state = JobState::Done;
    }
    shared_->changed.notify_all();
    return true;
  }

 private:
  std::shared_ptr<Shared> shared_;
};

UiBridge::UiBridge() : shared_(std::make_shared<Shared>()), receiver_(new Receiver(shared_)) {
  shared_->uiThread = QThread::currentThread();
}

UiBridge::~UiBridge() {
  Close();
  delete receiver_;
}

bool UiBridge::OnUiThread() const {
  return QThread::currentThread() == shared_->uiThread;
}

bool UiBridge::Run(const std::function<void()>& operation) {
  if (OnUiThread()) {
    if (IsClosed()) return false;
    operation();
    return true;
  }
  auto job = std::make_shared<Job>();
  job->operation = &operation;
  std::unique_lock lock(shared_->mutex);
  if (shared_->closed) return false;
  shared_->queue.push_back(job);
  // Posted under the lock, so Close() cannot slip in between the check and the post and the
  // receiver cannot be deleted while an event is being posted to it.
  QCoreApplication::postEvent(receiver_, new QEvent(JobEventType()));
  shared_->changed.wait(
      lock, [&] { return job->state == JobState::Done || job->state == JobState::Cancelled; });
  return job->state == JobState::Done;
}

void UiBridge::Close() {
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->closed) return;
    shared_->closed = true;
    for (auto& job : shared_->queue) job->state = JobState::Cancelled;
    shared_->queue.clear();
  }
  shared_->changed.notify_all();
}

std::size_t UiBridge::PendingCount() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->queue.size();
}

bool UiBridge::IsClosed() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->closed;
}

}  // namespace shopwalk
