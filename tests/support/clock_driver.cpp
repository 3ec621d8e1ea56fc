#include "tests/support/clock_driver.h"

#include <utility>

namespace shopwalk::test {
namespace {

// How long the driver lets the threads it woke run before it looks again (real time: it only
// schedules, the clock moves by deadlines).
constexpr std::chrono::microseconds Look{200};

}  // namespace

ClockDriver::ClockDriver(ManualClock& clock, std::function<bool()> mayAdvance, Deadlines deadlines)
    : clock_(clock),
      mayAdvance_(std::move(mayAdvance)),
      deadlines_(std::move(deadlines)),
      thread_([this] { Drive(); }) {}

ClockDriver::~ClockDriver() {
  stopping_ = true;
  thread_.join();
}

void ClockDriver::Pause() {
  paused_ = true;
  while (stepping_.load()) std::this_thread::yield();
}

void ClockDriver::Resume() {
  paused_ = false;
}

void ClockDriver::Drive() {
  while (!stopping_.load()) {
    stepping_ = true;
    if (!paused_.load() && (!mayAdvance_ || mayAdvance_())) {
      // Only once every waiter waits for a time ahead: one whose deadline has come is still
      // to run at the current time.
      const std::optional<Clock::TimePoint> next =
          deadlines_ ? deadlines_() : clock_.NextDeadline();
      if (next && *next > clock_.Now()) clock_.AdvanceTo(*next);
    }
    stepping_ = false;
    std::this_thread::sleep_for(Look);
  }
}

}  // namespace shopwalk::test
