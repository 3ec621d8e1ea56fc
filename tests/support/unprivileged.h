// Running part of a test as an ordinary user, so that permission bits bind it even when the test
// program runs as root (as it does in CI).
#pragma once

#include <sys/types.h>

#include <functional>

namespace shopwalk::test {

// Users and groups without privileges; they need no account on the system. The second pair is
// for cases that need a file owned by someone other than the user running the test body.
inline constexpr uid_t UnprivilegedUser = 65534;
inline constexpr gid_t UnprivilegedGroup = 65534;
inline constexpr uid_t OtherUnprivilegedUser = 65533;
inline constexpr gid_t OtherUnprivilegedGroup = 65533;

// Whether this process runs as root, and so may hand files to other users and run as them.
bool RunningAsRoot();

// Runs `body` without privileges. As root, `body` runs in a forked child that first drops to
// `uid` and `gid` for good (no supplementary groups, no way back to root); the child prints the
// gtest failures of `body` as they happen, and the calling test fails unless the
// child ran `body` without failures and exited normally. Not as root, `body` simply runs here as
// the current user. As root, only what `body` does to files is seen afterwards (the child's memory
// is its own), and everything `body` touches must be reachable by `uid`. `body` must not skip.
void RunUnprivileged(const std::function<void()>& body, uid_t uid = UnprivilegedUser,
                     gid_t gid = UnprivilegedGroup);

}  // namespace shopwalk::test
