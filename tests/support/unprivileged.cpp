#include "tests/support/unprivileged.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

namespace shopwalk::test {
namespace {

// Failures recorded so far in the running test (or in the whole program outside a test).
int FailureCount() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (test == nullptr) return ::testing::UnitTest::GetInstance()->failed_test_count();
  const ::testing::TestResult* result = test->result();
  int failures = 0;
  for (int i = 0; i < result->total_part_count(); ++i) {
    if (result->GetTestPartResult(i).failed()) ++failures;
  }
  return failures;
}

// Whether the process now runs as `uid`/`gid` in every role, without supplementary groups, and
// cannot become root again.
bool DroppedTo(uid_t uid, gid_t gid) {
  uid_t realUser = 0, effectiveUser = 0, savedUser = 0;
  gid_t realGroup = 0, effectiveGroup = 0, savedGroup = 0;
  if (::getresuid(&realUser, &effectiveUser, &savedUser) != 0 ||
      ::getresgid(&realGroup, &effectiveGroup, &savedGroup) != 0) {
    return false;
  }
  if (realUser != uid || effectiveUser != uid || savedUser != uid || realGroup != gid ||
      effectiveGroup != gid || savedGroup != gid || ::getgroups(0, nullptr) != 0) {
    return false;
  }
  return uid == 0 || ::setresuid(0, 0, 0) != 0;
}

[[noreturn]] void RunInChild(const std::function<void()>& body, uid_t uid, gid_t gid) {
  int failuresBefore = FailureCount();
  if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
      ::setresuid(uid, uid, uid) != 0 || !DroppedTo(uid, gid)) {
    ADD_FAILURE() << "could not run as user " << uid << " group " << gid << ": "
                  << std::strerror(errno);
  } else {
    try {
      body();
    } catch (const std::exception& error) {
      ADD_FAILURE() << "exception thrown as user " << uid << ": " << error.what();
    } catch (...) {
      ADD_FAILURE() << "unknown exception thrown as user " << uid;
    }
  }
  bool failed = FailureCount() != failuresBefore;
  std::fflush(nullptr);
  // No exit handlers: they belong to the test program the parent goes on running.
  ::_exit(failed ? 1 : 0);
}

}  // namespace

bool RunningAsRoot() {
  return ::geteuid() == 0;
}

void RunUnprivileged(const std::function<void()>& body, uid_t uid, gid_t gid) {
  if (!RunningAsRoot()) {
    body();
    return;
  }
  // Output still buffered would otherwise be printed by both processes.
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return;
  }
  if (child == 0) RunInChild(body, uid, gid);

  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      ADD_FAILURE() << "waitpid: " << std::strerror(errno);
      return;
    }
  }
  if (WIFSIGNALED(status)) {
    ADD_FAILURE() << "the part run as user " << uid << " was killed by signal " << WTERMSIG(status)
                  << " (" << ::strsignal(WTERMSIG(status)) << ")";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the part run as user " << uid << " failed (its failures are printed above)";
  }
}

}  // namespace shopwalk::test
