// Durations as people type them on the command line and in settings: a whole number followed by
// its unit, "500ms", "60s", "5m", "1h", "24h", "7d" (ms, s, m, h, d; nothing between them, no
// sign, no fraction). One reading for every option that takes a span of time (how often a follow
// asks again, how far back an export looks), so they all accept and refuse the same texts.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "base/expected.h"

namespace shopwalk {

// Why a text is not a duration; DurationProblemText says it in words.
enum class DurationProblem {
  Empty,        // nothing given
  NoNumber,     // it does not start with a digit
  NoUnit,       // a number with no unit after it
  UnknownUnit,  // the unit is none of ms, s, m, h, d
  TooLong,      // longer than LongestDuration
};

// The longest duration accepted: ten years (3650 days), so a time point this far from any clock
// reading stays well inside the clocks' range.
inline constexpr std::chrono::milliseconds LongestDuration =
    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::hours(24) * 3650);

inline std::string_view DurationProblemText(DurationProblem problem) {
  switch (problem) {
    case DurationProblem::Empty:
      return "no duration given (a whole number and a unit: 500ms, 60s, 5m, 1h, 7d)";
    case DurationProblem::NoNumber:
      return "a duration starts with a whole number (500ms, 60s, 5m, 1h, 7d)";
    case DurationProblem::NoUnit:
      return "a duration needs its unit after the number: ms, s, m, h or d (60s, not 60)";
    case DurationProblem::UnknownUnit:
      return "the unit of a duration is one of ms, s, m, h, d (500ms, 60s, 5m, 1h, 7d)";
    case DurationProblem::TooLong:
      return "a duration is at most 3650d";
  }
  return "not a duration";
}

namespace internal {

struct DurationUnit {
  std::string_view name;
  std::chrono::milliseconds length;
};

// Longest first, so the formatter takes the largest unit that fits.
inline constexpr std::array<DurationUnit, 5> DurationUnits = {{
    {"d", std::chrono::hours(24)},
    {"h", std::chrono::hours(1)},
    {"m", std::chrono::minutes(1)},
    {"s", std::chrono::seconds(1)},
    {"ms", std::chrono::milliseconds(1)},
}};

}  // namespace internal

// The duration `text` says. Any other text (a space, a sign, a fraction, a unit in capitals, a
// second unit, more than LongestDuration) is refused with the reason.
inline Expected<std::chrono::milliseconds, DurationProblem> ParseDuration(std::string_view text) {
  if (text.empty()) return MakeUnexpected(DurationProblem::Empty);
  std::size_t digits = 0;
  // Counted in the largest unit's worth of milliseconds at most: anything longer is refused
  // before it could overflow.
  std::int64_t number = 0;
  bool overLong = false;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    if (!overLong) {
      number = number * 10 + (text[digits] - '0');
      overLong = number > LongestDuration.count();
    }
    ++digits;
  }
  if (digits == 0) return MakeUnexpected(DurationProblem::NoNumber);
  const std::string_view unitText = text.substr(digits);
  if (unitText.empty()) return MakeUnexpected(DurationProblem::NoUnit);
  for (const internal::DurationUnit& unit : internal::DurationUnits) {
    if (unit.name != unitText) continue;
    if (overLong || number > LongestDuration.count() / unit.length.count()) {
      return MakeUnexpected(DurationProblem::TooLong);
    }
    return std::chrono::milliseconds(number * unit.length.count());
  }
  return MakeUnexpected(DurationProblem::UnknownUnit);
}

// `duration` as ParseDuration reads it back: in the largest unit that holds it whole ("90s",
// "2h", "1500ms"); a negative one counts as none ("0ms").
inline std::string FormatDuration(std::chrono::milliseconds duration) {
  if (duration.count() <= 0) return "0ms";
  for (const internal::DurationUnit& unit : internal::DurationUnits) {
    if (duration.count() % unit.length.count() == 0) {
      return std::to_string(duration.count() / unit.length.count()) + std::string(unit.name);
    }
  }
  return std::to_string(duration.count()) + "ms";
}

}  // namespace shopwalk
