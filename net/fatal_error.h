// The fatal usage error (a web client used from a thread other than its creator's): reported
// once, then the process ends.
#pragma once

#include <string>

namespace shopwalk {

// Called with the error's message (UTF-8) before the process ends with exit code 255. The
// default writes "shopwalk: " and the message to standard error. A program with a window
// installs one that shows it there. Process-wide; null restores the default.
void SetFatalErrorReporter(void (*reporter)(const std::string& utf8Message));

namespace net {

// Hands `message` to the installed reporter, then ends the process with exit code 255 without
// running exit handlers.
[[noreturn]] void FailWithUsageError(const std::string& message);

}  // namespace net
}  // namespace shopwalk
