// The bytes of an export of the result list, in one of its layouts. Cell texts are written as
// the list holds them (GBK bytes), every line ends with CR LF.
#pragma once

#include <string>
#include <string_view>

#include "collect/collector_ui.h"

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
inline constexpr int MessengerColumn = 3;

struct ExportText {
  int rows = 0;       // rows exported
  std::string bytes;  // the file's content; empty when there are no rows
};

// Takes the row count once and reads the rows' cells, all as one operation of the window, so
// rows appended meanwhile are left out and no row is seen half written.
ExportText ComposeExport(CollectorUi& ui, ExportLayout layout);

// Appends `field` to `out` as one comma-separated field.
void AppendCsvField(std::string& out, std::string_view field);

}  // namespace shopwalk
