#include "store/file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>

namespace shopwalk {
namespace {

bool Fail(std::string* reason, std::string text) {
  if (reason) *reason = std::move(text);
  return false;
}

bool FailErrno(std::string* reason, int error) {
  return Fail(reason, std::error_code(error, std::generic_category()).message());
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the close's own error (0 when fine).
  int Close() {
    int result = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// Removes the temporary file unless it was renamed into place.
class TemporaryName {
 public:
  ~TemporaryName() {
    if (!path.empty()) ::unlink(path.c_str());
  }
  std::string path;
};

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates a fresh file beside `target` with mode 0666 less the umask, as a new file would get.
int OpenTemporaryBeside(const std::string& target, std::string& temporaryPath) {
  static std::atomic<unsigned> counter{0};
  std::string directory = DirectoryOf(target);
  std::string base = BaseNameOf(target).substr(0, 160);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = directory + "/." + base + ".tmp" + std::to_string(::getpid()) + "-" +
                            std::to_string(counter.fetch_add(1));
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      temporaryPath = std::move(candidate);
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void SyncDirectory(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // Some file systems cannot sync a directory; the rename has happened all the same.
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool WriteFileBytes(std::string_view path, std::string_view bytes, std::string* reason) {
  if (path.empty()) return FailErrno(reason, ENOENT);
  if (path.find('\0') != std::string_view::npos) return FailErrno(reason, EINVAL);
  std::string target(path);

  // Follow a symbolic link so that the file it names is replaced and the link itself stays.
  struct stat info {};
  if (::lstat(target.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    if (char* resolved = ::realpath(target.c_str(), nullptr)) {
      target = resolved;
      std::free(resolved);
    }
  }
  bool existed = false;
  if (::stat(target.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return FailErrno(reason, EISDIR);
    if (!S_ISREG(info.st_mode)) return Fail(reason, "Not a regular file");
    // A file its owner made read-only stays protected, even though its directory would let us
    // replace it.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
      return FailErrno(reason, errno);
    }
    existed = true;
  } else if (errno != ENOENT) {
    return FailErrno(reason, errno);
  }
  if (BaseNameOf(target).empty()) return FailErrno(reason, EISDIR);

  TemporaryName temporary;
  Descriptor file(OpenTemporaryBeside(target, temporary.path));
  if (file.get() < 0) return FailErrno(reason, errno);
  if (existed) {
    if (::fchmod(file.get(), info.st_mode & 07777) != 0) return FailErrno(reason, errno);
    // Keeping the owner only works with the right privileges; the content matters more.
    if (info.st_uid != ::geteuid() || info.st_gid != ::getegid()) {
      [[maybe_unused]] int ignored = ::fchown(file.get(), info.st_uid, info.st_gid);
    }
  }
  if (!WriteAll(file.get(), bytes)) return FailErrno(reason, errno);
  if (::fsync(file.get()) != 0) return FailErrno(reason, errno);
  if (int error = file.Close(); error != 0) return FailErrno(reason, error);
  if (::rename(temporary.path.c_str(), target.c_str()) != 0) return FailErrno(reason, errno);
  temporary.path.clear();
  SyncDirectory(DirectoryOf(target));
  return true;
}

std::optional<std::string> ReadFileBytes(std::string_view path, int* error) {
  auto fail = [error](int code) -> std::optional<std::string> {
    if (error) *error = code;
    return std::nullopt;
  };
  if (path.empty()) return fail(ENOENT);
  if (path.find('\0') != std::string_view::npos) return fail(EINVAL);
  Descriptor file(::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return fail(errno);
  std::string content;
  struct stat info {};
  if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode)) {
    content.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(file.get(), buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (count == 0) break;
    content.append(buffer, static_cast<std::size_t>(count));
  }
  return content;
}

}  // namespace shopwalk
