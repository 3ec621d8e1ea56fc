#include "collect/row_checks.h"

#include "collect/shop_record.h"

namespace shopwalk {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

int TwoDigits(std::string_view text) {
  return (text[0] - '0') * 10 + (text[1] - '0');
}

bool IsIsoDate(std::string_view date) {
  if (date.size() != 10 || date[4] != '-' || date[7] != '-') return false;
  if (!AllDigits(date.substr(0, 4)) || !AllDigits(date.substr(5, 2)) ||
      !AllDigits(date.substr(8, 2))) {
    return false;
  }
  const int month = TwoDigits(date.substr(5, 2));
  const int day = TwoDigits(date.substr(8, 2));
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool HasControlBytes(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

}  // namespace

RowChecks CheckRow(std::string_view name, std::string_view reputation, std::string_view messenger,
                   std::string_view openingDate) {
  RowChecks checks = 0;
  if (!AllDigits(reputation)) checks |= ReputationNotDigits;
  if (!openingDate.empty() && !IsIsoDate(openingDate)) checks |= DateNotIso;
  if (HasControlBytes(name) || HasControlBytes(messenger)) checks |= ControlBytes;
  return checks;
}

RowChecks CheckRow(const ShopRecord& record) {
  return CheckRow(record.name, record.reputation, record.messenger, record.openingDate);
}

std::string RowChecksText(RowChecks checks) {
  std::string text;
  const auto add = [&](RowChecks check, std::string_view name) {
    if ((checks & check) == 0) return;
    if (!text.empty()) text += ',';
    text += name;
  };
  add(ReputationNotDigits, "reputation");
  add(DateNotIso, "opening_date");
  add(ControlBytes, "control_bytes");
  return text;
}

}  // namespace shopwalk
