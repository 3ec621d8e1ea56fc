// Conversion between UTF-8 and GBK (code page 936), the code page of every text the engine cuts,
// stores and writes. Safe to call from any thread.
#pragma once

#include <string>
#include <string_view>

namespace shopwalk {

// UTF-8 to GBK. A character GBK cannot hold, or an invalid UTF-8 byte, becomes '?'.
std::string Utf8ToGbk(std::string_view utf8);

// GBK to UTF-8. A byte sequence that is not valid GBK becomes U+FFFD for its first byte and the
// conversion continues with the next byte; NUL bytes are kept.
std::string GbkToUtf8(std::string_view gbk);

}  // namespace shopwalk
