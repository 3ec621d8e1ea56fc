// libFuzzer target over the text primitives. An input is up to five fields separated by 0x01:
// source, left marker (also the subtext to find), right marker, replacement, options (bytes 0-3:
// start position, 4-7: replacement count, 8: flags; missing bytes are 0).
// Every routine is checked against a plain character walk and against the properties its callers
// rely on; a violation aborts.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "collect/text.h"
#include "tests/collect/text_walk.h"

namespace {

using shopwalk::FindText;
using shopwalk::MidText;
using shopwalk::NumberToText;
using shopwalk::QuotePlaceholder;
using shopwalk::ReplaceText;
using shopwalk::TextBetween;
using shopwalk::TextLength;
using shopwalk::TextToInt;
using namespace shopwalk::test;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string Cut(std::string_view text) {
  return std::string(text.substr(0, text.find('\0')));
}

std::int32_t ReadInt(std::string_view bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    const unsigned char b = at + k < bytes.size() ? bytes[at + k] : 0;
    v |= static_cast<std::uint32_t>(b) << (8 * k);
  }
  return static_cast<std::int32_t>(v);
}

// Copies a field into an exact-size heap buffer so that AddressSanitizer sees over-reads.
struct Field {
  explicit Field(std::string_view bytes) : data(bytes.begin(), bytes.end()) {}
  std::string_view view() const { return {data.data(), data.size()}; }
  std::vector<char> data;
};

void CheckFind(const std::string& src, std::string_view text, std::string_view needle, int start,
               bool folded) {
  const std::size_t from = start <= 1 ? 0 : static_cast<std::size_t>(start) - 1;
  const std::string n = Cut(needle);
  const int pos = FindText(text, needle, start, folded);
  const long expected = WalkFind(src, n, from, folded);
  Check(pos == (expected < 0 ? -1 : expected + 1));
  if (pos == -1) return;
  const auto at = static_cast<std::size_t>(pos - 1);
  Check(!n.empty() && at >= from && at + n.size() <= src.size());
  Check(SameAt(src, at, n, folded));
  Check(IsCharacterStart(src, from, at));
  if (start <= 1) Check(IsCharacterStart(src, 0, at));
}

void CheckBetween(const std::string& src, std::string_view text, std::string_view left,
                  std::string_view right, int start, bool folded) {
  const std::string result = TextBetween(text, left, right, start, folded);
  Check(result.size() <= src.size());
  Check(result.find('\0') == std::string::npos);
  const std::string l = WalkReplace(Cut(left), std::string(QuotePlaceholder), "\"", 0, -1, false);
  const std::string r = WalkReplace(Cut(right), std::string(QuotePlaceholder), "\"", 0, -1, false);
  const std::size_t from = start <= 1 ? 0 : static_cast<std::size_t>(start) - 1;
  const long at = WalkFind(src, l, from, folded);
  if (at < 0 || r.empty()) {
    Check(result.empty());
    return;
  }
  const std::size_t after = static_cast<std::size_t>(at) + l.size();
  const long end = WalkFind(src, r, after, folded);
  if (end < 0) {
    Check(result.empty());
    return;
  }
  // The result is exactly the bytes from the end of the left marker to the right marker ...
  Check(static_cast<std::size_t>(end) == after + result.size());
  Check(src.compare(after, result.size(), result) == 0);
  // ... so the walk over it never meets the right marker (it may meet the left one again).
  Check(WalkFind(result, r, 0, folded) == -1);
}

void CheckReplace(const std::string& src, std::string_view text, std::string_view find,
                  std::string_view replacement, int start, int count, bool caseSensitive) {
  const std::string f = Cut(find), r = Cut(replacement);
  const std::size_t from = start <= 1 ? 0 : static_cast<std::size_t>(start) - 1;
  const std::string out = ReplaceText(text, find, replacement, start, count, caseSensitive);
  Check(out == WalkReplace(src, f, r, from, count, !caseSensitive));
  Check(ReplaceText(text, find, replacement, start, 0, caseSensitive) == src);
  // Replacing a subtext by itself changes nothing (folded matches would take the find's case).
  if (caseSensitive) Check(ReplaceText(text, find, find, start, count, true) == src);
  if (r.size() <= f.size()) Check(out.size() <= src.size());
  Check(ReplaceText(text, find, {}, start, count, caseSensitive).size() <= src.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> parts;
  std::size_t begin = 0;
  for (std::size_t sep; parts.size() < 4 && (sep = input.find('\x01', begin)) != input.npos;) {
    parts.push_back(input.substr(begin, sep - begin));
    begin = sep + 1;
  }
  parts.push_back(input.substr(begin));
  parts.resize(5);
  const Field source(parts[0]), left(parts[1]), right(parts[2]), replacement(parts[3]);
  const std::string_view options = parts[4];
  const int start = ReadInt(options, 0);
  const int count = ReadInt(options, 4);
  const unsigned char flags = options.size() > 8 ? options[8] : 0;
  const bool folded = (flags & 1) != 0;
  // Small starts and counts are the interesting ones; the raw values cover the extremes.
  const int smallStart = (flags & 2) ? start : static_cast<int>(start % 64);
  const int smallCount = (flags & 4) ? count : static_cast<int>(count % 4);

  const std::string src = Cut(source.view());
  Check(TextLength(source.view()) == static_cast<int>(src.size()));

  CheckFind(src, source.view(), left.view(), smallStart, folded);
  CheckFind(src, source.view(), right.view(), 0, folded);
  CheckBetween(src, source.view(), left.view(), right.view(), smallStart, folded);
  CheckBetween(src, source.view(), left.view(), right.view(), 0, folded);
  CheckReplace(src, source.view(), left.view(), replacement.view(), smallStart, smallCount,
               !folded);

  const std::string mid = MidText(source.view(), smallStart, smallCount);
  Check(mid.size() <= src.size() &&
        mid.size() <= static_cast<std::size_t>(std::max(smallCount, 0)));
  if (!mid.empty())
    Check(src.compare(static_cast<std::size_t>(smallStart) - 1, mid.size(), mid) == 0);

  const std::int32_t value = TextToInt(source.view());
  Check(value == WalkToInt(src));
  Check(TextToInt(NumberToText(value)) == value);
  Check(NumberToText(static_cast<double>(value)) == NumberToText(value));
  NumberToText(static_cast<double>(start) / (count == 0 ? 1e-300 : count));
  return 0;
}
