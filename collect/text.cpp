#include "collect/text.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "base/ascii.h"

namespace shopwalk {

// "#引号": '#', then 引 (0xD2 0xFD) and 号 (0xBA 0xC5) in GBK.
const std::string_view QuotePlaceholder("#\xD2\xFD\xBA\xC5", 5);

namespace {

constexpr std::size_t None = std::string_view::npos;

// The text proper: everything before the first NUL byte.
std::string_view Cut(std::string_view text) {
  if (text.empty()) return {};
  const void* nul = std::memchr(text.data(), '\0', text.size());
  if (nul == nullptr) return text;
  return text.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - text.data()));
}

// 0-based index where a walk given a 1-based start position begins.
std::size_t StartIndex(int start) {
  return start <= 1 ? 0 : static_cast<std::size_t>(start) - 1;
}

bool EqualFolded(const unsigned char* a, const unsigned char* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// First byte in [from, from + len) equal to `c` (ASCII-case-folded when `folded`), or null.
const unsigned char* FindByte(const unsigned char* from, std::size_t len, unsigned char c,
                              bool folded) {
  if (!folded || !IsAsciiLetter(c)) {
    return static_cast<const unsigned char*>(std::memchr(from, c, len));
  }
  const unsigned char want = AsciiLower(c);
  for (std::size_t i = 0; i < len; ++i) {
    if (AsciiLower(from[i]) == want) return from + i;
  }
  return nullptr;
}

// 0-based index of the first match of `needle` at a character start of the walk over `text` that
// begins at index `from`, or None.
//
// Candidates come from a byte search for the needle's first byte. Whether a candidate j lies at a
// character start follows from the bytes before it: a byte below 0x80 always ends a character, so
// j is a start exactly when the run of bytes of 0x80 or above just before j (reaching back at most
// to a known start) has even length. Every byte is looked at a bounded number of times besides the
// needle comparisons.
std::size_t FindFrom(std::string_view text, std::string_view needle, std::size_t from,
                     bool folded) {
  const std::size_t n = text.size();
  const std::size_t m = needle.size();
  if (m == 0 || from >= n || n - from < m) return None;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* q = reinterpret_cast<const unsigned char*>(needle.data());
  const std::size_t last = n - m;  // last index where the needle still fits
  std::size_t known = from;        // a character start at or before every candidate
  while (known <= last) {
    const unsigned char* hit = FindByte(p + known, last - known + 1, q[0], folded);
    if (hit == nullptr) return None;
    const auto j = static_cast<std::size_t>(hit - p);
    std::size_t k = j;
    while (k > known && p[k - 1] >= 0x80) --k;
    if (((j - k) & 1) != 0) {  // second byte of a two-byte character
      known = j + 1;
      continue;
    }
    const bool equal =
        folded ? EqualFolded(p + j + 1, q + 1, m - 1) : std::memcmp(p + j + 1, q + 1, m - 1) == 0;
    if (equal) return j;
    known = j + (p[j] >= 0x80 ? 2 : 1);
  }
  return None;
}

// Replaces the quote placeholder in a marker by '"'.
std::string ExpandMarker(std::string_view marker) {
  return ReplaceText(marker, QuotePlaceholder, "\"");
}

// Reads one character of a text being narrowed: the ASCII byte it narrows to, or -1 for a
// character that stays as it is (and for a lone first byte at the end).
int NextNarrowed(const unsigned char* p, std::size_t n, std::size_t& i) {
  const unsigned char c = p[i];
  if (c < 0x80) {
    ++i;
    return c;
  }
  if (i + 1 >= n) {
    i = n;
    return -1;
  }
  const unsigned char d = p[i + 1];
  i += 2;
  if (c == 0xA3 && d >= 0xA1 && d <= 0xFE) return d - 0x80;
  if (c == 0xA1) {
    if (d == 0xA1) return ' ';
    if (d == 0xAB) return '~';
    if (d == 0xEE || d == 0xEF) return '*';
  }
  return -1;
}

bool IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string TextBetween(std::string_view source, std::string_view left, std::string_view right,
                        int start, bool caseInsensitive) {
  const std::string_view text = Cut(source);
  const std::string l = ExpandMarker(left);
  const std::string r = ExpandMarker(right);
  const std::size_t at = FindFrom(text, l, StartIndex(start), caseInsensitive);
  if (at == None || r.empty()) return {};
  const std::size_t after = at + l.size();
  const std::size_t end = FindFrom(text, r, after, caseInsensitive);
  if (end == None) return {};
  return std::string(text.substr(after, end - after));
}

int FindText(std::string_view text, std::string_view needle, int start, bool caseInsensitive) {
  const std::size_t at = FindFrom(Cut(text), Cut(needle), StartIndex(start), caseInsensitive);
  if (at == None || at >= static_cast<std::size_t>(INT_MAX)) return -1;
  return static_cast<int>(at + 1);
}

int TextLength(std::string_view text) {
  const std::size_t n = Cut(text).size();
  return n > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(n);
}

std::string MidText(std::string_view text, int start, int length) {
  const std::string_view t = Cut(text);
  if (start < 1 || length <= 0) return {};
  const std::size_t s = static_cast<std::size_t>(start) - 1;
  if (s >= t.size()) return {};
  return std::string(t.substr(s, static_cast<std::size_t>(length)));
}

std::string CutToBytes(std::string_view text, int maxBytes) {
  const std::string_view t = Cut(text);
  if (maxBytes <= 0) return {};
  const auto limit = static_cast<std::size_t>(maxBytes);
  if (t.size() <= limit) return std::string(t);
  std::size_t end = 0;
  while (end < limit) {
    // A byte of 0x80 or above starts a two-byte character (the text goes on past `limit`, so it
    // has a second byte).
    const std::size_t length = static_cast<unsigned char>(t[end]) >= 0x80 ? 2 : 1;
    if (end + length > limit) break;
    end += length;
  }
  return std::string(t.substr(0, end));
}

std::string ReplaceText(std::string_view text, std::string_view find, std::string_view replacement,
                        int start, int maxCount, bool caseSensitive) {
  const std::string_view t = Cut(text);
  const std::string_view f = Cut(find);
  const std::string_view r = Cut(replacement);
  const std::size_t from = StartIndex(start);
  if (t.empty() || f.empty() || from >= t.size() || maxCount == 0) return std::string(t);

  std::string out;
  out.reserve(t.size());
  std::size_t pos = from;
  std::size_t at = FindFrom(t, f, pos, !caseSensitive);
  if (at == None) return std::string(t);
  out.append(t.substr(0, from));
  while (at != None) {
    out.append(t.substr(pos, at - pos));
    out.append(r);
    pos = at + f.size();
    if (maxCount > 0 && --maxCount == 0) break;
    at = FindFrom(t, f, pos, !caseSensitive);
  }
  out.append(t.substr(pos));
  return out;
}

std::int32_t TextToInt(std::string_view text) {
  const std::string_view t = Cut(text);
  const auto* p = reinterpret_cast<const unsigned char*>(t.data());
  const std::size_t n = t.size();
  std::size_t i = 0;
  int c = -1;
  while (i < n) {
    c = NextNarrowed(p, n, i);
    if (!IsBlank(c)) break;
    c = -1;
  }
  const bool negative = c == '-';
  if (c == '+' || c == '-') c = i < n ? NextNarrowed(p, n, i) : -1;
  std::uint32_t value = 0;  // unsigned arithmetic wraps modulo 2^32
  while (c >= '0' && c <= '9') {
    value = value * 10u + static_cast<std::uint32_t>(c - '0');
    c = i < n ? NextNarrowed(p, n, i) : -1;
  }
  if (negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

std::string NumberToText(std::int32_t value) {
  char buffer[16];
  const int n = std::snprintf(buffer, sizeof buffer, "%d", static_cast<int>(value));
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string NumberToText(double value) {
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, "%.13g", value);
  if (n < 0) return {};
  return std::string(buffer, std::min(static_cast<std::size_t>(n), sizeof buffer - 1));
}

}  // namespace shopwalk
