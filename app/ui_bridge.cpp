#include "app/ui_bridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace shopwalk {

namespace {

enum class WaitState { Queued, Running, Done, Cancelled };

// A caller waiting in Run(); its operation lives on its stack until the caller is released.
struct Waiter {
  const std::function<void()>* operation = nullptr;
  WaitState state = WaitState::Queued;
};

// One queued operation: posted (and owned here) or waited for.
struct Job {
  std::function<void()> posted;
  std::shared_ptr<Waiter> waiter;
};

// Operations one wake-up of the UI thread runs at most before it lets other events (painting,
// input) through; the rest run on the next wake-up.
constexpr int MaxJobsPerWake = 64;

QEvent::Type WakeEventType() {
  static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

}  // namespace

struct UiBridge::Shared {
  mutable std::mutex mutex;
  std::condition_variable finished;  // a waited-for operation has run or was cancelled
  std::condition_variable room;      // a posted operation has left the queue
  std::deque<Job> queue;
  std::size_t postedInQueue = 0;
  std::size_t postLimit = DefaultPostLimit;
  std::size_t postersWaiting = 0;
  // A wake-up event is on its way to the receiver; one is enough for any number of operations.
  bool wakePosted = false;
  bool closed = false;
  QThread* uiThread = nullptr;
  QObject* receiver = nullptr;

  // Makes sure the receiver will look at the queue. Call with the mutex held: so Close() cannot
  // slip in between the caller's check and the post, and the receiver cannot be deleted while an
  // event is being posted to it.
  void WakeLocked() {
    if (wakePosted) return;
    wakePosted = true;
    QCoreApplication::postEvent(receiver, new QEvent(WakeEventType()));
  }
};

// Lives on the UI thread; each wake-up event runs the queued operations, oldest first.
class UiBridge::Receiver : public QObject {
 public:
  explicit Receiver(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  bool event(QEvent* event) override {
    if (event->type() != WakeEventType()) return QObject::event(event);
    {
      std::lock_guard lock(shared_->mutex);
      shared_->wakePosted = false;
    }
    for (int ran = 0; ran < MaxJobsPerWake; ++ran) {
      Job job;
      bool roomMade = false;
      {
        std::lock_guard lock(shared_->mutex);
        if (shared_->queue.empty()) return true;
        job = std::move(shared_->queue.front());
        shared_->queue.pop_front();
        if (job.waiter) {
          job.waiter->state = WaitState::Running;
        } else {
          --shared_->postedInQueue;
          roomMade = shared_->postersWaiting > 0;
        }
        // The next wake-up is on its way before this operation runs, so an operation that opens
        // a nested event loop (a modal box) does not hold up the ones queued behind it.
        if (!shared_->queue.empty()) shared_->WakeLocked();
      }
      if (roomMade) shared_->room.notify_one();
      try {
        if (job.waiter) {
          (*job.waiter->operation)();
        } else {
          job.posted();
        }
      } catch (...) {
        // An operation that throws has simply not produced its result; a waiting caller is
        // released, a posted operation is done with.
      }
      if (job.waiter) {
        {
          std::lock_guard lock(shared_->mutex);
          job.waiter->state = WaitState::Done;
        }
        shared_->finished.notify_all();
      }
    }
    return true;
  }

 private:
  std::shared_ptr<Shared> shared_;
};

UiBridge::UiBridge(std::size_t postLimit)
    : shared_(std::make_shared<Shared>()), receiver_(new Receiver(shared_)) {
  shared_->uiThread = QThread::currentThread();
  shared_->postLimit = std::max<std::size_t>(postLimit, 1);
  shared_->receiver = receiver_;
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
  auto waiter = std::make_shared<Waiter>();
  waiter->operation = &operation;
  std::unique_lock lock(shared_->mutex);
  if (shared_->closed) return false;
  shared_->queue.push_back(Job{{}, waiter});
  shared_->WakeLocked();
  shared_->finished.wait(lock, [&] {
    return waiter->state == WaitState::Done || waiter->state == WaitState::Cancelled;
  });
  return waiter->state == WaitState::Done;
}

bool UiBridge::Post(std::function<void()> operation) {
  if (OnUiThread()) {
    if (IsClosed()) return false;
    operation();
    return true;
  }
  std::unique_lock lock(shared_->mutex);
  if (!shared_->closed && shared_->postedInQueue >= shared_->postLimit) {
    ++shared_->postersWaiting;
    shared_->room.wait(
        lock, [&] { return shared_->closed || shared_->postedInQueue < shared_->postLimit; });
    --shared_->postersWaiting;
  }
  if (shared_->closed) return false;
  shared_->queue.push_back(Job{std::move(operation), nullptr});
  ++shared_->postedInQueue;
  shared_->WakeLocked();
  return true;
}

void UiBridge::Close() {
  std::deque<Job> dropped;
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->closed) return;
    shared_->closed = true;
    for (Job& job : shared_->queue) {
      if (job.waiter) job.waiter->state = WaitState::Cancelled;
    }
    dropped.swap(shared_->queue);
    shared_->postedInQueue = 0;
  }
  shared_->finished.notify_all();
  shared_->room.notify_all();
  // The dropped operations' copies of their arguments go here, outside the lock.
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
