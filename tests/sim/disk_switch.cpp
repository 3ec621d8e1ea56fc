#include "tests/sim/disk_switch.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace shopwalk::sim {
namespace {

constexpr std::size_t FileBytes = 4096;

std::atomic<unsigned char>* Map(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("disk switch: " + path + ": " + std::strerror(errno));
  if ((flags & O_CREAT) != 0 && ::ftruncate(fd, FileBytes) != 0) {
    const int error = errno;
    ::close(fd);
    throw std::runtime_error("disk switch: " + path + ": " + std::strerror(error));
  }
  void* mapped = ::mmap(nullptr, FileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (mapped == MAP_FAILED) throw std::runtime_error("disk switch: mmap: " + path);
  static_assert(std::atomic<unsigned char>::is_always_lock_free);
  return static_cast<std::atomic<unsigned char>*>(mapped);
}

}  // namespace

DiskSwitch DiskSwitch::Owner(const std::string& path) {
  DiskSwitch owner(path, Map(path, O_CREAT | O_TRUNC), true);
  owner.SetFailing(false);
  return owner;
}

DiskSwitch DiskSwitch::Reader(const std::string& path) {
  return DiskSwitch(path, Map(path, 0), false);
}

DiskSwitch::DiskSwitch(DiskSwitch&& other) noexcept
    : path_(std::move(other.path_)),
      byte_(std::exchange(other.byte_, nullptr)),
      owner_(std::exchange(other.owner_, false)) {}

DiskSwitch::~DiskSwitch() {
  if (byte_ == nullptr) return;
  ::munmap(byte_, FileBytes);
  if (owner_) ::unlink(path_.c_str());
}

void DiskSwitch::SetFailing(bool failing) {
  byte_->store(failing ? 1 : 0);
}

bool DiskSwitch::Failing() const {
  return byte_->load() != 0;
}

}  // namespace shopwalk::sim
