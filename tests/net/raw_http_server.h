// A bare HTTP server for tests that must see a request exactly as it crossed the wire: a plain
// socket on 127.0.0.1 with a free port, a thread that takes one request per connection, keeps its
// head byte for byte and answers every request with the same tiny page, then closes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace shopwalk::test {

class RawHttpServer {
 public:
  // The body of every answer.
  static constexpr std::string_view Body = "seen";

  RawHttpServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }

  // Stops accepting and waits for the serving thread.
  ~RawHttpServer() {
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);  // wakes the blocked accept
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }

  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  bool Listening() const { return port_ != 0; }
  // "127.0.0.1:<port>", for SetConnectTo.
  std::string ConnectAddress() const { return "127.0.0.1:" + std::to_string(port_); }

  // The request heads received so far, in order, each through its closing blank line.
  std::vector<std::string> Heads() const {
    std::lock_guard lock(mutex_);
    return heads_;
  }

 private:
  void Serve() {
    while (true) {
      const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) return;
      // A client that never finishes its head cannot hold the server.
      const timeval limit{5, 0};
      ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      std::string head;
      char chunk[4096];
      std::size_t end = std::string::npos;
      while ((end = head.find("\r\n\r\n")) == std::string::npos && head.size() < (64u << 10)) {
        const ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        head.append(chunk, static_cast<std::size_t>(got));
      }
      if (end != std::string::npos) {
        {
          std::lock_guard lock(mutex_);
          heads_.push_back(head.substr(0, end + 4));
        }
        const std::string answer =
            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(Body.size()) +
            "\r\nConnection: close\r\n\r\n" + std::string(Body);
        ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
      }
      ::close(connection);
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> heads_;
};

}  // namespace shopwalk::test
