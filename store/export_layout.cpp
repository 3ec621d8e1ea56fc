#include "store/export_layout.h"

#include "collect/window_texts.h"

namespace shopwalk {
namespace {

constexpr std::string_view LineEnd = "\r\n";

void AppendFullRow(CollectorUi& list, int row, std::string& out) {
  for (int column = 0; column < ResultColumnCount; ++column) {
    if (column > 0) out += FullExportSeparator;
    out += list.GetCellText(row, column);
  }
  out += LineEnd;
}

template <typename CellText>
void AppendCsvLine(CellText cell, std::string& out) {
  for (int column = 0; column < ResultColumnCount; ++column) {
    if (column > 0) out += ',';
    AppendCsvField(out, cell(column));
  }
  out += LineEnd;
}

void AppendCsvRow(CollectorUi& list, int row, std::string& out) {
  AppendCsvLine([&list, row](int column) { return list.GetCellText(row, column); }, out);
}

void AppendCsvHeader(CollectorUi& list, std::string& out) {
  AppendCsvLine([&list](int column) { return list.ColumnCaption(column); }, out);
}

}  // namespace

void AppendCsvField(std::string& out, std::string_view field) {
  // No GBK trail byte is a comma, a quote, CR or LF, so a byte search is safe here.
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += field;
    return;
  }
  out += '"';
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

ExportText ComposeExport(CollectorUi& ui, ExportLayout layout) {
  ExportText text;
  ui.RunAtomically([&text, layout](CollectorUi& list) {
    int rows = list.RowCount();
    if (rows <= 0) return;
    text.rows = rows;
    text.bytes.reserve(static_cast<std::size_t>(rows) *
                       (layout == ExportLayout::MessengerOnly ? 16 : 96));
    switch (layout) {
      case ExportLayout::Full:
        for (int row = 0; row < rows; ++row) AppendFullRow(list, row, text.bytes);
        break;
      case ExportLayout::MessengerOnly:
        for (int row = 0; row < rows; ++row) {
          text.bytes += list.GetCellText(row, MessengerColumn);
          text.bytes += LineEnd;
        }
        break;
      case ExportLayout::Csv:
        AppendCsvHeader(list, text.bytes);
        for (int row = 0; row < rows; ++row) AppendCsvRow(list, row, text.bytes);
        break;
    }
  });
  return text;
}

}  // namespace shopwalk
