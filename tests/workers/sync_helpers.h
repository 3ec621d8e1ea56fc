// Small synchronisation aids for the workers tests. Every wait has a generous time-out, so a
// fault that would hang shows up as a failed check instead of a stuck test run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace shopwalk::testing {

inline constexpr std::chrono::seconds Hang{20};

// Closed until opened; threads wait at it.
class Gate {
 public:
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool Wait(std::chrono::milliseconds timeout = Hang) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// A count that can be waited for.
class Counter {
 public:
  void Add(int n = 1) {
    std::lock_guard lock(mutex_);
    value_ += n;
    changed_.notify_all();
  }
  int value() {
    std::lock_guard lock(mutex_);
    return value_;
  }
  bool WaitFor(int target, std::chrono::milliseconds timeout = Hang) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return value_ >= target; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int value_ = 0;
};

// Runs `body` on its own thread. Finished() tells whether it returned in time; the destructor
// joins a finished thread and abandons one that hangs (the test has failed by then).
class Runner {
 public:
  explicit Runner(std::function<void()> body) : done_(std::make_shared<Gate>()) {
    thread_ = std::thread([body = std::move(body), done = done_] {
      body();
      done->Open();
    });
  }
  ~Runner() {
    if (done_->Wait(std::chrono::milliseconds(0))) {
      thread_.join();
    } else {
      thread_.detach();
    }
  }
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  bool Finished(std::chrono::milliseconds timeout = Hang) { return done_->Wait(timeout); }

 private:
  std::shared_ptr<Gate> done_;
  std::thread thread_;
};

}  // namespace shopwalk::testing
