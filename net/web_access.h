// Process-wide set-up of web access: the HTTP library and where connections go.
#pragma once

#include <string>
#include <string_view>

namespace shopwalk {

// Once per process, before any other thread starts: initialises libcurl and checks that the
// libcurl in use is thread-safe and resolves names asynchronously, takes the connection redirect
// from SHOPWALK_CONNECT_TO, and makes the allocator give memory blocks of 1 MiB and more back to
// the system when they are freed (so the memory of large pages does not stay with the process
// after them). Later calls do nothing and give the first answer. Returns false (with a message on
// standard error) when the library is unusable. A client created without it initialises libcurl
// itself.
bool InitWebAccess();

// When `hostPort` ("HOST:PORT") is not empty, every connection of every client goes to that
// address while URLs and Host headers stay as they are; empty connects directly. Process-wide,
// safe from any thread. InitWebAccess() takes it from the environment variable
// SHOPWALK_CONNECT_TO.
void SetConnectTo(std::string_view hostPort);
std::string ConnectTo();

namespace net {

// Initialises the HTTP library once per process and ignores SIGPIPE; safe from any thread.
// Returns whether the library is ready.
bool EnsureCurlInitialised();

}  // namespace net
}  // namespace shopwalk
