// Locks kept in a process-wide registry, addressed by 32-bit handles (0 names none).
//
// Locks are re-entrant for the thread that holds them. Every operation on a handle that is not
// registered (never created, deleted, or 0) does nothing. Deleting a lock that threads hold or
// wait for is safe: waiters get through at once, and from then on entering and leaving it does
// nothing, so everyone finishes without mutual exclusion. All operations are safe from any thread.
#pragma once

#include <cstdint>

namespace shopwalk {

using LockHandle = std::uint32_t;

LockHandle CreateLock();
void EnterLock(LockHandle lock);
// Only the holder's leave counts; a leave by another thread does nothing.
void LeaveLock(LockHandle lock);
// True when the lock was registered and is now deleted.
bool DeleteLock(LockHandle lock);
// How many threads wait in EnterLock for the lock now (0 for a handle that is not registered):
// for diagnostics and for tests that must know a thread is blocked before they go on.
int LockWaiters(LockHandle lock);

}  // namespace shopwalk
