// Checks of a row's fields that a shop owner's page can fail: the row is kept as cut and carries
// the checks it failed, so that an export and `status` show which rows not to take on trust.
// Pure and thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace shopwalk {

struct ShopRecord;

// A set of failed checks, one bit each; 0: the row passes every check.
using RowChecks = std::uint32_t;
inline constexpr RowChecks ReputationNotDigits = 1;  // the reputation is not ASCII digits alone
inline constexpr RowChecks DateNotIso = 2;           // a date that is not YYYY-MM-DD
inline constexpr RowChecks ControlBytes = 4;         // the name or messenger holds control bytes
inline constexpr RowChecks AllRowChecks = ReputationNotDigits | DateNotIso | ControlBytes;

// The checks a row of these fields (GBK) fails. An empty opening date passes: it is what a rating
// page without one gives, not a wrong date.
RowChecks CheckRow(std::string_view name, std::string_view reputation, std::string_view messenger,
                   std::string_view openingDate);

// The checks of a record's fields.
RowChecks CheckRow(const ShopRecord& record);

// The names of the failed checks, joined by ',' ("reputation,opening_date,control_bytes" in that
// order); empty for none. Bits outside AllRowChecks are left out.
std::string RowChecksText(RowChecks checks);

}  // namespace shopwalk
