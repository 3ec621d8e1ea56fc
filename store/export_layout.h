// The bytes of an export of result rows, in one of its layouts. Cell texts are written as the
// rows hold them (GBK bytes); every line ends with CR LF.
#pragma once

#include <string>
#include <string_view>

#include "collect/shop_record.h"
#include "store/write_result.h"

namespace shopwalk {

enum class ExportLayout {
  // One line per row: the six cells joined by "--", nothing quoted, no header.
  Full,
  // One line per row: the messenger name alone (an empty name gives an empty line).
  MessengerOnly,
  // Comma-separated values for spreadsheets: a header line of the six column captions, then
  // one line per row with all six cells; a field holding a comma, a double quote, CR or LF is
  // put in double quotes with its double quotes doubled.
  Csv,
};

inline constexpr std::string_view FullExportSeparator = "--";

// The layout of an export to `path`: comma-separated for a name ending in ".csv" (any letter
// case), else the messenger names alone when `messengerOnly`, else the full layout.
ExportLayout ChooseExportLayout(std::string_view path, bool messengerOnly);

struct ExportText {
  int rows = 0;       // rows exported
  std::string bytes;  // the file's content; empty when there are no rows
};

// Takes the row count once and composes every row up to it.
ExportText ComposeExport(const ResultRows& rows, ExportLayout layout);

// Writes a composed export to `path`, replacing the file whole. With no rows the file is not
// touched and the result is ok.
WriteResult WriteExport(std::string_view path, const ExportText& text);

// Appends `field` to `out` as one comma-separated field.
void AppendCsvField(std::string& out, std::string_view field);

}  // namespace shopwalk
