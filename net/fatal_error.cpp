#include "net/fatal_error.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace shopwalk {
namespace {

void WriteToStandardError(const std::string& utf8Message) {
  std::fprintf(stderr, "shopwalk: %s\n", utf8Message.c_str());
  std::fflush(stderr);
}

std::atomic<void (*)(const std::string&)> g_reporter{&WriteToStandardError};

}  // namespace

void SetFatalErrorReporter(void (*reporter)(const std::string& utf8Message)) {
  g_reporter.store(reporter ? reporter : &WriteToStandardError);
}

namespace net {

void FailWithUsageError(const std::string& message) {
  g_reporter.load()(message);
  std::_Exit(255);
}

}  // namespace net
}  // namespace shopwalk
