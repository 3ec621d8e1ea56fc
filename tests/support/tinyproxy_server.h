// A real HTTP proxy of a test's own: Debian's tinyproxy, listening only on 127.0.0.1 at a free
// port, with a configuration written by the test into a temporary folder, forwarding every
// request to the test marketplace as to an upstream proxy (so the marketplace gets the requests
// in the absolute form a proxy forwards, and no host name is ever looked up). It names itself
// ViaName in the Via header of what it forwards. As root (as in CI) it runs as the unprivileged
// user of tests/support/unprivileged.h, through setpriv; otherwise as the current user. The test
// starts and stops it, also in the middle of a case.
#pragma once

#include <memory>
#include <string>

#include "tests/support/child_process.h"

namespace shopwalk::test {

class TinyproxyServer {
 public:
  static constexpr const char* ViaName = "shopwalk-test-proxy";

  // Writes the configuration for a proxy in front of the upstream at 127.0.0.1:`upstreamPort`
  // and picks a free port; the proxy is not started yet. A failure is kept in Problem() and makes
  // Start fail.
  explicit TinyproxyServer(int upstreamPort);
  // Stops a running proxy and removes its folder.
  ~TinyproxyServer();
  TinyproxyServer(const TinyproxyServer&) = delete;
  TinyproxyServer& operator=(const TinyproxyServer&) = delete;

  // Starts the proxy and waits until it accepts connections. "" when it runs, else why (with the
  // end of its log). The port stays the same across restarts.
  std::string Start();
  // Stops the proxy (SIGTERM, then SIGKILL if it lingers) and waits until it has ended.
  void Stop();
  bool Running() const { return process_ != nullptr; }

  int Port() const { return port_; }
  // "http://127.0.0.1:<port>", for --proxy.
  std::string Url() const;
  const std::string& Problem() const { return problem_; }

 private:
  std::string folder_;
  std::string problem_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace shopwalk::test
