// How the long-running commands (walk, refresh) take SIGINT and SIGTERM: one thread waits for
// them with sigwait, so that the first asks the command to stop cleanly, and a second SIGINT ends
// the program at once (the store stays consistent: it commits whole transactions only).
#pragma once

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "base/clock.h"

namespace shopwalk {

// Made before any other thread starts (it blocks the signals for every thread made after it).
class StopSignals {
 public:
  explicit StopSignals(Clock& clock) : clock_(clock) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    // Only for waking the waiting thread at the end.
    sigaddset(&set_, SIGUSR1);
    // Blocked here, before any other thread starts, so every thread inherits the mask and only
    // the waiting thread receives them.
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    thread_ = std::thread([this] { Wait(); });
  }
  ~StopSignals() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    // Wakes the waiting thread with a signal only it takes.
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Waits up to `timeout` of the clock for a stop or a Wake; the signal that came, or 0.
  int WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    clock_.WaitFor(lock, changed_, timeout, [this] { return received_ != 0 || woken_; });
    woken_ = false;
    return received_;
  }
  // Ends a WaitFor (or the next one) without a signal: something else the waiter waits for
  // happened.
  void Wake() {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
    }
    changed_.notify_all();
  }

 private:
  void Wait() {
    for (;;) {
      int signal = 0;
      if (sigwait(&set_, &signal) != 0) continue;
      std::lock_guard lock(mutex_);
      if (done_) return;
      if (signal == SIGUSR1) continue;
      if (received_ != 0) {
        if (signal == SIGINT) {
          static const char message[] = "\nshopwalk-cli: stopped at once\n";
          [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
          std::_Exit(130);
        }
        continue;
      }
      received_ = signal;
      changed_.notify_all();
    }
  }

  Clock& clock_;
  sigset_t set_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  int received_ = 0;
  bool woken_ = false;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace shopwalk
