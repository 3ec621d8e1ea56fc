// Durations as typed: every duration reads back from its own text, the examples people type read
// as they say, and any other text is refused with a reason rather than read as something else.
#include "base/duration.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <chrono>
#include <string>

namespace shopwalk {
namespace {

using std::chrono::milliseconds;

TEST(DurationTest, ReadsTheUnitsAsTheySay) {
  EXPECT_EQ(ParseDuration("500ms").value(), milliseconds(500));
  EXPECT_EQ(ParseDuration("60s").value(), std::chrono::seconds(60));
  EXPECT_EQ(ParseDuration("5m").value(), std::chrono::minutes(5));
  EXPECT_EQ(ParseDuration("1h").value(), std::chrono::hours(1));
  EXPECT_EQ(ParseDuration("24h").value(), std::chrono::hours(24));
  EXPECT_EQ(ParseDuration("7d").value(), std::chrono::hours(24 * 7));
  EXPECT_EQ(ParseDuration("0s").value(), milliseconds(0));
  EXPECT_EQ(ParseDuration("3650d").value(), LongestDuration);
}

TEST(DurationTest, RefusesWhatIsNoDurationWithItsReason) {
  const struct {
    const char* text;
    DurationProblem problem;
  } cases[] = {
      {"", DurationProblem::Empty},
      {"s", DurationProblem::NoNumber},
      {"-5s", DurationProblem::NoNumber},
      {" 5s", DurationProblem::NoNumber},
      {"60", DurationProblem::NoUnit},
      {"5 s", DurationProblem::UnknownUnit},
      {"5S", DurationProblem::UnknownUnit},
      {"1.5h", DurationProblem::UnknownUnit},
      {"5sec", DurationProblem::UnknownUnit},
      {"1h30m", DurationProblem::UnknownUnit},
      {"5s\n", DurationProblem::UnknownUnit},
      {"3651d", DurationProblem::TooLong},
      // Far more digits than any 64-bit count holds: refused, never wrapped around.
      {"99999999999999999999999999ms", DurationProblem::TooLong},
      {"18446744073709551617ms", DurationProblem::TooLong},
  };
  for (const auto& c : cases) {
    const auto read = ParseDuration(c.text);
    ASSERT_FALSE(read.has_value()) << c.text;
    EXPECT_EQ(read.error(), c.problem) << c.text;
    EXPECT_FALSE(DurationProblemText(read.error()).empty());
  }
}

RC_GTEST_PROP(DurationProperty, EveryDurationReadsBackFromItsText, ()) {
  const auto count = *rc::gen::inRange<std::int64_t>(0, LongestDuration.count() + 1);
  const milliseconds duration(count);
  const std::string text = FormatDuration(duration);
  const auto read = ParseDuration(text);
  RC_ASSERT(read.has_value());
  RC_ASSERT(read.value() == duration);
}

RC_GTEST_PROP(DurationProperty, ANumberInAnyUnitReadsAsThatManyUnits, ()) {
  const auto unit = *rc::gen::elementOf(internal::DurationUnits);
  const std::int64_t most = LongestDuration.count() / unit.length.count();
  const auto number = *rc::gen::inRange<std::int64_t>(0, most + 1);
  const auto read = ParseDuration(std::to_string(number) + std::string(unit.name));
  RC_ASSERT(read.has_value());
  RC_ASSERT(read.value().count() == number * unit.length.count());
  // One more than the most of its unit is refused as too long.
  const auto over = ParseDuration(std::to_string(most + 1) + std::string(unit.name));
  RC_ASSERT(!over.has_value());
  RC_ASSERT(over.error() == DurationProblem::TooLong);
}

RC_GTEST_PROP(DurationProperty, JunkIsRefusedNeverRead, (const std::string& junk)) {
  // Any text that is not digits followed by exactly one known unit.
  std::size_t digits = 0;
  while (digits < junk.size() && junk[digits] >= '0' && junk[digits] <= '9') ++digits;
  const std::string unit = junk.substr(digits);
  const bool wellFormed =
      digits > 0 && (unit == "ms" || unit == "s" || unit == "m" || unit == "h" || unit == "d");
  RC_PRE(!wellFormed);
  RC_ASSERT(!ParseDuration(junk).has_value());
  // A duration with junk after it is refused as well, and so is one with anything but digits
  // before it.
  RC_ASSERT(junk.empty() || !ParseDuration("5s" + junk).has_value());
  RC_ASSERT(digits == junk.size() || !ParseDuration(junk + "5s").has_value());
}

}  // namespace
}  // namespace shopwalk
