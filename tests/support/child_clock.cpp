#include "tests/support/child_clock.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace shopwalk::test {

// The shared page. Each side writes its half under a sequence number of its own (odd while it
// writes), so a reader never takes half of one change and half of the next. The parent's
// sequence is also the word the child's follower sleeps on (a futex).
struct ClockPage {
  std::atomic<std::uint32_t> sequence;
  std::atomic<std::int64_t> steadyNs;
  std::atomic<std::int64_t> calendarNs;
  std::atomic<std::uint32_t> childSequence;
  std::atomic<std::int64_t> childWaiters;
  std::atomic<std::int64_t> childNextDeadlineNs;  // NoDeadline when none
};

namespace {

constexpr std::size_t PageBytes = 4096;
static_assert(sizeof(ClockPage) <= PageBytes);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic<std::int64_t>::is_always_lock_free);
constexpr std::int64_t NoDeadline = std::numeric_limits<std::int64_t>::max();
// How long the child's follower sleeps without news, so that it notices its end.
constexpr std::chrono::milliseconds FollowerWake{20};

ClockPage* MapPage(int descriptor) {
  void* mapped = ::mmap(nullptr, PageBytes, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
  if (mapped == MAP_FAILED) {
    throw std::runtime_error(std::string("shared clock: mmap: ") + std::strerror(errno));
  }
  return static_cast<ClockPage*>(mapped);
}

std::int64_t Nanoseconds(Clock::TimePoint time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

std::int64_t Nanoseconds(Clock::CalendarTime time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

// Starts a change of one side's half: its sequence goes odd. (Every access to the page is
// sequentially consistent, so the values written in between are seen only with the odd number.)
void BeginWrite(std::atomic<std::uint32_t>& sequence) {
  sequence.store(sequence.load() + 1);
}

void EndWrite(std::atomic<std::uint32_t>& sequence) {
  sequence.store(sequence.load() + 1);
}

// Reads a half with `read` until it got one whole change; the sequence it read at.
template <typename Read>
std::uint32_t ReadWhole(const std::atomic<std::uint32_t>& sequence, Read read) {
  for (;;) {
    const std::uint32_t before = sequence.load();
    if (before % 2 == 0) {
      read();
      if (sequence.load() == before) return before;
    }
    std::this_thread::yield();
  }
}

long Futex(std::atomic<std::uint32_t>& word, int operation, std::uint32_t value,
           const timespec* timeout) {
  // The page is shared between processes: no FUTEX_PRIVATE_FLAG.
  return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), operation, value, timeout,
                   nullptr, 0);
}

}  // namespace

SharedClock::SharedClock(ManualClock& clock, std::string path)
    : clock_(clock), path_(std::move(path)) {
  const int descriptor = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (descriptor < 0) {
    throw std::runtime_error("shared clock: " + path_ + ": " + std::strerror(errno));
  }
  if (::ftruncate(descriptor, PageBytes) != 0) {
    const int error = errno;
    ::close(descriptor);
    throw std::runtime_error("shared clock: " + path_ + ": " + std::strerror(error));
  }
  page_ = MapPage(descriptor);
  ::close(descriptor);
  page_->childNextDeadlineNs.store(NoDeadline);
  clock_.OnTimeChanged([this](Clock::TimePoint steady, Clock::CalendarTime calendar) {
    BeginWrite(page_->sequence);
    page_->steadyNs.store(Nanoseconds(steady));
    page_->calendarNs.store(Nanoseconds(calendar));
    EndWrite(page_->sequence);
    Futex(page_->sequence, FUTEX_WAKE, std::numeric_limits<int>::max(), nullptr);
  });
}

SharedClock::~SharedClock() {
  clock_.OnTimeChanged(nullptr);
  ::munmap(page_, PageBytes);
  ::unlink(path_.c_str());
}

std::string SharedClock::EnvironmentEntry() const {
  return std::string(ChildClockVariable) + "=" + path_;
}

std::size_t SharedClock::ChildWaiters() const {
  std::int64_t waiters = 0;
  ReadWhole(page_->childSequence, [&] { waiters = page_->childWaiters.load(); });
  return static_cast<std::size_t>(waiters);
}

std::optional<Clock::TimePoint> SharedClock::ChildNextDeadline() const {
  std::int64_t next = NoDeadline;
  ReadWhole(page_->childSequence, [&] { next = page_->childNextDeadlineNs.load(); });
  if (next == NoDeadline) return std::nullopt;
  return Clock::TimePoint(
      std::chrono::duration_cast<Clock::Duration>(std::chrono::nanoseconds(next)));
}

std::uint32_t SharedClock::ChildChanges() const {
  return ReadWhole(page_->childSequence, [] {});
}

ChildClock::ChildClock(const std::string& path) {
  const int descriptor = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (descriptor < 0) {
    throw std::runtime_error("child clock: " + path + ": " + std::strerror(errno));
  }
  page_ = MapPage(descriptor);
  ::close(descriptor);
  // Odd: no sequence number the page has when it is whole, so the first look takes its time.
  std::uint32_t seen = 1;
  TakeTime(seen);
  clock_.OnWaitersChanged([this](std::size_t waiters, std::optional<TimePoint> next) {
    BeginWrite(page_->childSequence);
    page_->childWaiters.store(static_cast<std::int64_t>(waiters));
    page_->childNextDeadlineNs.store(next ? Nanoseconds(*next) : NoDeadline);
    EndWrite(page_->childSequence);
  });
  follower_ = std::thread([this, seen] {
    std::uint32_t last = seen;
    while (!stopping_.load()) {
      if (TakeTime(last)) continue;
      timespec wait{0, std::chrono::nanoseconds(FollowerWake).count()};
      Futex(page_->sequence, FUTEX_WAIT, last, &wait);
    }
  });
}

std::unique_ptr<ChildClock> ChildClock::FromEnvironment() {
  const char* path = std::getenv(ChildClockVariable);
  if (path == nullptr || *path == '\0') return nullptr;
  return std::make_unique<ChildClock>(path);
}

ChildClock::~ChildClock() {
  stopping_ = true;
  follower_.join();
  clock_.OnWaitersChanged(nullptr);
  ::munmap(page_, PageBytes);
}

bool ChildClock::TakeTime(std::uint32_t& seen) {
  std::int64_t steady = 0;
  std::int64_t calendar = 0;
  const std::uint32_t sequence = ReadWhole(page_->sequence, [&] {
    steady = page_->steadyNs.load();
    calendar = page_->calendarNs.load();
  });
  if (sequence == seen) return false;
  seen = sequence;
  clock_.Set(TimePoint(std::chrono::duration_cast<Duration>(std::chrono::nanoseconds(steady))),
             CalendarTime(std::chrono::duration_cast<CalendarTime::duration>(
                 std::chrono::nanoseconds(calendar))));
  return true;
}

}  // namespace shopwalk::test
