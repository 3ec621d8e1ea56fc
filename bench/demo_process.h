// The demo marketplace as a process of its own, for benchmarks that walk against it: started on a
// free loopback port, which it names on its first line ("PORT n"), and ended with SIGTERM when
// this object goes. Where the program lives is the build's DEMO_MARKETPLACE_PATH.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace shopwalk::bench {

struct DemoProcess {
  pid_t pid = -1;
  int port = 0;

  DemoProcess() = default;
  DemoProcess(const DemoProcess&) = delete;
  DemoProcess& operator=(const DemoProcess&) = delete;

  // Whether the demo started and named its port.
  bool Start() {
    int out[2];
    if (pipe(out) != 0) return false;
    pid = fork();
    if (pid == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      execl(DEMO_MARKETPLACE_PATH, DEMO_MARKETPLACE_PATH, "0", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
      close(out[0]);
      return false;
    }
    char line[64] = {};
    const ssize_t n = read(out[0], line, sizeof line - 1);
    close(out[0]);
    return n > 0 && std::sscanf(line, "PORT %d", &port) == 1 && port > 0;
  }

  ~DemoProcess() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

}  // namespace shopwalk::bench
