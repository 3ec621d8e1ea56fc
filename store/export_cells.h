// Cell helpers shared by the export forms that carry UTF-8 text or tell numbers from text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace shopwalk {

// The GBK cell as UTF-8: a byte sequence that is not valid GBK becomes U+FFFD and the conversion
// goes on (GbkToUtf8); NUL bytes are kept. Never fails.
std::string ExportCellUtf8(std::string_view gbk);

// Whether `text` is a plain decimal number: an optional '-', then digits without a leading zero
// (a lone "0" aside), then optionally '.' and at least one digit; 15 digits at most in all, so
// that a double holds it as written. "12", "-3", "0.5" are; "", "007", "1e3", "+1", "1.", ".5",
// " 1" and "1,000" are not.
bool IsPlainDecimalNumber(std::string_view text);

// How many columns the UTF-8 text takes in a fixed-width view: two for a wide East Asian
// character (CJK, Hangul, full-width forms), one for any other character or stray byte.
std::size_t DisplayWidth(std::string_view utf8);

}  // namespace shopwalk
