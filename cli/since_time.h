// The time an export looks back to (--new-since WHEN and the like), as people type it: a date
// ("2026-12-01", midnight), a date and time ("2026-12-01T10:30", "2026-12-01 10:30:15", a "Z"
// after it allowed), all in UTC, or a duration back from now as base/duration.h reads it ("1h",
// "24h", "7d").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/expected.h"

namespace shopwalk {

// The Unix time in milliseconds `when` names, with `nowMs` the time now; why not, in words, for
// any other text (a date that does not exist, a year outside 1970 to 9999, a part missing).
Expected<std::int64_t, std::string> SinceTime(std::string_view when, std::int64_t nowMs);

}  // namespace shopwalk
