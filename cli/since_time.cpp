#include "cli/since_time.h"

#include <ctime>

#include "base/duration.h"

namespace shopwalk {
namespace {

constexpr std::string_view Forms =
    "a date (2026-12-01), a date and time in UTC (2026-12-01T10:30 or 2026-12-01 10:30:15) or a "
    "duration back from now (1h, 24h, 7d)";

// Reads `digits` digits at `at` into `value`; false when they are not all there.
bool Number(std::string_view text, std::size_t at, std::size_t digits, int& value) {
  if (at + digits > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

bool IsLeap(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysIn(int year, int month) {
  static constexpr int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : Days[month - 1];
}

}  // namespace

Expected<std::int64_t, std::string> SinceTime(std::string_view when, std::int64_t nowMs) {
  const std::string said =
      "\"" + std::string(when.substr(0, 40)) + "\" is not " + std::string(Forms);
  if (when.size() >= 10 && when[4] == '-' && when[7] == '-') {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!Number(when, 0, 4, year) || !Number(when, 5, 2, month) || !Number(when, 8, 2, day)) {
      return MakeUnexpected(said);
    }
    std::string_view rest = when.substr(10);
    if (!rest.empty()) {
      if (rest.back() == 'Z') rest.remove_suffix(1);
      // "T10:30" or " 10:30", then ":15" maybe.
      if ((rest.size() != 6 && rest.size() != 9) || (rest[0] != 'T' && rest[0] != ' ') ||
          !Number(rest, 1, 2, hour) || rest[3] != ':' || !Number(rest, 4, 2, minute) ||
          (rest.size() == 9 && (rest[6] != ':' || !Number(rest, 7, 2, second)))) {
        return MakeUnexpected(said);
      }
    }
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > DaysIn(year, month) ||
        hour > 23 || minute > 59 || second > 59) {
      return MakeUnexpected("\"" + std::string(when) +
                            "\" is no time there is (years 1970 to 9999)");
    }
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return static_cast<std::int64_t>(timegm(&parts)) * 1000;
  }
  const auto back = ParseDuration(when);
  if (!back) return MakeUnexpected(said);
  return nowMs - back->count();
}

}  // namespace shopwalk
