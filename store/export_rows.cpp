#include "store/export_rows.h"

#include "base/ascii.h"
#include "store/export_xlsx.h"

namespace shopwalk {
namespace {

ExportLayout ByteLayout(const ExportOptions& options) {
  switch (options.format) {
    case ExportFormat::Csv:
      return options.rawCells ? ExportLayout::CsvRawCells : ExportLayout::Csv;
    case ExportFormat::Jsonl:
      return ExportLayout::Jsonl;
    default:
      return options.messengerOnly ? ExportLayout::MessengerOnly : ExportLayout::Full;
  }
}

}  // namespace

ExportFormat FormatForFileName(std::string_view path) {
  if (EndsWithIgnoringAsciiCase(path, ".csv")) return ExportFormat::Csv;
  if (EndsWithIgnoringAsciiCase(path, ".jsonl")) return ExportFormat::Jsonl;
  if (EndsWithIgnoringAsciiCase(path, ".xlsx")) return ExportFormat::Xlsx;
  return ExportFormat::Text;
}

bool HasExportEnding(std::string_view path) {
  return FormatForFileName(path) != ExportFormat::Text || EndsWithIgnoringAsciiCase(path, ".txt");
}

WriteResult ExportRows(const ResultRows& rows, std::string_view path,
                       const ExportOptions& options) {
  const int rowCount = rows.RowCount();
  if (options.format == ExportFormat::Xlsx) return WriteXlsxExport(rows, rowCount, path);
  return WriteExport(path,
                     ComposeExportRows(rows, rowCount, ByteLayout(options), options.encoding));
}

}  // namespace shopwalk
