#include "collect/gbk.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace shopwalk {
namespace {

using namespace std::string_literals;

const std::string Replacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

TEST(Gbk, ConvertsBothWays) {
  EXPECT_EQ(Utf8ToGbk("店铺"), "\xB5\xEA\xC6\xCC");
  EXPECT_EQ(GbkToUtf8("\xB5\xEA\xC6\xCC"), "店铺");
  EXPECT_EQ(Utf8ToGbk(""), "");
  EXPECT_EQ(GbkToUtf8(""), "");
  for (const std::string utf8 : {"没有找到相应的店铺信息", "正在采集店铺：http://shop1.example/",
                                 "１２３－＋　", "<td class=\"x\">好评率：99.5%</td>"}) {
    EXPECT_EQ(GbkToUtf8(Utf8ToGbk(utf8)), utf8);
  }
  // Longer than the converter's internal buffer.
  std::string page;
  for (int i = 0; i < 3000; ++i) page += "<p>第" + std::to_string(i) + "页</p>";
  EXPECT_EQ(GbkToUtf8(Utf8ToGbk(page)), page);
}

TEST(Gbk, InvalidGbkBecomesReplacementCharacters) {
  EXPECT_EQ(GbkToUtf8("\xFF"), Replacement);
  EXPECT_EQ(GbkToUtf8("a\xFF\xFF"
                      "b"),
            "a" + Replacement + Replacement + "b");
  // An impossible pair replaces only its first byte; the second is read again.
  EXPECT_EQ(GbkToUtf8("\x81\x30"), Replacement + "0");
  // A first byte cut off at the end.
  EXPECT_EQ(GbkToUtf8("a\xB5"), "a" + Replacement);
  EXPECT_EQ(GbkToUtf8("\xB5\xEA\xC6"), "店" + Replacement);
}

TEST(Gbk, UnconvertibleUtf8BecomesQuestionMarks) {
  EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80"
                      "b")
                .front(),
            'a');
  EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80"
                      "b")
                .back(),
            'b');
  EXPECT_EQ(Utf8ToGbk("a\xF0\x9F\x98\x80"
                      "b")
                .find_first_not_of("a?b"),
            std::string::npos);
  EXPECT_EQ(Utf8ToGbk("x\xC3"), "x?");
  EXPECT_EQ(Utf8ToGbk("\xFF"
                      "y"),
            "?y");
}

TEST(Gbk, NulBytesAreKept) {
  EXPECT_EQ(GbkToUtf8("a\0\xB5\xEA"s), "a\0店"s);
  EXPECT_EQ(Utf8ToGbk("a\0店"s), "a\0\xB5\xEA"s);
}

TEST(Gbk, ConvertersAreSafeOnManyThreads) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 2000; ++i) {
        const std::string text = "店" + std::to_string(t * 10000 + i) + "铺";
        if (GbkToUtf8(Utf8ToGbk(text)) != text) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace shopwalk
