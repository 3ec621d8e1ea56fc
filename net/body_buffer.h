// Where response bodies are kept, and how much memory all of them may hold at once.
//
// Every client's response buffer draws its capacity from one process-wide BodyBudget, so that
// many transfers receiving large or endless bodies at the same time cannot hold more than the
// budget together, whatever each of them is allowed on its own. What counts is the capacity the
// buffers actually have allocated, grown by the buffer's own policy (not the library's).
#pragma once

#include <atomic>
#include <cstddef>
#include <string_view>

namespace shopwalk::net {

// A count of bytes that holders take before they allocate and give back after they free.
// Thread-safe; never lets the bytes taken pass the limit.
class BodyBudget {
 public:
  // What all response bodies of the process may hold at once: room for two bodies of the
  // largest size a transfer allows. A page taken out of its buffer (ResponseBody) keeps its
  // share until it is destroyed, so the budget counts every page still being read as well.
  static constexpr std::size_t DefaultLimit = 64u << 20;

  // The budget every client's buffer draws from, with DefaultLimit.
  static BodyBudget& Process();

  explicit BodyBudget(std::size_t limit) : limit_(limit) {}
  BodyBudget(const BodyBudget&) = delete;
  BodyBudget& operator=(const BodyBudget&) = delete;

  // Takes `bytes` when that many are left and returns true; otherwise takes nothing.
  bool TryTake(std::size_t bytes);
  // Gives back bytes taken before.
  void Give(std::size_t bytes);

  std::size_t InUse() const { return inUse_.load(std::memory_order_relaxed); }
  std::size_t Limit() const { return limit_; }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> inUse_{0};
};

// The bytes of one response taken out of a BodyBuffer without a copy: owns their storage and the
// share of the budget it was counted with, and gives both back when destroyed or assigned over.
// Movable, not copyable; a moved-from or default body is empty and holds nothing.
class ResponseBody {
 public:
  ResponseBody() = default;
  ~ResponseBody();
  ResponseBody(ResponseBody&& other) noexcept;
  ResponseBody& operator=(ResponseBody&& other) noexcept;
  ResponseBody(const ResponseBody&) = delete;
  ResponseBody& operator=(const ResponseBody&) = delete;

  std::string_view View() const { return {data_, size_}; }
  std::size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  // The storage held, as counted in the budget (at least Size()).
  std::size_t Capacity() const { return capacity_; }

 private:
  friend class BodyBuffer;
  void Release();

  BodyBudget* budget_ = nullptr;
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// A growable byte buffer whose capacity is taken from a BodyBudget: it grows only when the
// budget grants the growth, and gives every byte back when it shrinks or is destroyed. Used by
// one thread at a time.
//
// Capacity grows by doubling up to steps of GrowthStepMax; when the budget cannot grant a whole
// step, only what the next append needs is asked for. A body whose size is known ahead (Reserve)
// gets its storage in one piece instead. Storage over KeepBytes is given back (to
// the budget and to the system) as soon as the buffer is emptied or cut back to less than half of
// it; up to KeepBytes stays for the next body.
class BodyBuffer {
 public:
  static constexpr std::size_t FirstCapacity = 16u << 10;
  static constexpr std::size_t GrowthStepMax = 4u << 20;
  static constexpr std::size_t KeepBytes = 1u << 20;

  explicit BodyBuffer(BodyBudget& budget = BodyBudget::Process()) : budget_(budget) {}
  ~BodyBuffer();
  BodyBuffer(const BodyBuffer&) = delete;
  BodyBuffer& operator=(const BodyBuffer&) = delete;

  std::string_view View() const { return {data_, size_}; }
  std::size_t Size() const { return size_; }
  std::size_t Capacity() const { return capacity_; }

  // Appends as much of `bytes` as fits: the buffer never grows past `sizeLimit` bytes in all,
  // nor past what the budget grants (or memory allows). Returns how many bytes were appended.
  std::size_t Append(std::string_view bytes, std::size_t sizeLimit);

  // Grows the capacity to `capacity` (at most `sizeLimit`, never below what it holds) in one
  // step, when the budget grants all of it; otherwise changes nothing, and later appends grow it
  // step by step as before. True when the capacity is that large now.
  bool Reserve(std::size_t capacity, std::size_t sizeLimit);

  // Hands the first `size` bytes (all when it holds fewer) over with the storage they are in and
  // its share of the budget, without copying them; the buffer is left empty, without storage.
  ResponseBody Take(std::size_t size);

  // Drops the bytes after the first `size` (nothing when it holds fewer).
  void Truncate(std::size_t size);
  // Drops every byte.
  void Clear() { Truncate(0); }

 private:
  // Grows the capacity to at least `needed` (at most `sizeLimit`); false when it cannot.
  bool Grow(std::size_t needed, std::size_t sizeLimit);
  // Moves the bytes to storage of exactly `capacity` bytes (none when 0). Growth must have been
  // taken from the budget already (it is given back on failure); a shrink is given back here.
  bool Reallocate(std::size_t capacity);

  BodyBudget& budget_;
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace shopwalk::net
