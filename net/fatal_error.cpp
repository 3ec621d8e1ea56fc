#include "net/fatal_error.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "net/http_client.h"

namespace shopwalk {
namespace {

void WriteToStandardError(const std::string& utf8Message) {
  std::fwrite(utf8Message.data(), 1, utf8Message.size(), stderr);
  std::fflush(stderr);
}

std::atomic<void (*)(const std::string&)> g_reporter{&WriteToStandardError};

}  // namespace

void SetFatalErrorReporter(void (*reporter)(const std::string& utf8Message)) {
  g_reporter.store(reporter ? reporter : &WriteToStandardError);
}

namespace net {

std::string FatalErrorText(const std::string& message) {
  return "运行时出错!\r\n\r\n错误信息：" + message + "\r\n";
}

void FailWithUsageError(const std::string& message) {
  g_reporter.load()(FatalErrorText(message));
  std::_Exit(255);
}

}  // namespace net
}  // namespace shopwalk
