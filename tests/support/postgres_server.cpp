#include "tests/support/postgres_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/support/unprivileged.h"

namespace shopwalk::test {
namespace {

constexpr const char* BinFolder = "/usr/lib/postgresql/15/bin/";
constexpr const char* ServerUser = "shopwalk";
// Unix socket paths are limited to about 107 bytes; a longer temporary folder falls back to /tmp.
constexpr std::size_t LongestFolder = 70;

// The folder temporary folders go into.
std::string TemporaryBase() {
  std::string base = ::testing::TempDir();
  if (base.empty() || base.size() > LongestFolder) base = "/tmp/";
  if (base.back() != '/') base += '/';
  return base;
}

// A fresh folder the server's user owns; "" (and `error`) when it could not be made.
std::string MakeFolder(const std::string& prefix, std::string& error) {
  std::string pattern = TemporaryBase() + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    error = "mkdtemp " + pattern + ": " + std::strerror(errno);
    return {};
  }
  if (RunningAsRoot() && ::chown(pattern.c_str(), UnprivilegedUser, UnprivilegedGroup) != 0) {
    error = "chown " + pattern + ": " + std::strerror(errno);
    std::filesystem::remove_all(pattern);
    return {};
  }
  return pattern;
}

// Runs `arguments` (the program first) to its end as the server's user (the unprivileged user
// as root, else the current one), standard output and error appended to `logPath`. Its exit
// code, or -1 when it could not be run.
int RunAsServerUser(const std::vector<std::string>& arguments, const std::string& logPath) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const bool root = RunningAsRoot();
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    // Only calls that are safe between fork and exec in a threaded program. The server starts
    // with no signal blocked, whatever this program blocks.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (root && (::setgroups(0, nullptr) != 0 ||
                 ::setresgid(UnprivilegedGroup, UnprivilegedGroup, UnprivilegedGroup) != 0 ||
                 ::setresuid(UnprivilegedUser, UnprivilegedUser, UnprivilegedUser) != 0)) {
      ::_exit(126);
    }
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int nothing = ::open("/dev/null", O_RDONLY);
    if (log < 0 || nothing < 0 || ::dup2(nothing, 0) < 0 || ::dup2(log, 1) < 0 ||
        ::dup2(log, 2) < 0 || ::chdir("/") != 0) {
      ::_exit(126);
    }
    // The server must not inherit the test program's sockets and files.
    ::close_range(3, ~0U, 0);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FileTail(const std::string& path, std::size_t bytes = 4000) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  std::string content = text.str();
  return content.size() > bytes ? content.substr(content.size() - bytes) : content;
}

// A port on 127.0.0.1 that nothing listens on right now; 0 when none could be had.
int FreePort() {
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (socket < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(socket);
  return port;
}

// The cluster every server of this program copies, made by initdb on first use and removed when
// the program ends.
struct TemplateCluster {
  std::string folder;
  std::string problem;

  TemplateCluster() {
    folder = MakeFolder("pg_template_", problem);
    if (folder.empty()) return;
    const std::string log = folder + "/initdb.log";
    const int code = RunAsServerUser(
        {std::string(BinFolder) + "initdb", "-D", folder + "/data", "-U", ServerUser,
         "--auth=trust", "-E", "UTF8", "--locale=C", "--no-sync", "--no-instructions"},
        log);
    if (code != 0) {
      problem = "initdb failed (exit " + std::to_string(code) + "): " + FileTail(log);
    }
  }
  ~TemplateCluster() {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  }
  TemplateCluster(const TemplateCluster&) = delete;
  TemplateCluster& operator=(const TemplateCluster&) = delete;
};

const TemplateCluster& Template() {
  static const TemplateCluster cluster;
  return cluster;
}

}  // namespace

PostgresServer::PostgresServer() {
  const TemplateCluster& cluster = Template();
  if (!cluster.problem.empty()) {
    problem_ = cluster.problem;
    return;
  }
  folder_ = MakeFolder("pg_server_", problem_);
  if (folder_.empty()) return;
  const std::string log = folder_ + "/setup.log";
  const int code =
      RunAsServerUser({"/bin/cp", "-a", cluster.folder + "/data", folder_ + "/data"}, log);
  if (code != 0) {
    problem_ =
        "copying the template cluster failed (exit " + std::to_string(code) + "): " + FileTail(log);
    return;
  }
  port_ = FreePort();
  if (port_ == 0) problem_ = "no free port on 127.0.0.1";
}

PostgresServer::~PostgresServer() {
  if (running_) Stop(StopMode::Immediate);
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string PostgresServer::Start() {
  if (!problem_.empty()) return problem_;
  if (running_) return {};
  const std::string log = folder_ + "/server.log";
  const std::string control = folder_ + "/pg_ctl.log";
  // A port taken since it was picked: the first start tries others.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::string options = "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) +
                                " -c unix_socket_directories=" + folder_ +
                                " -c fsync=off -c max_connections=50";
    const int code = RunAsServerUser({std::string(BinFolder) + "pg_ctl", "-D", folder_ + "/data",
                                      "-l", log, "-w", "-t", "60", "-o", options, "start"},
                                     control);
    if (code == 0) {
      running_ = true;
      return {};
    }
    const std::string tail = FileTail(log);
    if (tail.find("Address already in use") == std::string::npos || attempt == 2) {
      return "pg_ctl start failed (exit " + std::to_string(code) + "): " + FileTail(control) +
             "\n" + tail;
    }
    port_ = FreePort();
  }
  return "pg_ctl start failed";
}

std::string PostgresServer::Stop(StopMode mode) {
  if (!running_) return {};
  const std::string control = folder_ + "/pg_ctl.log";
  const int code =
      RunAsServerUser({std::string(BinFolder) + "pg_ctl", "-D", folder_ + "/data", "-m",
                       mode == StopMode::Fast ? "fast" : "immediate", "-w", "-t", "60", "stop"},
                      control);
  if (code != 0) {
    return "pg_ctl stop failed (exit " + std::to_string(code) + "): " + FileTail(control);
  }
  running_ = false;
  return {};
}

std::string PostgresServer::Uri(const std::string& database) const {
  return "postgresql://" + std::string(ServerUser) + "@127.0.0.1:" + std::to_string(port_) + "/" +
         database;
}

std::string PostgresServer::CreateDatabase(const std::string& name) const {
  PGconn* connection = PQconnectdb(Uri("postgres").c_str());
  std::string problem;
  if (PQstatus(connection) != CONNECTION_OK) {
    problem = PQerrorMessage(connection);
  } else {
    PGresult* result = PQexec(connection, ("CREATE DATABASE " + name).c_str());
    if (PQresultStatus(result) != PGRES_COMMAND_OK) problem = PQresultErrorMessage(result);
    PQclear(result);
  }
  PQfinish(connection);
  return problem;
}

}  // namespace shopwalk::test
