// Text primitives of the collection engine.
//
// A text is a byte string in GBK (code page 936) that ends at its first NUL byte: every routine
// here reads its arguments only up to their first NUL. Lengths and positions count bytes;
// positions are 1-based; a search that finds nothing gives -1. While walking a text, a byte of
// 0x80 or above starts a two-byte character, and searches and replacements only try matches at
// character starts; a walk that begins at a start position treats that byte as a character start,
// and a lone byte of 0x80 or above at the end is the last character start. Every routine is pure,
// thread-safe, returns a new text and accepts any byte sequence, texts longer than INT32_MAX
// included (FindText reports no position beyond INT32_MAX).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace shopwalk {

// The five-byte GBK text "#引号": inside a marker given to TextBetween it stands for one '"'.
extern const std::string_view QuotePlaceholder;

// The text between the first `left` marker at or after `start` and the next `right` marker after
// it, or the empty text when either is missing or empty. "#引号" in a marker stands for '"'. The
// result never holds the right marker at one of its character starts; it may hold the left one.
std::string TextBetween(std::string_view source, std::string_view left, std::string_view right,
                        int start = 0, bool caseInsensitive = false);

// 1-based position of the first match of `needle` at a character start, searching from `start`
// (0 or less: from the beginning), or -1. With caseInsensitive, ASCII letters are folded. An
// empty needle is never found.
int FindText(std::string_view text, std::string_view needle, int start = 0,
             bool caseInsensitive = false);

// Number of bytes before the first NUL (at most INT32_MAX).
int TextLength(std::string_view text);

// At most `length` bytes from 1-based `start`; empty for an impossible range.
std::string MidText(std::string_view text, int start, int length);

// The text's leading whole characters, as many as fit in `maxBytes` bytes: a two-byte character
// that would not fit whole is left out with the rest. The whole text when it fits; empty for
// `maxBytes` 0 or less.
std::string CutToBytes(std::string_view text, int maxBytes);

// Replaces matches of `find` (at character starts, never overlapping) from `start` on, at most
// `maxCount` times (negative: unlimited; 0: none).
std::string ReplaceText(std::string_view text, std::string_view find,
                        std::string_view replacement = {}, int start = 0, int maxCount = -1,
                        bool caseSensitive = true);

// Leading decimal number after full-width narrowing and blanks, with an optional sign; wraps in
// 32-bit two's complement; 0 when there are no digits.
std::int32_t TextToInt(std::string_view text);

// "%d" of an integer.
std::string NumberToText(std::int32_t value);
// "%.13g" of a floating value.
std::string NumberToText(double value);

}  // namespace shopwalk
