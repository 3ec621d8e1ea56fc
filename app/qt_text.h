// Texts crossing between the program's byte strings and the toolkit's Unicode strings.
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "collect/gbk.h"

namespace shopwalk {

inline QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// GBK bytes as Unicode; a byte sequence that is not valid GBK shows as U+FFFD.
inline QString FromGbk(std::string_view gbk) {
  return FromUtf8(GbkToUtf8(gbk));
}

// Unicode as GBK bytes; a character GBK cannot hold becomes "?".
inline std::string ToGbk(const QString& text) {
  return Utf8ToGbk(text.toStdString());
}

}  // namespace shopwalk
