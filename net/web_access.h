// Process-wide set-up of web access: the HTTP library and where connections go.
#pragma once

#include <string>
#include <string_view>

namespace shopwalk {

// The environment variable that sends every connection to another address, for testing against
// a local server.
inline constexpr const char* ConnectToVariable = "SHOPWALK_CONNECT_TO";

// Whether `hostPort` is an address every connection can be sent to: HOST:PORT, HOST a host name
// (letters, digits, '-', '_' and dots between non-empty labels), an IPv4 address (four numbers
// 0 to 255) or an IPv6 address in brackets ("[::1]"), PORT a decimal number from 1 to 65535.
bool IsConnectToAddress(std::string_view hostPort);

// The value of SHOPWALK_CONNECT_TO when it is set and not empty ("" otherwise). A program checks
// it with IsConnectToAddress before InitWebAccess and refuses to start when it is no address.
std::string ConnectToFromEnvironment();

// Once per process, before any other thread starts: initialises libcurl and checks that the
// libcurl in use is thread-safe and resolves names asynchronously, takes the connection redirect
// from SHOPWALK_CONNECT_TO when it is an address (IsConnectToAddress), and makes the allocator give
// memory blocks of 1 MiB and more back to the system when they are freed (so the memory of large
// pages does not stay with the process after them). Later calls do nothing and give the first
// answer. Returns false (with a message on standard error) when the library is unusable or
// SHOPWALK_CONNECT_TO is set to something that is no address (which is then not used). A client
// created without it initialises libcurl itself.
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
