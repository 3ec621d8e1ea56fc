#include "store/file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <system_error>
#include <vector>

namespace shopwalk {
namespace {

bool Fail(std::string* reason, std::string text) {
  if (reason) *reason = std::move(text);
  return false;
}

bool FailErrno(std::string* reason, int error) {
  return Fail(reason, std::error_code(error, std::generic_category()).message());
}

int FailedOpen(std::string& reason, int error) {
  FailErrno(&reason, error);
  return -1;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return fd_; }
  // Gives the descriptor up without closing it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
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

// The most symbolic links one path may lead through, as the kernel allows.
constexpr int MaxLinksFollowed = 40;

// Whether the kernel's protected-symlinks rule lets this process follow the link at `link`
// (status `info`) in the folder `folder`: always, unless the folder is writable by everyone and
// sticky; then only a link that is ours or the folder owner's.
bool MayFollow(const std::string& link, const struct stat& info, const std::string& folder,
               std::string& reason) {
  struct stat parent {};
  if (::stat(folder.c_str(), &parent) != 0) {
    reason = std::error_code(errno, std::generic_category()).message();
    return false;
  }
  const bool shared = (parent.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
  if (!shared || info.st_uid == ::geteuid() || info.st_uid == parent.st_uid) return true;
  reason = "Not following a symbolic link that another user put in a shared folder (" + link + ")";
  return false;
}

// Puts the non-empty parts of `path` (split at '/') in front of `parts`, in order.
void PushParts(std::string_view path, std::deque<std::string>& parts) {
  std::vector<std::string> split;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > start) split.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  parts.insert(parts.begin(), split.begin(), split.end());
}

// The path with every symbolic link on it followed, as realpath() gives it except that the last
// part may be missing and that a link the kernel would not follow (MayFollow) is refused.
bool FollowLinks(const std::string& path, std::string& resolved, std::string& reason) {
  std::string done;  // absolute, without a trailing slash: "" is the root
  if (path.empty() || path.front() != '/') {
    char* working = ::getcwd(nullptr, 0);
    if (working == nullptr) return FailErrno(&reason, errno);
    done = working;
    std::free(working);
    if (done == "/") done.clear();
  }
  std::deque<std::string> parts;
  PushParts(path, parts);
  int links = 0;
  while (!parts.empty()) {
    const std::string part = std::move(parts.front());
    parts.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      done.erase(std::min(done.size(), done.rfind('/')));
      continue;
    }
    std::string candidate = done + "/" + part;
    struct stat info {};
    if (::lstat(candidate.c_str(), &info) != 0) {
      if (errno == ENOENT && parts.empty()) {
        done = std::move(candidate);
        break;
      }
      return FailErrno(&reason, errno);
    }
    if (!S_ISLNK(info.st_mode)) {
      done = std::move(candidate);
      continue;
    }
    if (++links > MaxLinksFollowed) return FailErrno(&reason, ELOOP);
    if (!MayFollow(candidate, info, done.empty() ? "/" : done, reason)) return false;
    std::string text(PATH_MAX, '\0');
    const ssize_t length = ::readlink(candidate.c_str(), text.data(), text.size());
    if (length < 0) return FailErrno(&reason, errno);
    text.resize(static_cast<std::size_t>(length));
    if (!text.empty() && text.front() == '/') done.clear();
    PushParts(text, parts);
  }
  resolved = done.empty() ? "/" : done;
  return true;
}

bool IsPermissionError(int error) {
  return error == EACCES || error == EPERM;
}

enum class Replacement {
  Done,
  Failed,      // `reason` says why; the target is untouched
  NotAllowed,  // the folder or the owner rule forbids it; the target is untouched
};

// Writes `bytes` to a fresh file beside `target` and renames it over the target. An existing
// target (`existing`) passes its owner, group and permission bits on to the new file; when the
// owner or group cannot be passed on, or the folder forbids creating or renaming, nothing is
// replaced and the answer is NotAllowed. No temporary file is left behind in any case.
Replacement ReplaceThroughTemporary(const std::string& target, const struct stat* existing,
                                    std::string_view bytes, std::string* reason) {
  auto fail = [reason](int error) {
    FailErrno(reason, error);
    return Replacement::Failed;
  };
  TemporaryName temporary;
  Descriptor file(OpenTemporaryBeside(target, temporary.path));
  if (file.Get() < 0) {
    int error = errno;
    return existing && IsPermissionError(error) ? Replacement::NotAllowed : fail(error);
  }
  if (existing) {
    struct stat created {};
    if (::fstat(file.Get(), &created) != 0) return fail(errno);
    // The owner goes first: changing it clears the set-user-ID and set-group-ID bits.
    if ((created.st_uid != existing->st_uid || created.st_gid != existing->st_gid) &&
        ::fchown(file.Get(), existing->st_uid, existing->st_gid) != 0) {
      return Replacement::NotAllowed;
    }
    if (::fchmod(file.Get(), existing->st_mode & 07777) != 0) return fail(errno);
  }
  if (!WriteAll(file.Get(), bytes)) return fail(errno);
  if (::fsync(file.Get()) != 0) return fail(errno);
  if (int error = file.Close(); error != 0) return fail(error);
  if (::rename(temporary.path.c_str(), target.c_str()) != 0) {
    int error = errno;
    return existing && IsPermissionError(error) ? Replacement::NotAllowed : fail(error);
  }
  temporary.path.clear();
  SyncDirectory(DirectoryOf(target));
  return Replacement::Done;
}

// Overwrites the existing regular file `target` (whose status was `expected`) with `bytes`:
// truncated, written and flushed through the file itself, so owner, permission bits and every
// hard link stay. Not atomic: a failure part way leaves the file damaged.
bool WriteInPlace(const std::string& target, const struct stat& expected, std::string_view bytes,
                  std::string* reason) {
  // No O_TRUNC yet: only the file looked at before may lose its content. O_NONBLOCK keeps a
  // named pipe put there meanwhile from blocking the open.
  // No link is followed: `target` named none when it was looked at.
  Descriptor file(
      ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
  if (file.Get() < 0) return FailErrno(reason, errno);
  struct stat opened {};
  if (::fstat(file.Get(), &opened) != 0) return FailErrno(reason, errno);
  if (!S_ISREG(opened.st_mode) || opened.st_dev != expected.st_dev ||
      opened.st_ino != expected.st_ino) {
    return Fail(reason, "The file was replaced while being saved");
  }
  if (::ftruncate(file.Get(), 0) != 0) return FailErrno(reason, errno);
  if (!WriteAll(file.Get(), bytes)) return FailErrno(reason, errno);
  if (::fsync(file.Get()) != 0) return FailErrno(reason, errno);
  if (int error = file.Close(); error != 0) return FailErrno(reason, error);
  return true;
}

}  // namespace

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

bool ResolveWriteTarget(std::string_view path, std::string& target, std::string& reason) {
  if (path.empty()) return FailErrno(&reason, ENOENT);
  if (path.find('\0') != std::string_view::npos) return FailErrno(&reason, EINVAL);
  target = std::string(path);
  struct stat info {};
  if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
  std::string resolved;
  if (!FollowLinks(target, resolved, reason)) return false;
  target = std::move(resolved);
  return true;
}

int OpenForWriting(const std::string& path, std::string& reason) {
  if (path.empty()) return FailedOpen(reason, ENOENT);
  if (path.find('\0') != std::string::npos) return FailedOpen(reason, EINVAL);
  // O_NONBLOCK: a named pipe without a reader is refused rather than waited for.
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    // Only checked: the kernel follows the links itself, also those that lead to no named file
    // (/dev/stdout). In a shared folder a link that passes is ours or the folder owner's, which
    // no one else may replace meanwhile.
    std::string resolved;
    if (!FollowLinks(path, resolved, reason)) return -1;
  } else {
    flags |= O_NOFOLLOW;
  }
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 && errno == ELOOP && (flags & O_NOFOLLOW) != 0) {
    reason = "A symbolic link was put in place of the file meanwhile; it is not followed";
    return -1;
  }
  if (fd < 0) return FailedOpen(reason, errno);
  Descriptor file(fd);
  if (::fstat(fd, &info) != 0) return FailedOpen(reason, errno);
  if (S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0) return FailedOpen(reason, errno);
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    return FailedOpen(reason, errno);
  }
  return file.Release();
}

bool WriteFileBytes(std::string_view path, std::string_view bytes, std::string* reason) {
  // The file a symbolic link names is written and the link itself stays.
  std::string target;
  if (std::string refused; !ResolveWriteTarget(path, target, refused)) {
    return Fail(reason, std::move(refused));
  }
  bool existed = false;
  struct stat info {};
  if (::lstat(target.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return FailErrno(reason, EISDIR);
    // A symbolic link here was put in place meanwhile: it is not followed.
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

  // Replacing one name of a hard-linked file would split it from its other names.
  if (existed && info.st_nlink != 1) return WriteInPlace(target, info, bytes, reason);
  switch (ReplaceThroughTemporary(target, existed ? &info : nullptr, bytes, reason)) {
    case Replacement::Done:
      return true;
    case Replacement::Failed:
      return false;
    case Replacement::NotAllowed:
      break;
  }
  return WriteInPlace(target, info, bytes, reason);
}

std::optional<std::string> ReadFileBytes(std::string_view path, int* error) {
  auto fail = [error](int code) -> std::optional<std::string> {
    if (error) *error = code;
    return std::nullopt;
  };
  if (path.empty()) return fail(ENOENT);
  if (path.find('\0') != std::string_view::npos) return fail(EINVAL);
  Descriptor file(::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) return fail(errno);
  std::string content;
  struct stat info {};
  if (::fstat(file.Get(), &info) == 0 && S_ISREG(info.st_mode)) {
    content.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(file.Get(), buffer, sizeof buffer);
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
