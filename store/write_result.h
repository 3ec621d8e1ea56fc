// The result of writing one of the program's files: done, or the reason it failed. The caller
// decides how to tell the user.
#pragma once

#include <string>

namespace shopwalk {

struct WriteResult {
  bool ok = false;
  // The file written, or that could not be written (native path).
  std::string path;
  // The system's description of what went wrong; empty when ok.
  std::string reason;

  explicit operator bool() const { return ok; }
};

}  // namespace shopwalk
