#include "tests/sim/connection_gate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace shopwalk::sim {
namespace {

pid_t ThisThread() {
  return static_cast<pid_t>(::gettid());
}

// How long a client has to close its side once the marketplace closed its own.
constexpr std::chrono::milliseconds ClientCloseWait{1000};

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

int LocalPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

// Closes `fd` with a reset (RST) instead of an orderly end.
void CloseWithReset(int fd) {
  linger abortive{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  ::close(fd);
}

// Writes all of `bytes`; false when the connection broke.
bool WriteAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// recv() that also gives the time the bytes arrived (SO_TIMESTAMPNS; `arrived` is left as it
// was when the system gives none).
ssize_t ReceiveStamped(int fd, char* buffer, std::size_t size,
                       std::chrono::system_clock::time_point& arrived) {
  iovec part{buffer, size};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control{};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control.data();
  message.msg_controllen = control.size();
  const ssize_t got = ::recvmsg(fd, &message, 0);
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); got > 0 && header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
      timespec stamp{};
      std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
      arrived = std::chrono::system_clock::time_point(
          std::chrono::duration_cast<std::chrono::system_clock::duration>(
              std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
    }
  }
  return got;
}

}  // namespace

// One connection passed through: the client's side and the marketplace's.
struct ConnectionGate::Passage {
  std::uint64_t id = 0;
  int client = -1;
  int upstream = -1;
  int upstreamPort = 0;
  // Set by Close: the passage ends with resets on both sides.
  bool reset = false;
  // The client has sent bytes no answer has followed yet; a new connection is taken to carry a
  // request until its passage has looked.
  bool awaiting = true;
  std::thread thread;
};

ConnectionGate::ConnectionGate(int upstreamPort) : upstreamPort_(upstreamPort) {
  Listen();
}

ConnectionGate::~ConnectionGate() {
  Close();
  std::unique_lock lock(mutex_);
  stopping_ = true;
  ended_.wait(lock, [this] { return passages_.empty(); });
  Reap();
}

std::string ConnectionGate::ConnectAddress() const {
  return "127.0.0.1:" + std::to_string(port_);
}

void ConnectionGate::Listen() {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) throw std::runtime_error(std::string("gate: socket: ") + std::strerror(errno));
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = Loopback(port_);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, SOMAXCONN) != 0) {
    const int error = errno;
    ::close(listener);
    throw std::runtime_error("gate: cannot listen at port " + std::to_string(port_) + ": " +
                             std::strerror(error));
  }
  port_ = LocalPort(listener);
  listener_ = listener;
  open_ = true;
  acceptor_ = std::thread([this, listener] { Accept(listener); });
}

void ConnectionGate::Open() {
  std::lock_guard lock(mutex_);
  if (open_ || stopping_) return;
  if (acceptor_.joinable()) acceptor_.join();
  Listen();
}

bool ConnectionGate::IsOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

void ConnectionGate::Close() {
  std::thread acceptor;
  {
    std::lock_guard lock(mutex_);
    if (open_) {
      open_ = false;
      // Wakes the acceptor; once the socket is closed nothing listens at the port.
      ::shutdown(listener_, SHUT_RDWR);
      acceptor = std::move(acceptor_);
    }
    for (auto& [id, passage] : passages_) {
      if (passage->reset) continue;
      passage->reset = true;
      resetPorts_.insert(passage->upstreamPort);
      // Wakes the passage, which closes both sides with a reset.
      ::shutdown(passage->client, SHUT_RDWR);
      if (passage->upstream >= 0) ::shutdown(passage->upstream, SHUT_RDWR);
    }
  }
  if (acceptor.joinable()) acceptor.join();
}

void ConnectionGate::Accept(int listener) {
  {
    std::lock_guard lock(mutex_);
    threads_.insert(ThisThread());
  }
  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;
    }
    std::lock_guard lock(mutex_);
    if (!open_) {
      CloseWithReset(client);
      break;
    }
    Reap();
    auto passage = std::make_shared<Passage>();
    passage->id = nextPassage_++;
    passage->client = client;
    passages_[passage->id] = passage;
    passage->thread = std::thread([this, passage] { Pass(passage); });
  }
  ::close(listener);
  std::lock_guard lock(mutex_);
  threads_.erase(ThisThread());
}

void ConnectionGate::Pass(const std::shared_ptr<Passage>& passage) {
  {
    std::lock_guard lock(mutex_);
    threads_.insert(ThisThread());
  }
  const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(upstreamPort_);
  bool connected = upstream >= 0 &&
                   ::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (connected) {
    const int on = 1;
    ::setsockopt(upstream, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(passage->client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // The system's time of arrival of the client's bytes, however late this thread reads them.
    ::setsockopt(passage->client, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  }
  {
    std::lock_guard lock(mutex_);
    passage->upstream = upstream;
    passage->upstreamPort = connected ? LocalPort(upstream) : 0;
    // Closed while connecting: ends at once.
    if (passage->reset && upstream >= 0) ::shutdown(upstream, SHUT_RDWR);
  }
  // How the passage ended: a side broke (or the gate closed), the client closed, or the
  // marketplace closed.
  enum class End { Broken, ClientClosed, UpstreamClosed };
  End end = End::Broken;
  // When the client's request (the last of its bytes) went on, while its answer has not begun.
  bool waiting = false;
  std::chrono::system_clock::time_point asked{};
  const auto waited = [&](std::chrono::microseconds wait) {
    std::lock_guard lock(mutex_);
    waits_[passage->upstreamPort].push_back(wait);
  };
  std::array<char, 64 * 1024> buffer{};
  while (connected) {
    std::array<pollfd, 2> sides{pollfd{passage->client, POLLIN, 0}, pollfd{upstream, POLLIN, 0}};
    if (::poll(sides.data(), sides.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    bool ended = false;
    for (std::size_t side = 0; side < sides.size() && !ended; ++side) {
      if (sides[side].revents == 0) continue;
      const int from = sides[side].fd;
      const int to = side == 0 ? upstream : passage->client;
      std::chrono::system_clock::time_point arrived = std::chrono::system_clock::now();
      const ssize_t got = side == 0 ? ReceiveStamped(from, buffer.data(), buffer.size(), arrived)
                                    : ::recv(from, buffer.data(), buffer.size(), 0);
      if (got > 0) {
        {
          // A request goes out, or its answer comes back.
          std::lock_guard lock(mutex_);
          passage->awaiting = side == 0;
        }
        if (!WriteAll(to, buffer.data(), static_cast<std::size_t>(got))) ended = true;
        if (side == 0) {
          asked = arrived;
          waiting = true;
        } else if (waiting) {
          // The client had the first byte of its answer as it was written to it.
          waited(std::chrono::duration_cast<std::chrono::microseconds>(
              std::chrono::system_clock::now() - asked));
          waiting = false;
        }
      } else if (got == 0) {
        end = side == 0 ? End::ClientClosed : End::UpstreamClosed;
        ended = true;
      } else if (errno != EINTR && errno != EAGAIN) {
        if (side == 0) {
          // The client reset the connection: it had not read the answer.
          std::lock_guard lock(mutex_);
          resetPorts_.insert(passage->upstreamPort);
        }
        ended = true;
      }
    }
    if (ended) break;
  }
  bool reset = false;
  bool unanswered = false;
  {
    std::lock_guard lock(mutex_);
    reset = passage->reset;
    unanswered = passage->awaiting;
    passage->awaiting = false;
    // The client closed while its request waited for an answer: it gave up on it.
    if (end == End::ClientClosed && unanswered && passage->upstreamPort != 0) {
      resetPorts_.insert(passage->upstreamPort);
    }
  }
  // A side that closes first keeps its end of the connection a while (TIME_WAIT), and a new
  // connection that happens to take the same ports then waits a second for its first packet to be
  // sent again: a wait no one could see. So the gate never closes first with an orderly end: it
  // answers a client's close with its own, ends a connection to the marketplace with a reset, and
  // after the marketplace closed waits for the client to close (a moment, as the answer was
  // whole) or resets it.
  if (end == End::UpstreamClosed && !reset && !unanswered) {
    pollfd client{passage->client, POLLIN | POLLRDHUP, 0};
    char byte = 0;
    if (::poll(&client, 1, static_cast<int>(ClientCloseWait.count())) > 0 &&
        ::recv(passage->client, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
      end = End::ClientClosed;
    } else {
      end = End::Broken;
    }
  }
  if (waiting) waited(std::chrono::microseconds::max());
  if (upstream >= 0) CloseWithReset(upstream);
  if (end == End::ClientClosed && !reset) {
    ::close(passage->client);
  } else {
    CloseWithReset(passage->client);
  }
  std::lock_guard lock(mutex_);
  threads_.erase(ThisThread());
  finished_.push_back(std::move(passage->thread));
  passages_.erase(passage->id);
  ended_.notify_all();
}

void ConnectionGate::Reap() {
  for (std::thread& thread : finished_) {
    if (thread.get_id() != std::this_thread::get_id()) thread.join();
  }
  finished_.clear();
}

std::size_t ConnectionGate::Awaiting() const {
  std::lock_guard lock(mutex_);
  std::size_t awaiting = 0;
  for (const auto& [id, passage] : passages_) awaiting += passage->awaiting ? 1 : 0;
  if (open_) {
    // A listening socket's TCP_INFO gives its accept queue's length.
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(listener_, IPPROTO_TCP, TCP_INFO, &info, &size) == 0) {
      awaiting += info.tcpi_unacked;
    }
  }
  return awaiting;
}

std::map<int, std::vector<std::chrono::microseconds>> ConnectionGate::Waits() const {
  std::lock_guard lock(mutex_);
  return waits_;
}

std::size_t ConnectionGate::Passing() const {
  std::lock_guard lock(mutex_);
  return passages_.size();
}

std::vector<pid_t> ConnectionGate::Threads() const {
  std::lock_guard lock(mutex_);
  return {threads_.begin(), threads_.end()};
}

std::set<int> ConnectionGate::ResetUpstreamPorts() const {
  std::lock_guard lock(mutex_);
  return resetPorts_;
}

}  // namespace shopwalk::sim
