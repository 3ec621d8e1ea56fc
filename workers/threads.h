// Plain threads addressed by handle.
//
// A handle is a non-zero 32-bit number (0 names none). A thread cannot be killed safely, so
// TerminateThread asks the thread to end: the thread sees ThreadEndRequested() and leaves at its
// next check, and a Delay it is sleeping in returns at once. Handles are safe to use and close
// from any thread; a closed handle is never reused.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "base/clock.h"

namespace shopwalk {

using ThreadHandle = std::uint32_t;
using ThreadRoutine = std::function<void(std::int32_t parameter)>;

// Starts `routine(parameter)` on a new thread. With `handle`, writes the new thread's handle into
// it (0 on failure); without, no handle to the thread remains. Returns whether it started.
bool StartThread(ThreadRoutine routine, std::int32_t parameter = 0, ThreadHandle* handle = nullptr);

// Asks the thread to end. False for 0 or a handle that is not open.
bool TerminateThread(ThreadHandle handle);

// Closes the handle; the thread runs on. False for 0 or a handle that is not open.
bool CloseThreadHandle(ThreadHandle handle);

// On the calling thread: whether it was asked to end (always false on threads not started by
// StartThread).
bool ThreadEndRequested();

// Waits until the thread's routine has returned; true if it has (also for a thread whose routine
// has returned before), false when `timeout` has passed on `clock` first or for a handle that is
// not open.
bool WaitThreadEnded(ThreadHandle handle, std::chrono::milliseconds timeout,
                     Clock& clock = RealClock());

}  // namespace shopwalk
