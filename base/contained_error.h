// Exceptions that are contained instead of ending the program (a worker task, a thread routine or
// a window operation that throws) still leave a trace: one line on standard error.
#pragma once

#include <cstdio>
#include <exception>

namespace shopwalk {

// Call inside a catch block: writes "shopwalk: <where>: <what the exception said>" to standard
// error. Never throws.
inline void ReportContainedError(const char* where) noexcept {
  try {
    throw;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "shopwalk: %s: %s\n", where, error.what());
  } catch (...) {
    std::fprintf(stderr, "shopwalk: %s: an exception that is not a std::exception\n", where);
  }
}

}  // namespace shopwalk
