// Process-wide set-up of the HTTP library.
#pragma once

namespace shopwalk::net {

// Initialises the HTTP library once per process and ignores SIGPIPE; safe from any thread.
// Returns whether the library is ready.
bool EnsureCurlInitialised();

}  // namespace shopwalk::net
