// A program run as a child process for a test: its standard output read through a pipe, its
// standard error through a pipe or a pseudo-terminal, signals sent to it, and its end awaited with
// a deadline. Whatever the test does, the child does not outlive the object.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace shopwalk::test {

class ChildProcess {
 public:
  enum class ErrorOutput {
    Pipe,      // standard error is a pipe, as under cron or in a log
    Terminal,  // standard error is a pseudo-terminal `columns` wide
  };

  // Starts `program` with `arguments` (argv[1]...) and this process's environment, with each
  // "NAME=value" of `environment` replacing or adding that variable. Standard input is /dev/null;
  // SIGINT and SIGTERM reach the child with their default handling and unblocked, whatever this
  // process does with them. Throws std::runtime_error when the child cannot be started.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment,
               ErrorOutput errorOutput = ErrorOutput::Pipe, unsigned short columns = 200);
  // A child still running is killed (SIGKILL) and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Sends `signal` to the child unless it has been reaped already.
  void Signal(int signal);

  // Waits up to `timeout` for the child to end. Its exit code, or minus the signal that ended
  // it; nothing while it runs. Once it has ended, both outputs have been read to their end.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();

  // What the child wrote so far.
  std::string Output() const;
  std::string Errors() const;
  // Waits up to `timeout` until the child's standard error holds `text`.
  bool WaitForErrors(std::string_view text, std::chrono::milliseconds timeout) const;
  // Waits up to `timeout` until what the child wrote on its standard output satisfies `ready`
  // (asked again whenever more arrives).
  bool WaitForOutput(const std::function<bool(const std::string& output)>& ready,
                     std::chrono::milliseconds timeout) const;

 private:
  struct Stream {
    int descriptor = -1;
    std::string text;
    std::thread reader;
  };
  void Read(Stream& stream);
  void Reap(int status);

  pid_t pid_ = -1;
  std::optional<int> ended_;
  mutable std::mutex mutex_;
  mutable std::condition_variable grew_;
  Stream output_, errors_;
};

// A run of a program to its end.
struct Finished {
  std::optional<int> code;  // nothing when it did not end in time (it was killed then)
  std::string output;
  std::string errors;
};
Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                  const std::vector<std::string>& environment,
                  std::chrono::milliseconds timeout = std::chrono::seconds(120));

// Waits up to `timeout` for `condition`, looking every few milliseconds.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace shopwalk::test
