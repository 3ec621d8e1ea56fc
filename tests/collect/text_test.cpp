#include "collect/text.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>

#include "collect/gbk.h"
#include "tests/collect/text_walk.h"

namespace shopwalk {
namespace {

using namespace std::string_literals;

std::string G(std::string_view utf8) {
  return Utf8ToGbk(utf8);
}

// A heap copy of exactly the text's bytes, so that AddressSanitizer sees any read past its end.
class Exact {
 public:
  explicit Exact(std::string_view bytes) : data_(new char[bytes.size()]), size_(bytes.size()) {
    if (size_ != 0) std::memcpy(data_.get(), bytes.data(), size_);
  }
  operator std::string_view() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_;
};

// 1-based position of the first match by the plain walk, or -1.
int WalkPosition(const std::string& t, const std::string& needle, std::size_t from, bool folded) {
  const long at = test::WalkFind(t, needle, from, folded);
  return at < 0 ? -1 : static_cast<int>(at + 1);
}

TEST(QuotePlaceholder, IsTheGbkTextOfNumberSignAndQuoteWord) {
  EXPECT_EQ(QuotePlaceholder, "\x23\xD2\xFD\xBA\xC5"s);
  EXPECT_EQ(QuotePlaceholder, G("#引号"));
}

TEST(TextBetween, CutsBetweenFirstLeftAndNextRightMarker) {
  EXPECT_EQ(TextBetween("a<b>c</b>d", "<b>", "</b>"), "c");
  EXPECT_EQ(TextBetween("a<b>c</b>d", "<b>", "</i>"), "");
  EXPECT_EQ(TextBetween("a<b>c</b>d", "<i>", "</b>"), "");
  EXPECT_EQ(TextBetween("</b>a<b>c</b>", "<b>", "</b>"), "c");
  EXPECT_EQ(TextBetween("<b></b>", "<b>", "</b>"), "");
  EXPECT_EQ(TextBetween("<b>1</b><b>2</b>", "<b>", "</b>"), "1");
  // Only the first left marker counts, so the result may hold it again.
  EXPECT_EQ(TextBetween("<b>x<b>y</b>", "<b>", "</b>"), "x<b>y");
  // Left and right marker may be the same text; they never share bytes.
  EXPECT_EQ(TextBetween("|||", "||", "|"), "");
  EXPECT_EQ(TextBetween("|a|", "|", "|"), "a");
}

TEST(TextBetween, QuotePlaceholderStandsForADoubleQuote) {
  const std::string src = "x\"y\"z";
  EXPECT_EQ(TextBetween(src, QuotePlaceholder, QuotePlaceholder), "y");
  EXPECT_EQ(TextBetween(src, "\"", "\""), "y");
  const std::string marker =
      "class=" + std::string(QuotePlaceholder) + "name" + std::string(QuotePlaceholder) + ">";
  EXPECT_EQ(TextBetween("<a class=\"name\">Shop</a>", marker, "<"), "Shop");
  // The placeholder is only replaced in markers, never in the source.
  EXPECT_EQ(TextBetween("a" + std::string(QuotePlaceholder) + "b\"c", "a", "\""),
            std::string(QuotePlaceholder) + "b");
}

TEST(TextBetween, StartPositionAndCaseFolding) {
  const std::string src = "<b>1</b><b>2</b>";
  EXPECT_EQ(TextBetween(src, "<b>", "</b>", 0), "1");
  EXPECT_EQ(TextBetween(src, "<b>", "</b>", 1), "1");
  EXPECT_EQ(TextBetween(src, "<b>", "</b>", 2), "2");
  EXPECT_EQ(TextBetween(src, "<b>", "</b>", INT_MIN), "1");
  EXPECT_EQ(TextBetween(src, "<b>", "</b>", INT_MAX), "");
  EXPECT_EQ(TextBetween("<B>x</B>", "<b>", "</b>"), "");
  EXPECT_EQ(TextBetween("<B>x</B>", "<b>", "</b>", 0, true), "x");
}

TEST(TextBetween, GbkMarkersAndTwoByteCharacters) {
  const std::string page = G("<td>店铺名称：</td><td>小店</td>");
  EXPECT_EQ(TextBetween(page, G("店铺名称：</td><td>"), "</td>"), G("小店"));
  // 0x81 0x40 is one character whose second byte is '@': the right marker must not match there.
  EXPECT_EQ(TextBetween("[\x81@x@]", "[", "@"), "\x81@x");
  EXPECT_EQ(TextBetween("@\x81@x@", "@", "@"), "\x81@x");
}

TEST(TextBetween, EmptyMarkersAndNulBytes) {
  EXPECT_EQ(TextBetween("abc", "", "c"), "");
  EXPECT_EQ(TextBetween("abc", "a", ""), "");
  EXPECT_EQ(TextBetween("", "a", "b"), "");
  // The source ends at its first NUL: a right marker after it is not there.
  EXPECT_EQ(TextBetween("<b>x\0</b>"s, "<b>", "</b>"), "");
  // Markers end at their first NUL too.
  EXPECT_EQ(TextBetween("<b>x</b>", "<b>\0zz"s, "</b>\0zz"s), "x");
  EXPECT_EQ(TextBetween("abc", "\0a"s, "c"), "");
}

TEST(FindText, StartPositions) {
  EXPECT_EQ(FindText("abcabc", "bc"), 2);
  EXPECT_EQ(FindText("abcabc", "bc", 0), FindText("abcabc", "bc", 1));
  EXPECT_EQ(FindText("abcabc", "bc", -5), 2);
  EXPECT_EQ(FindText("abcabc", "bc", INT_MIN), 2);
  EXPECT_EQ(FindText("abcabc", "bc", 3), 5);
  EXPECT_EQ(FindText("abcabc", "c", 6), 6);
  EXPECT_EQ(FindText("abcabc", "c", 7), -1);
  EXPECT_EQ(FindText("abcabc", "c", INT_MAX), -1);
  EXPECT_EQ(FindText("abc", "abcd"), -1);
  EXPECT_EQ(FindText("abc", ""), -1);
  EXPECT_EQ(FindText("", "a"), -1);
  EXPECT_EQ(FindText("ab\0cd"s, "cd"), -1);
  EXPECT_EQ(FindText("abcd", "c\0x"s), 3);
}

TEST(FindText, NeverMatchesAtTheSecondByteOfACharacter) {
  // 0xB0 0xA1 is one character, so the needle 0xA1 0xB0 only matches at the next character.
  EXPECT_EQ(FindText("\xB0\xA1\xB0\xA1\xB0", "\xA1\xB0"), -1);
  EXPECT_EQ(FindText("\x81@@", "@"), 3);
  // A run of bytes of 0x80 or above pairs up from its start: three of them make the 'A' a
  // second byte, four leave it a character of its own.
  EXPECT_EQ(FindText("\xB0\xB0\xB0"
                     "A",
                     "A"),
            -1);
  EXPECT_EQ(FindText("\xB0\xB0\xB0\xB0"
                     "A",
                     "A"),
            5);
  EXPECT_EQ(FindText("x\xB0\xB0\xB0"
                     "A"
                     "A",
                     "A"),
            6);
  // A start inside a character begins the walk there.
  EXPECT_EQ(FindText("\xB0"
                     "A",
                     "A", 2),
            2);
  // A lone first byte at the end is the last character start.
  EXPECT_EQ(FindText("a\xB0", "\xB0"), 2);
  EXPECT_EQ(FindText("a\xB0\xB0", "\xB0", 0), 2);
  EXPECT_EQ(FindText("\xB0\xB0\xB0", "\xB0\xB0", 2), 2);
}

TEST(FindText, CaseFoldingTouchesOnlyAsciiLetters) {
  EXPECT_EQ(FindText("xxHeLLo", "hello", 0, true), 3);
  EXPECT_EQ(FindText("xxHeLLo", "HELLO", 0, true), 3);
  EXPECT_EQ(FindText("xxHeLLo", "hello", 0, false), -1);
  EXPECT_EQ(FindText("[{", "{", 0, true), 2);  // '[' and '{' differ by 0x20 but are no letters
  EXPECT_EQ(FindText("\xC1", "\xE1", 0, true), -1);
  EXPECT_EQ(FindText("\x81"
                     "Aa",
                     "a", 0, true),
            3);
}

// The byte-skipping search must agree with the plain walk on every text, start and needle.
TEST(FindText, AgreesWithThePlainWalkOnRandomTexts) {
  const char alphabet[] = {'a', 'A', '<', '@', '\x81', '\xA1', '\xB0', '\xFF'};
  std::mt19937 rng(20240611);
  auto pick = [&](std::size_t len) {
    std::string s;
    for (std::size_t i = 0; i < len; ++i) s += alphabet[rng() % sizeof alphabet];
    return s;
  };
  for (int round = 0; round < 20000; ++round) {
    const std::string text = pick(rng() % 24);
    std::string needle = pick(1 + rng() % 3);
    if (!text.empty() && rng() % 2) needle = text.substr(rng() % text.size(), 1 + rng() % 3);
    const bool folded = rng() % 4 == 0;
    const Exact exactText(text), exactNeedle(needle);
    for (int start = -1; start <= static_cast<int>(text.size()) + 1; ++start) {
      const std::size_t from = start <= 1 ? 0 : start - 1;
      ASSERT_EQ(FindText(exactText, exactNeedle, start, folded),
                WalkPosition(text, needle, from, folded))
          << "round " << round << " start " << start;
    }
    const int count = static_cast<int>(rng() % 4) - 1;
    const int start = static_cast<int>(rng() % (text.size() + 2));
    const std::size_t from = start <= 1 ? 0 : start - 1;
    ASSERT_EQ(ReplaceText(exactText, exactNeedle, "#", start, count, !folded),
              test::WalkReplace(text, needle, "#", from, count, folded))
        << "round " << round;
  }
}

TEST(TextLength, CountsBytesBeforeTheFirstNul) {
  EXPECT_EQ(TextLength(""), 0);
  EXPECT_EQ(TextLength("abc"), 3);
  EXPECT_EQ(TextLength("ab\0c"s), 2);
  EXPECT_EQ(TextLength("\0abc"s), 0);
  EXPECT_EQ(TextLength(G("店铺")), 4);
  EXPECT_EQ(TextLength(std::string_view()), 0);
}

TEST(MidText, CutsBytesInsideTheText) {
  EXPECT_EQ(MidText("abc", 2, 10), "bc");
  EXPECT_EQ(MidText("abc", 4, 1), "");
  EXPECT_EQ(MidText("abc", 1, 0), "");
  EXPECT_EQ(MidText("abc", 1, 3), "abc");
  EXPECT_EQ(MidText("abc", 3, INT_MAX), "c");
  EXPECT_EQ(MidText("abc", 0, 2), "");
  EXPECT_EQ(MidText("abc", INT_MIN, INT_MAX), "");
  EXPECT_EQ(MidText("abc", INT_MAX, INT_MAX), "");
  EXPECT_EQ(MidText("abc", 2, INT_MIN), "");
  EXPECT_EQ(MidText("ab\0cd"s, 2, 10), "b");
  EXPECT_EQ(MidText("ab\0cd"s, 4, 1), "");
}

TEST(CutToBytes, KeepsTheLeadingWholeCharactersThatFit) {
  EXPECT_EQ(CutToBytes("abcdef", 4), "abcd");
  EXPECT_EQ(CutToBytes("abcd", 4), "abcd");
  EXPECT_EQ(CutToBytes("ab", 4), "ab");
  // 中 is D6 D0: the character that would be split goes whole.
  EXPECT_EQ(CutToBytes("a\xD6\xD0\xD6\xD0", 4), "a\xD6\xD0");
  EXPECT_EQ(CutToBytes("\xD6\xD0\xD6\xD0x", 4), "\xD6\xD0\xD6\xD0");
  // A second byte below 0x80 still belongs to its character.
  EXPECT_EQ(CutToBytes("ab\x81"
                       "A"
                       "cd",
                       3),
            "ab");
  // The text ends at its first NUL; a limit of 0 or less keeps nothing.
  EXPECT_EQ(CutToBytes(std::string_view("ab\0cdef", 7), 4), "ab");
  EXPECT_EQ(CutToBytes("abc", 0), "");
  EXPECT_EQ(CutToBytes("abc", -1), "");
}

TEST(ReplaceText, ReplacesWithinLimits) {
  EXPECT_EQ(ReplaceText("a-b-c", "-"), "abc");
  EXPECT_EQ(ReplaceText("a-b-c", "-", "+"), "a+b+c");
  EXPECT_EQ(ReplaceText("a-b-c", "-", "+", 0, 1), "a+b-c");
  EXPECT_EQ(ReplaceText("a-b-c", "-", "+", 0, 0), "a-b-c");
  EXPECT_EQ(ReplaceText("a-b-c", "-", "+", 3), "a-b+c");
  EXPECT_EQ(ReplaceText("a-b-c", "-", "+", 6), "a-b-c");
  EXPECT_EQ(ReplaceText("a-b-c", "-", "+", INT_MAX, INT_MAX), "a-b-c");
  EXPECT_EQ(ReplaceText("a-b-c", "-", "+", INT_MIN, INT_MIN), "a+b+c");
  EXPECT_EQ(ReplaceText("a-B-b", "b", "x", 0, -1, false), "a-x-x");
  EXPECT_EQ(ReplaceText("a-B-b", "b", "x", 0, -1, true), "a-B-x");
  EXPECT_EQ(ReplaceText("", "a", "b"), "");
  EXPECT_EQ(ReplaceText("abc", "", "x"), "abc");
}

TEST(ReplaceText, NeverOverlapsNorRescansAReplacement) {
  EXPECT_EQ(ReplaceText("aaaa", "aa", "a"), "aa");
  EXPECT_EQ(ReplaceText("aaa", "aa", "b"), "ba");
  EXPECT_EQ(ReplaceText("ab", "a", "aa"), "aab");
  EXPECT_EQ(ReplaceText("xx", "x", "xx", 0, -1), "xxxx");
}

TEST(ReplaceText, HonoursCharactersAndNulBytes) {
  EXPECT_EQ(ReplaceText("\x81@@", "@", "!"), "\x81@!");
  EXPECT_EQ(ReplaceText(G("店名：店"), G("店"), "S"), "S" + G("名：") + "S");
  // A lone first byte at the end is kept.
  EXPECT_EQ(ReplaceText("a\xB0", "a", "b"), "b\xB0");
  // Every argument ends at its first NUL; the result is the cut text.
  EXPECT_EQ(ReplaceText("a-b\0-c"s, "-", "+"), "a+b");
  EXPECT_EQ(ReplaceText("a-b\0-c"s, "-", "+", 0, 0), "a-b");
  EXPECT_EQ(ReplaceText("a-b", "-\0b"s, "+\0x"s), "a+b");
}

TEST(TextToInt, ReadsTheLeadingNumber) {
  EXPECT_EQ(TextToInt("123abc"), 123);
  EXPECT_EQ(TextToInt("  -7"), -7);
  EXPECT_EQ(TextToInt("abc"), 0);
  EXPECT_EQ(TextToInt(""), 0);
  EXPECT_EQ(TextToInt("+42"), 42);
  EXPECT_EQ(TextToInt("\t\n\v\f\r 9"), 9);
  EXPECT_EQ(TextToInt("- 5"), 0);
  EXPECT_EQ(TextToInt("--5"), 0);
  EXPECT_EQ(TextToInt("-"), 0);
  EXPECT_EQ(TextToInt("007"), 7);
  EXPECT_EQ(TextToInt("1\0002"s), 1);
  EXPECT_EQ(TextToInt("\0"
                      "12"s),
            0);
}

TEST(TextToInt, WrapsIn32Bits) {
  EXPECT_EQ(TextToInt("2147483647"), INT32_MAX);
  EXPECT_EQ(TextToInt("2147483648"), INT32_MIN);
  EXPECT_EQ(TextToInt("-2147483648"), INT32_MIN);
  EXPECT_EQ(TextToInt("-2147483649"), INT32_MAX);
  EXPECT_EQ(TextToInt("4294967296"), 0);
  EXPECT_EQ(TextToInt("4294967297"), 1);
  EXPECT_EQ(TextToInt("99999999999999999999999999"), static_cast<std::int32_t>(0xE3FFFFFFu));
}

TEST(TextToInt, NarrowsFullWidthForms) {
  EXPECT_EQ(TextToInt(G("１２")), 12);
  EXPECT_EQ(TextToInt(G("－３４")), -34);
  EXPECT_EQ(TextToInt(G("＋5")), 5);
  EXPECT_EQ(TextToInt(G("　\t　８")), 8);  // ideographic spaces are blanks
  EXPECT_EQ(TextToInt("1" + G("２") + "3"), 123);
  EXPECT_EQ(TextToInt(G("１２元")), 12);
  EXPECT_EQ(TextToInt(G("元１２")), 0);
  // A character whose second byte is an ASCII digit is not a digit.
  EXPECT_EQ(TextToInt("\x81"
                      "5"),
            0);
  EXPECT_EQ(TextToInt("7\x81"
                      "5"),
            7);
  // Full-width forms only exist as whole characters.
  EXPECT_EQ(TextToInt("\xA3"), 0);
  EXPECT_EQ(TextToInt("12\xA3"), 12);
  EXPECT_EQ(TextToInt("\xB3"
                      "1"),
            0);
}

TEST(NumberToText, WritesPlainDecimals) {
  EXPECT_EQ(NumberToText(0), "0");
  EXPECT_EQ(NumberToText(-15), "-15");
  EXPECT_EQ(NumberToText(INT32_MIN), "-2147483648");
  EXPECT_EQ(NumberToText(109428412.0 + 1), "109428413");
  EXPECT_EQ(NumberToText(-2147483648.0), "-2147483648");
  EXPECT_EQ(NumberToText(9999999999.0), "9999999999");
  EXPECT_EQ(NumberToText(0.5), "0.5");
  EXPECT_EQ(NumberToText(1e15), "1e+15");
  EXPECT_EQ(NumberToText(1.0 / 3), "0.3333333333333");
  EXPECT_FALSE(NumberToText(std::nan("")).empty());
  EXPECT_FALSE(NumberToText(-std::numeric_limits<double>::infinity()).empty());
  EXPECT_EQ(NumberToText(-std::numeric_limits<double>::max()), "-1.797693134862e+308");
}

// Every text of up to two arbitrary bytes, read through exact-size buffers: no routine reads past
// the end, and searches agree with the plain walk.
TEST(HostileBytes, EveryShortTextIsHandled) {
  const std::string needles[] = {"\x80", "\xFF", "\xFF\xFF", "a", "\xA3\xB1"};
  for (int len = 0; len <= 2; ++len) {
    for (int v = 0; v < (1 << (8 * len)); ++v) {
      std::string text;
      for (int k = 0; k < len; ++k) text += static_cast<char>(v >> (8 * k));
      const Exact exact(text);
      const std::string cut = text.substr(0, text.find('\0'));
      for (const std::string& needle : needles) {
        const Exact exactNeedle(needle);
        ASSERT_EQ(FindText(exact, exactNeedle), WalkPosition(cut, needle, 0, false));
        ASSERT_EQ(TextBetween(exact, exactNeedle, exactNeedle), "");
        ASSERT_EQ(ReplaceText(exact, exactNeedle, "", 2),
                  test::WalkReplace(cut, needle, "", 1, -1, false));
      }
      ASSERT_LE(MidText(exact, 1, INT_MAX).size(), cut.size());
      TextToInt(exact);
    }
  }
}

TEST(HostileBytes, LongRunsOfHighBytes) {
  // 100001 bytes of 0xFF pair up so that the last one starts a character with the 0x80.
  const Exact odd(std::string(100001, '\xFF') + "\x80");
  const Exact even(std::string(100000, '\xFF') + "A");
  EXPECT_EQ(FindText(odd, "\x80"), -1);
  EXPECT_EQ(FindText(odd, "\xFF\x80"), 100001);
  EXPECT_EQ(FindText(even, "A"), 100001);
  EXPECT_EQ(FindText(even, "A", 2), -1);  // from the second byte the 'A' is a second byte
  EXPECT_EQ(TextBetween(even, "\xFF\xFF", "A"), std::string(99998, '\xFF'));
  EXPECT_EQ(TextBetween(even, "\xFF", "A"), "");
  EXPECT_EQ(TextToInt(odd), 0);
}

// A text of 2^31 + 2 MiB bytes, built from one 2 MiB block mapped over and over, so that no
// position arithmetic may overflow a 32-bit integer.
TEST(HostileBytes, TextsLongerThanInt32Max) {
  constexpr std::size_t Block = std::size_t{1} << 21;
  constexpr std::size_t Blocks = 1025;
  const int fd = memfd_create("text_test", 0);
  if (fd < 0 || ftruncate(fd, Block) != 0) GTEST_SKIP() << "no memfd";
  void* block = mmap(nullptr, Block, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(block, MAP_FAILED);
  std::memset(block, 'a', Block);
  std::memcpy(static_cast<char*>(block) + Block - 32, "<b>xyz</b>", 10);
  munmap(block, Block);
  const std::size_t total = Block * Blocks;
  void* area = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (area == MAP_FAILED) GTEST_SKIP() << "no address space";
  for (std::size_t i = 0; i < Blocks; ++i) {
    ASSERT_NE(
        mmap(static_cast<char*>(area) + i * Block, Block, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0),
        MAP_FAILED);
  }
  close(fd);
  const std::string_view big(static_cast<const char*>(area), total);

  EXPECT_EQ(TextLength(big), INT32_MAX);
  EXPECT_EQ(FindText(big, "a", INT_MAX), INT_MAX);
  EXPECT_EQ(FindText(big, "<b>", INT_MAX), -1);  // its position does not fit
  EXPECT_EQ(MidText(big, INT_MAX, 4), "aaaa");
  EXPECT_EQ(TextBetween(big, "<b>", "</b>", INT_MAX), "xyz");
  EXPECT_EQ(TextBetween(big, "a", "a", INT_MAX), "");
  munmap(area, total);
}

}  // namespace
}  // namespace shopwalk
