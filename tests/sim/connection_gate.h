// A gate in front of the test marketplace, so a simulated outage can refuse connections: it
// listens on 127.0.0.1 at a port of its own and passes every connection through to the
// marketplace byte for byte (a reset from either side is passed on as a reset). Closed, nothing
// listens at its port, so a new connection is refused, and every connection it was passing is
// reset; opened again, it listens at the same port. Safe from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace shopwalk::sim {

class ConnectionGate {
 public:
  // Opens at a free port, passing connections to 127.0.0.1:`upstreamPort`. Throws
  // std::runtime_error when it cannot listen.
  explicit ConnectionGate(int upstreamPort);
  // Resets every connection and stops.
  ~ConnectionGate();
  ConnectionGate(const ConnectionGate&) = delete;
  ConnectionGate& operator=(const ConnectionGate&) = delete;

  int Port() const { return port_; }
  // "127.0.0.1:<port>".
  std::string ConnectAddress() const;

  // Refuses new connections and resets those open. Harmless when closed.
  void Close();
  // Listens again (at the same port). Harmless when open. Throws std::runtime_error when the port
  // cannot be had again.
  void Open();
  bool IsOpen() const;

  // Requests in transit: connections on which the client has sent bytes that no answer has
  // followed yet, and connections the system has accepted that the gate has not yet taken.
  std::size_t Awaiting() const;
  // Connections being passed now.
  std::size_t Passing() const;

  // The threads of this process that accept or pass connections now (kernel thread IDs).
  std::vector<pid_t> Threads() const;
  // The local ports of the gate's connections to the marketplace whose last answer may never have
  // reached its client: Close reset them, or the client gave up waiting (it closed before an
  // answer came, or reset the connection with the answer unread).
  std::set<int> ResetUpstreamPorts() const;
  // For each connection to the marketplace (by its local port), how long each request on it
  // waited, as its client saw it, from its last byte passed on to the first byte of its answer
  // passed back (the longest time for a request never answered), in order.
  std::map<int, std::vector<std::chrono::microseconds>> Waits() const;

 private:
  struct Passage;
  void Listen();
  void Accept(int listener);
  void Pass(const std::shared_ptr<Passage>& passage);
  // Joins the threads of passages that have ended (under mutex_).
  void Reap();

  const int upstreamPort_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable ended_;
  bool open_ = false;
  bool stopping_ = false;
  int listener_ = -1;
  std::thread acceptor_;
  std::uint64_t nextPassage_ = 0;
  std::map<std::uint64_t, std::shared_ptr<Passage>> passages_;
  std::vector<std::thread> finished_;
  std::set<pid_t> threads_;
  std::set<int> resetPorts_;
  std::map<int, std::vector<std::chrono::microseconds>> waits_;
};

}  // namespace shopwalk::sim
