// Replacing a file's whole content as safely as the file and its folder allow: atomically where
// possible (the new bytes go to a temporary file beside the target, are flushed to disk and
// renamed over it), otherwise by writing the existing file in place, so that saving never fails
// where a plain write would succeed.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace shopwalk {

// Makes the file at `path` (a native path) hold exactly `bytes`, creating it when missing.
// Returns true only when the file holds the bytes; otherwise `reason` (when given) receives the
// system's description of what went wrong. An empty path gives false and touches nothing.
//
// A missing file is created through a temporary file renamed into place. An existing regular file
// with a single name is replaced the same way when its folder lets us create and rename files and
// the new file can be given the old one's owner and group (we own it, or we may change owners);
// the target then holds either its old content or the complete new content, never a mix, and a
// failure (a full disk, say) leaves it as it was. Where that is not allowed (a read-only folder,
// another user's file, a sticky folder such as /tmp refusing the rename, a file with several hard
// links) the existing file is instead truncated and written in place, then flushed to disk. That
// write is not atomic: a failure part way leaves the file damaged. Either way the file keeps its
// owner, group, permission bits and hard links, and no temporary file is left behind. A symbolic
// link is followed as ResolveWriteTarget says: the file it names is written and the link stays.
// A file whose permission bits do not let us write it (read-only) is refused, and so is anything
// that is not a regular file.
bool WriteFileBytes(std::string_view path, std::string_view bytes, std::string* reason = nullptr);

// Where replacing the file at `path` must happen: `path` itself unless its last part is a symbolic
// link, else the file the link leads to, every link on the way followed (like realpath(); the
// last part of the result may be missing). A link that the kernel's protected-symlinks rule would
// not follow is refused: one in a folder that everyone may write and that has the sticky bit
// (such as /tmp), unless the link belongs to the user or to the folder's owner. That rule keeps
// another user's link in /tmp from steering a file we write onto one of ours, and resolving a
// link ourselves would otherwise get around it. False, with `reason`, when refused or when a link
// cannot be read.
bool ResolveWriteTarget(std::string_view path, std::string& target, std::string& reason);

// Opens `path` for writing from the start as a stream (a file written as it grows): created when
// missing (mode 0666 less the umask), emptied when it is a regular file; a device or a pipe (such
// as /dev/stdout) is opened as it is. A symbolic link is followed only where ResolveWriteTarget
// would follow it; when the last part is no link, none put there meanwhile is followed. Returns
// the descriptor (close-on-exec), or -1 with `reason`.
int OpenForWriting(const std::string& path, std::string& reason);

// The whole content of the file at `path`, or nothing when it cannot be read; `error` (when
// given) then receives the errno value (ENOENT for a missing file).
std::optional<std::string> ReadFileBytes(std::string_view path, int* error = nullptr);

// The folder part of a native path ("." when it names none, "/" for a file in the root), and
// the name after its last slash (empty for a path that ends in one).
std::string DirectoryOf(const std::string& path);
std::string BaseNameOf(const std::string& path);

}  // namespace shopwalk
