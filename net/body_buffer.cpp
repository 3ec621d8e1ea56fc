#include "net/body_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace shopwalk::net {

BodyBudget& BodyBudget::Process() {
  static BodyBudget budget(DefaultLimit);
  return budget;
}

bool BodyBudget::TryTake(std::size_t bytes) {
  std::size_t used = inUse_.load(std::memory_order_relaxed);
  do {
    if (bytes > limit_ - used) return false;
  } while (!inUse_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
  return true;
}

void BodyBudget::Give(std::size_t bytes) {
  inUse_.fetch_sub(bytes, std::memory_order_relaxed);
}

ResponseBody::~ResponseBody() {
  Release();
}

ResponseBody::ResponseBody(ResponseBody&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ResponseBody& ResponseBody::operator=(ResponseBody&& other) noexcept {
  if (this != &other) {
    Release();
    budget_ = std::exchange(other.budget_, nullptr);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void ResponseBody::Release() {
  std::free(data_);
  if (budget_ != nullptr) budget_->Give(capacity_);
  budget_ = nullptr;
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

BodyBuffer::~BodyBuffer() {
  std::free(data_);
  budget_.Give(capacity_);
}

std::size_t BodyBuffer::Append(std::string_view bytes, std::size_t sizeLimit) {
  const std::size_t limit = std::max(sizeLimit, size_);
  const std::size_t wanted = std::min(bytes.size(), limit - size_);
  if (size_ + wanted > capacity_) Grow(size_ + wanted, limit);
  const std::size_t count = std::min(wanted, capacity_ - size_);
  if (count > 0) {
    std::memcpy(data_ + size_, bytes.data(), count);
    size_ += count;
  }
  return count;
}

bool BodyBuffer::Reserve(std::size_t capacity, std::size_t sizeLimit) {
  const std::size_t wanted = std::max(std::min(capacity, sizeLimit), size_);
  if (wanted <= capacity_) return true;
  if (!budget_.TryTake(wanted - capacity_)) return false;
  return Reallocate(wanted);
}

ResponseBody BodyBuffer::Take(std::size_t size) {
  ResponseBody body;
  body.budget_ = &budget_;
  body.data_ = std::exchange(data_, nullptr);
  body.size_ = std::min(size, size_);
  body.capacity_ = std::exchange(capacity_, 0);
  size_ = 0;
  return body;
}

void BodyBuffer::Truncate(std::size_t size) {
  size_ = std::min(size, size_);
  // Storage to spare beyond what stays for the next body goes back at once.
  if (capacity_ > KeepBytes && size_ < capacity_ / 2) Reallocate(size_);
}

bool BodyBuffer::Grow(std::size_t needed, std::size_t sizeLimit) {
  const std::size_t step = capacity_ == 0 ? FirstCapacity : std::min(capacity_, GrowthStepMax);
  std::size_t wanted = std::min(std::max(capacity_ + step, needed), sizeLimit);
  if (wanted <= capacity_) return false;
  // The growth is taken before the memory is, so the budget holds while it is being allocated.
  if (!budget_.TryTake(wanted - capacity_)) {
    // No whole step left: only what this append needs.
    wanted = needed;
    if (wanted <= capacity_ || !budget_.TryTake(wanted - capacity_)) return false;
  }
  return Reallocate(wanted);
}

bool BodyBuffer::Reallocate(std::size_t capacity) {
  if (capacity == capacity_) return true;
  if (capacity == 0) {
    std::free(data_);
    data_ = nullptr;
  } else {
    // realloc moves a large block by remapping its pages rather than copying them.
    void* moved = std::realloc(data_, capacity);
    if (moved == nullptr) {
      if (capacity > capacity_) budget_.Give(capacity - capacity_);
      return false;
    }
    data_ = static_cast<char*>(moved);
  }
  if (capacity < capacity_) budget_.Give(capacity_ - capacity);
  capacity_ = capacity;
  size_ = std::min(size_, capacity_);
  return true;
}

}  // namespace shopwalk::net
