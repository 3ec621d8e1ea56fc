#include "tests/support/child_process.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace shopwalk::test {
namespace {

std::string NameOf(const std::string& assignment) {
  return assignment.substr(0, assignment.find('='));
}

// This process's environment with `changes` ("NAME=value") put in.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string assignment = *entry;
    bool replaced = false;
    for (const std::string& change : changes)
      replaced = replaced || NameOf(change) == NameOf(assignment);
    if (!replaced) result.push_back(assignment);
  }
  result.insert(result.end(), changes.begin(), changes.end());
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

void CloseIfOpen(int& descriptor) {
  if (descriptor >= 0) ::close(descriptor);
  descriptor = -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, ErrorOutput errorOutput,
                           unsigned short columns) {
  // Everything the child needs is made before fork: after it, the child only calls what is safe
  // in a copy of a threaded process.
  std::vector<std::string> argvStrings{program};
  argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envStrings = EnvironmentWith(environment);
  std::vector<char*> argv = Pointers(argvStrings);
  std::vector<char*> envp = Pointers(envStrings);

  int outPipe[2] = {-1, -1};
  int errRead = -1, errWrite = -1;
  if (::pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  if (errorOutput == ErrorOutput::Pipe) {
    int errPipe[2];
    if (::pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    errRead = errPipe[0];
    errWrite = errPipe[1];
  } else {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    if (::openpty(&errRead, &errWrite, nullptr, nullptr, &size) != 0) {
      throw std::runtime_error(std::string("openpty failed: ") + std::strerror(errno));
    }
    ::fcntl(errRead, F_SETFD, FD_CLOEXEC);
    ::fcntl(errWrite, F_SETFD, FD_CLOEXEC);
  }
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    if (::dup2(devNull, STDIN_FILENO) < 0 || ::dup2(outPipe[1], STDOUT_FILENO) < 0 ||
        ::dup2(errWrite, STDERR_FILENO) < 0) {
      ::_exit(127);
    }
    // Descriptors this process opened without close-on-exec (a server's sockets) stay here.
    ::close_range(3, ~0U, 0);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(devNull);
  ::close(outPipe[1]);
  ::close(errWrite);
  output_.descriptor = outPipe[0];
  errors_.descriptor = errRead;
  output_.reader = std::thread([this] { Read(output_); });
  errors_.reader = std::thread([this] { Read(errors_); });
}

ChildProcess::~ChildProcess() {
  if (!ended_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    Reap(status);
  }
}

void ChildProcess::Read(Stream& stream) {
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(stream.descriptor, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    // A pipe ends with 0; a pseudo-terminal with EIO once the child's side is closed.
    if (count <= 0) break;
    {
      std::lock_guard lock(mutex_);
      stream.text.append(buffer, static_cast<std::size_t>(count));
    }
    grew_.notify_all();
  }
}

void ChildProcess::Reap(int status) {
  ended_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  for (Stream* stream : {&output_, &errors_}) {
    if (stream->reader.joinable()) stream->reader.join();
    CloseIfOpen(stream->descriptor);
  }
}

void ChildProcess::Signal(int signal) {
  if (!ended_) ::kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (ended_) return ended_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_) {
      Reap(status);
      return ended_;
    }
    if (reaped < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ChildProcess::Running() {
  return !Wait(std::chrono::milliseconds(0)).has_value();
}

std::string ChildProcess::Output() const {
  std::lock_guard lock(mutex_);
  return output_.text;
}

std::string ChildProcess::Errors() const {
  std::lock_guard lock(mutex_);
  return errors_.text;
}

bool ChildProcess::WaitForErrors(std::string_view text, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return grew_.wait_for(lock, timeout,
                        [&] { return errors_.text.find(text) != std::string::npos; });
}

bool ChildProcess::WaitForOutput(const std::function<bool(const std::string& output)>& ready,
                                 std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return grew_.wait_for(lock, timeout, [&] { return ready(output_.text); });
}

Finished RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                  const std::vector<std::string>& environment, std::chrono::milliseconds timeout) {
  ChildProcess child(program, arguments, environment);
  Finished finished;
  finished.code = child.Wait(timeout);
  finished.output = child.Output();
  finished.errors = child.Errors();
  return finished;
}

}  // namespace shopwalk::test
