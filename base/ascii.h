// Byte-level helpers shared by every library: ASCII letter case and the CR LF line end. They
// look at ASCII letters only; every other byte (a byte of a two-byte GBK character included)
// compares exactly.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace shopwalk {

// The line end of every file the program writes.
inline constexpr std::string_view CrLf = "\r\n";

constexpr bool IsAsciiLetter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// `c` with an ASCII capital letter made small; every other byte as it is.
constexpr unsigned char AsciiLower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}
constexpr char AsciiLower(char c) {
  return static_cast<char>(AsciiLower(static_cast<unsigned char>(c)));
}

inline std::string AsciiLowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiLower(c);
  return lower;
}

constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

constexpr bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

constexpr bool EndsWithIgnoringAsciiCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsIgnoringAsciiCase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace shopwalk
