#include "tests/support/tinyproxy_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/unprivileged.h"

namespace shopwalk::test {
namespace {

constexpr const char* ProxyProgram = "/usr/bin/tinyproxy";
constexpr const char* SetprivProgram = "/usr/bin/setpriv";
constexpr std::chrono::seconds StartPatience{60};

// A port on 127.0.0.1 that nothing listens on right now; 0 when none could be had.
int FreePort() {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (socket < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(socket);
  return port;
}

// Whether something accepts connections on 127.0.0.1:`port`.
bool Accepts(int port) {
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool connected =
      ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(socket);
  return connected;
}

std::string FileTail(const std::string& path, std::size_t bytes = 4000) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  std::string content = text.str();
  return content.size() > bytes ? content.substr(content.size() - bytes) : content;
}

}  // namespace

TinyproxyServer::TinyproxyServer(int upstreamPort) {
  std::string base = ::testing::TempDir();
  if (base.empty()) base = "/tmp/";
  if (base.back() != '/') base += '/';
  std::string pattern = base + "tinyproxy_XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    problem_ = "mkdtemp " + pattern + ": " + std::strerror(errno);
    return;
  }
  folder_ = pattern;
  // The proxy writes its log here, as the user it runs as.
  if (RunningAsRoot() && ::chown(folder_.c_str(), UnprivilegedUser, UnprivilegedGroup) != 0) {
    problem_ = "chown " + folder_ + ": " + std::strerror(errno);
    return;
  }
  port_ = FreePort();
  if (port_ == 0) {
    problem_ = "no free port on 127.0.0.1";
    return;
  }
  std::ofstream config(folder_ + "/tinyproxy.conf");
  config << "Port " << port_ << "\n"
         << "Listen 127.0.0.1\n"
         << "Timeout 60\n"
         << "MaxClients 100\n"
         << "LogFile \"" << folder_ << "/tinyproxy.log\"\n"
         << "LogLevel Info\n"
         << "ViaProxyName \"" << ViaName << "\"\n"
         << "Upstream http 127.0.0.1:" << upstreamPort << "\n";
  if (!config.good()) problem_ = "cannot write " + folder_ + "/tinyproxy.conf";
}

TinyproxyServer::~TinyproxyServer() {
  Stop();
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string TinyproxyServer::Start() {
  if (!problem_.empty()) return problem_;
  if (process_) return {};
  const std::string config = folder_ + "/tinyproxy.conf";
  std::vector<std::string> arguments{"-d", "-c", config};
  std::string program = ProxyProgram;
  if (RunningAsRoot()) {
    arguments.insert(arguments.begin(), {"--reuid=" + std::to_string(UnprivilegedUser),
                                         "--regid=" + std::to_string(UnprivilegedGroup),
                                         "--clear-groups", "--", ProxyProgram});
    program = SetprivProgram;
  }
  process_ = std::make_unique<ChildProcess>(program, arguments, std::vector<std::string>{});
  const bool ready =
      WaitUntil([this] { return !process_->Running() || Accepts(port_); }, StartPatience);
  if (ready && process_->Running()) return {};
  process_->Wait(std::chrono::seconds(5));
  const std::string why = "tinyproxy did not start: " + process_->Errors() + "\n" +
                          FileTail(folder_ + "/tinyproxy.log");
  process_.reset();
  return why;
}

void TinyproxyServer::Stop() {
  if (!process_) return;
  process_->Signal(SIGTERM);
  // Killed by the destructor if it has not ended by then.
  process_->Wait(std::chrono::seconds(20));
  process_.reset();
}

std::string TinyproxyServer::Url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

}  // namespace shopwalk::test
