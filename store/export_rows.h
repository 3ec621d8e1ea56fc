// The one way to export result rows to a file, in any of the export's forms.
#pragma once

#include <string_view>

#include "collect/shop_record.h"
#include "store/export_layout.h"
#include "store/write_result.h"

namespace shopwalk {

enum class ExportFormat {
  Text,   // the full or the messenger-only text layout (ExportLayout::Full, MessengerOnly)
  Csv,    // ExportLayout::Csv (CsvRawCells with ExportOptions::rawCells)
  Jsonl,  // ExportLayout::Jsonl
  Xlsx,   // an Excel workbook (WriteXlsxExport)
};

struct ExportOptions {
  ExportFormat format = ExportFormat::Text;
  // The messenger names alone; for the text form only (the others always carry every column).
  bool messengerOnly = false;
  // For the text and CSV forms only (JSON Lines and workbooks are always UTF-8).
  ExportEncoding encoding = ExportEncoding::Gbk;
  // For CSV only: every cell as it is (ExportLayout::CsvRawCells), formula look-alikes too.
  bool rawCells = false;
};

// The form a file name asks for by its ending: ".csv", ".jsonl", ".xlsx" (any letter case);
// anything else is text.
ExportFormat FormatForFileName(std::string_view path);
// Whether the name ends in one of the export's own endings: ".txt", ".csv", ".jsonl", ".xlsx"
// (any letter case).
bool HasExportEnding(std::string_view path);

// Exports the rows to `path` (a native path) in the chosen form. The row count is taken once;
// rows added meanwhile are not part of the export. With no rows the file is not touched and the
// result is ok, whatever the form. The file is replaced whole or, on failure, left as it was
// (for text, CSV and JSON Lines as WriteFileBytes promises); the result then gives the reason.
// No cell content, not even bytes that are not valid GBK, makes an export fail.
WriteResult ExportRows(const ResultRows& rows, std::string_view path, const ExportOptions& options);

}  // namespace shopwalk
