// The checks a row's fields fail: what a shop owner's page can put in a reputation, a date, a
// name or a messenger that a reader of the rows should not take on trust.
#include <gtest/gtest.h>

#include <string>

#include "collect/row_checks.h"
#include "collect/shop_record.h"

namespace shopwalk {
namespace {

RowChecks Check(std::string_view reputation, std::string_view date, std::string_view name = "n",
                std::string_view messenger = "m") {
  return CheckRow(name, reputation, messenger, date);
}

TEST(RowChecksTest, EachFieldFailsOnlyItsOwnCheck) {
  EXPECT_EQ(Check("0", ""), 0u);
  EXPECT_EQ(Check("12345678901234567890", "2014-05-01"), 0u);
  for (const std::string_view reputation : {"", "12a", "-3", "+3", "1 ", "１２", "1.5"}) {
    EXPECT_EQ(Check(reputation, "2014-05-01"), ReputationNotDigits) << reputation;
  }
  for (const std::string_view date :
       {"2014-5-01", "2014/05/01", "2014-13-01", "2014-00-10", "2014-05-32", "2014-05-00",
        "20140501", "2014-05-01 ", "２０１４-05-01", "x"}) {
    EXPECT_EQ(Check("1", date), DateNotIso) << date;
  }
  EXPECT_EQ(Check("1", std::string("2014-05-01\0", 11)), DateNotIso);
  for (const std::string_view text :
       {std::string_view("a\tb"), std::string_view("\x1B[31m"), std::string_view("x\x7F"),
        std::string_view("\r\n"), std::string_view("a\0b", 3)}) {
    EXPECT_EQ(Check("1", "", text, "m"), ControlBytes);
    EXPECT_EQ(Check("1", "", "n", text), ControlBytes);
  }
  // GBK characters are no control bytes; a reputation or date with them fails its own check.
  EXPECT_EQ(Check("1", "", "\xB5\xEA\xC6\xCC", "\x81\x40"), 0u);
  EXPECT_EQ(Check("x", "x", "\x01", "m"), AllRowChecks);
}

TEST(RowChecksTest, NamesComeInOneOrderAndOnlyForKnownChecks) {
  EXPECT_EQ(RowChecksText(0), "");
  EXPECT_EQ(RowChecksText(ControlBytes | ReputationNotDigits), "reputation,control_bytes");
  EXPECT_EQ(RowChecksText(AllRowChecks | 0x80u), "reputation,opening_date,control_bytes");
  ShopRecord record;
  record.name = "n";
  record.reputation = "1";
  record.messenger = "m\n";
  EXPECT_EQ(CheckRow(record), ControlBytes);
}

}  // namespace
}  // namespace shopwalk
