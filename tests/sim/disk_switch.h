// A switch the simulator flips to make the walking process's disk fail: one byte in a file both
// map. The simulator (Owner) turns it on and off; the walker (Reader) reads it on every write of
// its store. The file is created by the owner and removed with it.
#pragma once

#include <atomic>
#include <string>

namespace shopwalk::sim {

class DiskSwitch {
 public:
  // The owner's side: creates (or empties) the file at `path`, the switch off.
  static DiskSwitch Owner(const std::string& path);
  // The walker's side: maps the existing file at `path`. Throws std::runtime_error when it cannot.
  static DiskSwitch Reader(const std::string& path);
  ~DiskSwitch();
  DiskSwitch(DiskSwitch&& other) noexcept;
  DiskSwitch& operator=(DiskSwitch&&) = delete;
  DiskSwitch(const DiskSwitch&) = delete;
  DiskSwitch& operator=(const DiskSwitch&) = delete;

  void SetFailing(bool failing);
  bool Failing() const;

 private:
  DiskSwitch(std::string path, std::atomic<unsigned char>* byte, bool owner)
      : path_(std::move(path)), byte_(byte), owner_(owner) {}
  std::string path_;
  std::atomic<unsigned char>* byte_ = nullptr;
  bool owner_ = false;
};

}  // namespace shopwalk::sim
