// Replacing a file's whole content safely: the new bytes go to a temporary file beside the
// target, are flushed to disk and then renamed over the target, so the target always holds
// either its old content or the complete new content, never a damaged or partial one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace shopwalk {

// Makes the file at `path` (a native path) hold exactly `bytes`, creating it when missing.
// Returns true only when the file holds the bytes. An empty path gives false and touches
// nothing. On failure the target keeps its previous content (or stays absent), no temporary
// file is left behind, and `reason` (when given) receives the system's description of what
// went wrong. A replaced file keeps its permission bits; a symbolic link is followed, so the
// file it names is replaced and the link stays. A file that may not be written (read-only) is
// refused, not replaced.
bool WriteFileBytes(std::string_view path, std::string_view bytes, std::string* reason = nullptr);

// The whole content of the file at `path`, or nothing when it cannot be read; `error` (when
// given) then receives the errno value (ENOENT for a missing file).
std::optional<std::string> ReadFileBytes(std::string_view path, int* error = nullptr);

}  // namespace shopwalk
