#include "base/expected.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace shopwalk {
namespace {

struct Problem {
  int code = 0;
  std::string words;
};

Expected<int, Problem> Parse(const std::string& text) {
  if (text.empty()) return MakeUnexpected(Problem{1, "empty"});
  return std::stoi(text);
}

TEST(ExpectedTest, HoldsEitherItsValueOrItsErrorAndRefusesTheOther) {
  Expected<int, Problem> good = Parse("42");
  ASSERT_TRUE(good);
  EXPECT_TRUE(good.has_value());
  EXPECT_EQ(*good, 42);
  EXPECT_EQ(good.value_or(7), 42);
  EXPECT_THROW((void)good.error(), std::logic_error);

  Expected<int, Problem> bad = Parse("");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().code, 1);
  EXPECT_EQ(bad.error().words, "empty");
  EXPECT_EQ(bad.value_or(7), 7);
  EXPECT_THROW((void)bad.value(), std::logic_error);
  EXPECT_THROW((void)*bad, std::logic_error);

  // A default-made result is a success holding a default value, as with std::expected.
  Expected<std::vector<int>, Problem> none;
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

// A read that found nothing is not a read that failed: an empty value stays a success, and a
// value whose type could be made from the error type is still told apart from a failure.
TEST(ExpectedTest, AnEmptyValueIsASuccessNotAFailure) {
  Expected<std::optional<std::string>, Problem> nothingFound = std::optional<std::string>();
  ASSERT_TRUE(nothingFound);
  EXPECT_FALSE(nothingFound->has_value());

  Expected<bool, std::string> no = false;
  ASSERT_TRUE(no);
  EXPECT_FALSE(*no);
  Expected<bool, std::string> failed = MakeUnexpected(std::string("down"));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "down");

  Expected<std::string, int> text = std::string("3");
  ASSERT_TRUE(text);
  Expected<std::string, int> code = Unexpected<int>(3);
  ASSERT_FALSE(code);
  EXPECT_EQ(code.error(), 3);
}

TEST(ExpectedTest, MovesValuesAndErrorsThatCannotBeCopied) {
  Expected<std::unique_ptr<int>, std::unique_ptr<std::string>> made = std::make_unique<int>(5);
  ASSERT_TRUE(made);
  std::unique_ptr<int> taken = std::move(made).value();
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(*taken, 5);

  Expected<std::unique_ptr<int>, std::unique_ptr<std::string>> refused =
      MakeUnexpected(std::make_unique<std::string>("no"));
  ASSERT_FALSE(refused);
  std::unique_ptr<std::string> why = std::move(refused).error();
  ASSERT_NE(why, nullptr);
  EXPECT_EQ(*why, "no");

  Expected<std::unique_ptr<int>, Problem> fallback = MakeUnexpected(Problem{});
  EXPECT_EQ(std::move(fallback).value_or(nullptr), nullptr);
}

TEST(ExpectedTest, VoidResultsCarryOnlyTheirError) {
  Expected<void, Problem> done;
  ASSERT_TRUE(done);
  EXPECT_NO_THROW(done.value());
  EXPECT_THROW((void)done.error(), std::logic_error);

  Expected<void, Problem> failed = MakeUnexpected(Problem{2, "full"});
  ASSERT_FALSE(failed);
  EXPECT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().words, "full");
  EXPECT_THROW(failed.value(), std::logic_error);

  // Assigning a success over a failure clears the error.
  failed = Expected<void, Problem>();
  EXPECT_TRUE(failed);
}

TEST(ExpectedTest, CopiesAndAssignmentsKeepWhichSideHolds) {
  Expected<std::string, Problem> a = std::string("row");
  Expected<std::string, Problem> b = MakeUnexpected(Problem{3, "lost"});
  Expected<std::string, Problem> c = a;
  EXPECT_EQ(*c, "row");
  c = b;
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().code, 3);
  c = std::string("again");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->size(), 5U);
}

}  // namespace
}  // namespace shopwalk
