// A PostgreSQL 15 server of a test's own, in a temporary folder: it listens only on 127.0.0.1 at
// a free port, keeps its socket inside that folder, and lets the user "shopwalk" in without a
// password (trust). The test starts and stops it, also in the middle of a case (a restart, or a
// while without a server).
//
// The first server of a test program runs initdb once into a template folder of the program's
// own; every server is a copy of it, so a fresh one costs a copy rather than an initdb. The
// server refuses to run as root: as root (as in CI) initdb, the copy and the server run as the
// unprivileged user of tests/support/unprivileged.h; otherwise as the current user. Binaries come
// from /usr/lib/postgresql/15/bin (the Debian package postgresql-15).
#pragma once

#include <string>

namespace shopwalk::test {

class PostgresServer {
 public:
  enum class StopMode {
    Fast,       // sessions are cut off, everything committed is written: a clean shutdown
    Immediate,  // the server quits at once, like a crash (it recovers from its log at the next
                // start)
  };

  // Copies the template cluster into a fresh folder and picks a free port; the server is not
  // started yet. A failure is kept in Problem() and makes Start fail.
  PostgresServer();
  // Stops a running server (immediately) and removes its folder.
  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // Starts the server and waits until it accepts connections. "" when it runs, else why (with the
  // end of its log). The port stays the same across restarts.
  std::string Start();
  // Stops the server and waits until it is down. "" when it stopped, else why.
  std::string Stop(StopMode mode = StopMode::Fast);
  bool Running() const { return running_; }

  int Port() const { return port_; }
  const std::string& Folder() const { return folder_; }
  const std::string& Problem() const { return problem_; }
  // A libpq URI for `database` as the user "shopwalk" over TCP.
  std::string Uri(const std::string& database = "postgres") const;
  // Creates an empty database `name` (a plain identifier); "" when it did, else why.
  std::string CreateDatabase(const std::string& name) const;

 private:
  std::string folder_;
  std::string problem_;
  int port_ = 0;
  bool running_ = false;
};

}  // namespace shopwalk::test
