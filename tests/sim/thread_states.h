// How many threads of a process run right now, read from /proc: a driver of simulated time moves
// the clock only while every thread that could act is asleep.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace shopwalk::sim {

// Looks at the threads of one process again and again, keeping their /proc files open.
class ThreadWatch {
 public:
  // `pid`: a process; 0 for this process, whose threads are then those given to Watch.
  explicit ThreadWatch(pid_t pid = 0);
  ~ThreadWatch();
  ThreadWatch(const ThreadWatch&) = delete;
  ThreadWatch& operator=(const ThreadWatch&) = delete;

  // This process: the threads to look at from now on (kernel thread IDs).
  void Watch(const std::vector<pid_t>& threads);
  // Threads running, ready to run or waiting for the disk; -1 when the process has ended.
  int Active();

 private:
  void Refresh();
  // The process's thread count, from its own stat file; -1 when it cannot be read.
  int ThreadCount();
  pid_t pid_;
  int processFile_ = -1;
  std::vector<std::pair<pid_t, int>> files_;
};

// Threads of process `pid` that are running, ready to run or waiting for the disk (states R and D
// of /proc); -1 when the process cannot be looked at (it has ended).
int ActiveThreads(pid_t pid);
// Of the threads `threads` of this process (kernel thread IDs); threads that have ended count as
// asleep.
int ActiveThreadsOf(const std::vector<pid_t>& threads);

// Whether process `pid` runs the walking program (sim_walker) yet: between fork and exec it is a
// copy of the one that started it.
bool IsWalker(pid_t pid);

// The peak resident memory of `pid` (VmHWM) in bytes, and its open descriptors; -1 when it cannot
// be read.
long long PeakResidentBytes(pid_t pid);
int OpenDescriptors(pid_t pid);
// What its open descriptors are, counted by kind ("12 socket, 3 pipe, 2 /tmp/x/walk.db").
std::string DescriptorKinds(pid_t pid);

}  // namespace shopwalk::sim
