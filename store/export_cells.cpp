#include "store/export_cells.h"

#include <cstdint>

#include "collect/gbk.h"

namespace shopwalk {
namespace {

constexpr std::size_t MaxExactDigits = 15;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsWide(std::uint32_t code) {
  return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0x303E) ||
         (code >= 0x3041 && code <= 0x33FF) || (code >= 0x3400 && code <= 0x4DBF) ||
         (code >= 0x4E00 && code <= 0x9FFF) || (code >= 0xA000 && code <= 0xA4CF) ||
         (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
         (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
         (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x20000 && code <= 0x3FFFD);
}

}  // namespace

std::string ExportCellUtf8(std::string_view gbk) {
  // ASCII is the same in both; most cells (numbers, dates, addresses) are ASCII only.
  for (char c : gbk) {
    if (static_cast<unsigned char>(c) >= 0x80) return GbkToUtf8(gbk);
  }
  return std::string(gbk);
}

bool IsPlainDecimalNumber(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  std::size_t integerDigits = 0;
  while (integerDigits < text.size() && IsDigit(text[integerDigits])) ++integerDigits;
  if (integerDigits == 0 || (integerDigits > 1 && text.front() == '0')) return false;
  std::size_t digits = integerDigits;
  std::string_view rest = text.substr(integerDigits);
  if (!rest.empty()) {
    if (rest.front() != '.' || rest.size() == 1) return false;
    for (char c : rest.substr(1)) {
      if (!IsDigit(c)) return false;
    }
    digits += rest.size() - 1;
  }
  return digits <= MaxExactDigits;
}

std::size_t DisplayWidth(std::string_view utf8) {
  std::size_t width = 0;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::size_t length = lead < 0x80    ? 1
                         : lead >= 0xF0 ? 4
                         : lead >= 0xE0 ? 3
                         : lead >= 0xC0 ? 2
                                        : 1;
    if (i + length > utf8.size()) length = 1;
    std::uint32_t code = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    width += IsWide(code) ? 2 : 1;
    i += length;
  }
  return width;
}

}  // namespace shopwalk
