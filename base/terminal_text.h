// Text from outside the program (a shared database, a server's error message, a page, the
// environment) made safe to print on a terminal: control bytes would otherwise move the cursor,
// rewrite the screen, set the window title or answer back through the terminal.
#pragma once

#include <string>
#include <string_view>

namespace shopwalk {

// `text` with every byte below 0x20 (tab, CR and LF included) and 0x7F written as "\xNN" (two
// capital hex digits); every other byte, those of UTF-8 or GBK characters included, as it is.
// Text without such bytes comes back unchanged.
inline std::string TerminalSafe(std::string_view text) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string safe;
  safe.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      safe += "\\x";
      safe += Hex[byte >> 4];
      safe += Hex[byte & 0x0F];
    } else {
      safe += c;
    }
  }
  return safe;
}

}  // namespace shopwalk
