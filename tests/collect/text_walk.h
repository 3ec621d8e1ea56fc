// A plain reference walk over GBK texts, character by character from a known start, against
// which the tests and the fuzzer check the text primitives.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace shopwalk::test {

inline bool SameAt(const std::string& t, std::size_t i, const std::string& needle, bool folded) {
  if (i > t.size() || t.size() - i < needle.size()) return false;
  for (std::size_t k = 0; k < needle.size(); ++k) {
    unsigned char a = t[i + k], b = needle[k];
    if (folded && a >= 'A' && a <= 'Z') a += 32;
    if (folded && b >= 'A' && b <= 'Z') b += 32;
    if (a != b) return false;
  }
  return true;
}

inline std::size_t Step(const std::string& t, std::size_t i) {
  return static_cast<unsigned char>(t[i]) >= 0x80 ? 2 : 1;
}

// Whether index `at` is a character start of the walk over `t` that begins at `from`.
inline bool IsCharacterStart(const std::string& t, std::size_t from, std::size_t at) {
  std::size_t i = from;
  while (i < at) i += Step(t, i);
  return i == at;
}

// 0-based index of the first match at a character start from `from`, or -1.
inline long WalkFind(const std::string& t, const std::string& needle, std::size_t from,
                     bool folded) {
  for (std::size_t i = from; i < t.size() && !needle.empty(); i += Step(t, i)) {
    if (SameAt(t, i, needle, folded)) return static_cast<long>(i);
  }
  return -1;
}

inline std::string WalkReplace(const std::string& t, const std::string& f, const std::string& r,
                               std::size_t from, int count, bool folded) {
  if (t.empty() || f.empty() || from >= t.size() || count == 0) return t;
  std::string out = t.substr(0, from);
  std::size_t i = from;
  while (i < t.size()) {
    if (count != 0 && SameAt(t, i, f, folded)) {
      out += r;
      i += f.size();
      if (count > 0) --count;
    } else {
      const std::size_t step = std::min(Step(t, i), t.size() - i);
      out.append(t, i, step);
      i += step;
    }
  }
  return out;
}

inline std::int32_t WalkToInt(const std::string& t) {
  std::string narrow;
  for (std::size_t i = 0; i < t.size();) {
    const unsigned char c = t[i];
    if (c < 0x80) {
      narrow += static_cast<char>(c);
      ++i;
      continue;
    }
    if (i + 1 == t.size()) break;
    const unsigned char d = t[i + 1];
    if (c == 0xA3 && d >= 0xA1 && d <= 0xFE) {
      narrow += static_cast<char>(d - 0x80);
    } else if (c == 0xA1 && d == 0xA1) {
      narrow += ' ';
    } else if (c == 0xA1 && d == 0xAB) {
      narrow += '~';
    } else if (c == 0xA1 && (d == 0xEE || d == 0xEF)) {
      narrow += '*';
    } else {
      narrow.append(t, i, 2);
    }
    i += 2;
  }
  std::size_t i = narrow.find_first_not_of(" \t\n\v\f\r");
  if (i == std::string::npos) return 0;
  const bool negative = narrow[i] == '-';
  if (narrow[i] == '-' || narrow[i] == '+') ++i;
  std::uint64_t value = 0;
  for (; i < narrow.size() && narrow[i] >= '0' && narrow[i] <= '9'; ++i) {
    value = (value * 10 + static_cast<std::uint64_t>(narrow[i] - '0')) & 0xFFFFFFFFu;
  }
  if (negative) value = (0x100000000u - value) & 0xFFFFFFFFu;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

}  // namespace shopwalk::test
