#include "tests/support/page_answer.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace shopwalk::test {
namespace {

constexpr std::size_t Block = 64 * 1024;

// Pattern bytes from `offset` on, at least Block of them.
const char* PatternFrom(std::size_t offset) {
  static const std::string pattern = [] {
    std::string bytes(Block + 26, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = PatternByte(i);
    return bytes;
  }();
  return pattern.data() + offset % 26;
}

int PortOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return -1;
}

// The server's socket of the connection between the two ports; -1 when there is none.
int FindConnection(int localPort, int remotePort) {
  DIR* fds = opendir("/proc/self/fd");
  if (!fds) return -1;
  int found = -1;
  while (dirent* entry = readdir(fds)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == dirfd(fds)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        PortOf(local) != localPort) {
      continue;
    }
    if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
        PortOf(peer) != remotePort) {
      continue;
    }
    found = static_cast<int>(fd);
    break;
  }
  closedir(fds);
  return found;
}

// Makes the server's socket of the connection between the two ports close with a reset (RST)
// instead of an orderly shutdown.
void ArmReset(int localPort, int remotePort) {
  const int fd = FindConnection(localPort, remotePort);
  if (fd < 0) return;
  linger abortive{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

// Resets the connection between the two ports at once: disconnecting a TCP socket (connect to
// AF_UNSPEC) sends a reset, while the descriptor stays the server's to close.
void ResetNow(int localPort, int remotePort) {
  const int fd = FindConnection(localPort, remotePort);
  if (fd < 0) return;
  sockaddr unspecified{};
  unspecified.sa_family = AF_UNSPEC;
  connect(fd, &unspecified, sizeof unspecified);
}

// Waits until the client has closed the connection between the two ports (or reset it), `limit`
// has passed (none when zero or less) or `stop` is raised.
void WaitForHangUp(int localPort, int remotePort, std::chrono::milliseconds limit,
                   const StopSignal& stop) {
  const int fd = FindConnection(localPort, remotePort);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // Looks every few milliseconds, so a stop is seen soon.
  constexpr std::chrono::milliseconds Look{5};
  while (!stop.Raised()) {
    if (limit.count() > 0 && std::chrono::steady_clock::now() >= deadline) return;
    if (fd < 0) {
      stop.WaitFor(Look);
      continue;
    }
    pollfd watched{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&watched, 1, static_cast<int>(Look.count())) > 0) {
      if ((watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return;
      char byte = 0;
      // The client sent more (it does not wait for this answer): a closed or broken connection
      // reads as 0 or an error.
      if (::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0) return;
      stop.WaitFor(Look);
    }
  }
}

// The state of a BurstThenSilence answer between calls of its provider.
struct Burst {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::chrono::milliseconds length;
  std::chrono::milliseconds silence;
  std::string tail;
};

}  // namespace

void StopSignal::Raise() {
  {
    std::lock_guard lock(mutex_);
    up_ = true;
  }
  raised_.notify_all();
}

bool StopSignal::Raised() const {
  std::lock_guard lock(mutex_);
  return up_;
}

bool StopSignal::WaitFor(std::chrono::milliseconds duration) const {
  std::unique_lock lock(mutex_);
  return raised_.wait_for(lock, duration, [this] { return up_; });
}

void AnswerWithPage(const Page& page, const httplib::Request& request, httplib::Response& response,
                    const std::shared_ptr<StopSignal>& stop) {
  response.status = page.status;
  for (const auto& [name, value] : page.headers) response.set_header(name, value);
  if (!page.redirectTo.empty()) {
    if (page.status < 300 || page.status > 399) response.status = 302;
    response.set_header("Location", page.redirectTo);
  }
  const std::string& type = page.contentType;

  switch (page.misbehaviour) {
    case Misbehaviour::None:
      response.set_content(page.body, type);
      return;

    case Misbehaviour::StallBeforeAnswer:
      if (stop->WaitFor(std::chrono::milliseconds(page.stallMs))) return;
      response.set_content(page.body, type);
      return;

    case Misbehaviour::StallMidBody: {
      const auto body = std::make_shared<std::string>(page.body);
      const std::size_t half = body->size() / 2;
      const std::chrono::milliseconds stall(page.stallMs);
      response.set_content_provider(
          body->size(), type,
          [body, half, stall, stop](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (offset < half) return sink.write(body->data() + offset, half - offset);
            if (offset == half && stop->WaitFor(stall)) return false;
            return sink.write(body->data() + offset, body->size() - offset);
          });
      return;
    }

    case Misbehaviour::ResetMidBody: {
      const auto body = std::make_shared<std::string>(page.body);
      const std::size_t half = body->size() / 2;
      const int localPort = request.local_port;
      const int remotePort = request.remote_port;
      response.set_content_provider(body->size(), type,
                                    [body, half, localPort, remotePort, stop](
                                        std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                      if (offset < half)
                                        return sink.write(body->data() + offset, half - offset);
                                      // Give the client a moment to take the first half before the
                                      // connection dies.
                                      stop->WaitFor(std::chrono::milliseconds(50));
                                      ArmReset(localPort, remotePort);
                                      return false;
                                    });
      return;
    }

    case Misbehaviour::EndlessBody:
      response.set_chunked_content_provider(type,
                                            [stop](std::size_t offset, httplib::DataSink& sink) {
                                              if (stop->Raised()) return false;
                                              return sink.write(PatternFrom(offset), Block);
                                            });
      return;

    case Misbehaviour::OversizedBody:
      response.set_content_provider(
          page.oversizedBytes, type,
          [stop](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (stop->Raised()) return false;
            return sink.write(PatternFrom(offset), std::min(length, Block));
          });
      return;

    case Misbehaviour::ResetBeforeAnswer:
      ResetNow(request.local_port, request.remote_port);
      return;

    case Misbehaviour::SilentUntilHangUp:
      WaitForHangUp(request.local_port, request.remote_port,
                    std::chrono::milliseconds(page.stallMs), *stop);
      // Whatever is sent now reaches nobody, or comes after the client has stopped waiting.
      response.set_content(page.body, type);
      return;

    case Misbehaviour::BrokenChunking: {
      // Sent as it is: the server adds no framing of its own to a body without a length.
      response.set_header("Transfer-Encoding", "chunked");
      const std::string half = page.body.substr(0, page.body.size() / 2);
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", half.size());
      const auto raw = std::make_shared<std::string>(size + half + "\r\nzz\r\n");
      response.set_content_provider(type, [raw](std::size_t offset, httplib::DataSink& sink) {
        if (offset < raw->size()) return sink.write(raw->data() + offset, raw->size() - offset);
        sink.done();
        return true;
      });
      return;
    }

    case Misbehaviour::BurstThenSilence: {
      auto burst = std::make_shared<Burst>();
      burst->length = std::chrono::milliseconds(page.burstMs);
      burst->silence = std::chrono::milliseconds(page.stallMs);
      burst->tail = page.body;
      response.set_chunked_content_provider(
          type, [burst, stop](std::size_t offset, httplib::DataSink& sink) {
            if (std::chrono::steady_clock::now() - burst->start < burst->length) {
              if (!sink.write(PatternFrom(offset), 1024)) return false;
              return !stop->WaitFor(std::chrono::milliseconds(10));
            }
            if (stop->WaitFor(burst->silence)) return false;
            if (!sink.write(burst->tail.data(), burst->tail.size())) return false;
            sink.done();
            return true;
          });
      return;
    }

    case Misbehaviour::RedirectLoop:
      response.status = 302;
      response.set_header("Location",
                          "http://" + request.get_header_value("Host") + request.target);
      response.set_content(page.body, type);
      return;
  }
}

}  // namespace shopwalk::test
