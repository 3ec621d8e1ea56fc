// The fatal usage error: reported once, then the process ends.
#pragma once

#include <string>

namespace shopwalk::net {

// The full text shown for a fatal usage error with `message`.
std::string FatalErrorText(const std::string& message);

// Hands the error text to the installed reporter (standard error by default), then ends the
// process with exit code 255 without running exit handlers.
[[noreturn]] void FailWithUsageError(const std::string& message);

}  // namespace shopwalk::net
