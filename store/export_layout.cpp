#include "store/export_layout.h"

#include "base/ascii.h"
#include "collect/gbk.h"
#include "store/file_bytes.h"
#include "store/result_columns.h"

namespace shopwalk {
namespace {

void AppendFullRow(const ResultRows& rows, int row, std::string& out) {
  for (int column = 0; column < ResultColumnCount; ++column) {
    if (column > 0) out += FullExportSeparator;
    out += rows.CellText(row, column);
  }
  out += CrLf;
}

template <typename CellText>
void AppendCsvLine(CellText cell, std::string& out) {
  for (int column = 0; column < ResultColumnCount; ++column) {
    if (column > 0) out += ',';
    AppendCsvField(out, cell(column));
  }
  out += CrLf;
}

}  // namespace

ExportLayout ChooseExportLayout(std::string_view path, bool messengerOnly) {
  if (EndsWithIgnoringAsciiCase(path, ".csv")) return ExportLayout::Csv;
  return messengerOnly ? ExportLayout::MessengerOnly : ExportLayout::Full;
}

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

ExportText ComposeExport(const ResultRows& rows, ExportLayout layout) {
  ExportText text;
  const int count = rows.RowCount();
  if (count <= 0) return text;
  text.rows = count;
  text.bytes.reserve(static_cast<std::size_t>(count) *
                     (layout == ExportLayout::MessengerOnly ? 16 : 96));
  switch (layout) {
    case ExportLayout::Full:
      for (int row = 0; row < count; ++row) AppendFullRow(rows, row, text.bytes);
      break;
    case ExportLayout::MessengerOnly:
      for (int row = 0; row < count; ++row) {
        text.bytes += rows.CellText(row, MessengerColumn);
        text.bytes += CrLf;
      }
      break;
    case ExportLayout::Csv:
      AppendCsvLine([](int column) { return Utf8ToGbk(ResultColumnCaptions[column]); }, text.bytes);
      for (int row = 0; row < count; ++row) {
        AppendCsvLine([&rows, row](int column) { return rows.CellText(row, column); }, text.bytes);
      }
      break;
  }
  return text;
}

WriteResult WriteExport(std::string_view path, const ExportText& text) {
  WriteResult result;
  result.path = std::string(path);
  if (text.rows <= 0) {
    result.ok = true;
    return result;
  }
  result.ok = WriteFileBytes(path, text.bytes, &result.reason);
  return result;
}

}  // namespace shopwalk
