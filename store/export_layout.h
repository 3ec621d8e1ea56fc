// The bytes of an export of result rows in one of its byte layouts: plain text, comma-separated
// values, JSON Lines. Text and CSV carry the cells' GBK bytes as the rows hold them (even bytes
// that are not valid GBK) or, on request, UTF-8; JSON Lines is always UTF-8. No cell content makes
// a layout fail.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "collect/row_checks.h"
#include "collect/shop_record.h"
#include "store/write_result.h"

namespace shopwalk {

enum class ExportLayout {
  // One line per row: the six cells joined by "--", nothing quoted, no header. Lines end in CR LF.
  Full,
  // One line per row: the messenger name alone (an empty name gives an empty line). CR LF.
  MessengerOnly,
  // Comma-separated values for spreadsheets: a header line of the six column captions, then
  // one line per row with all six cells; a field holding a comma, a double quote, CR or LF is
  // put in double quotes with its double quotes doubled. Lines end in CR LF. A cell that a
  // spreadsheet program would run as a formula (StartsLikeFormula) is made plain text: it gets
  // a leading "'" and is put in double quotes.
  Csv,
  // The same with every cell exactly as it is, for programs that read the file rather than
  // spreadsheets.
  CsvRawCells,
  // JSON Lines (UTF-8, no byte order mark): one object per row on its own line, each line ending
  // in a single LF, members in this order:
  //   "index"         the index cell as a JSON number when it is a plain decimal number
  //                   (IsPlainDecimalNumber), else as a string
  //   "shop_id"       the shop's ID (ResultRows::ShopId) as a number, or null when unknown
  //   "name", "reputation", "messenger", "opening_date", "address"
  //                   the other cells, always strings (an empty cell gives "")
  //   "checks"        the checks the row fails (CellChecks), an array of their names
  //                   as RowChecksText gives them ([] for none)
  // Strings are escaped as RFC 8259 asks: '"' and '\' with a backslash, control characters as
  // \b \f \n \r \t or \u00XX; other characters, non-ASCII included, are written as UTF-8.
  Jsonl,
};

// How the text and CSV layouts carry the cells (JSON Lines is always UTF-8).
enum class ExportEncoding {
  // The cells' bytes exactly as the rows hold them; the CSV header in GBK.
  Gbk,
  // Cells converted from GBK to UTF-8, a byte sequence that is not valid GBK becoming U+FFFD. A
  // CSV file starts with the UTF-8 byte order mark, which spreadsheet programs need to read it
  // as UTF-8 rather than in the system's code page; plain text has none, so that every line,
  // the first too, is exactly its cells.
  Utf8,
};

inline constexpr std::string_view FullExportSeparator = "--";
inline constexpr std::string_view Utf8ByteOrderMark = "\xEF\xBB\xBF";

// The names of the JSON Lines members for the cells, in ResultColumn order, and of the shop ID.
inline constexpr std::array<std::string_view, ResultColumnCount> JsonlCellNames = {
    "index", "name", "reputation", "messenger", "opening_date", "address"};
inline constexpr std::string_view JsonlShopIdName = "shop_id";
inline constexpr std::string_view JsonlChecksName = "checks";

struct ExportText {
  int rows = 0;       // rows exported
  std::string bytes;  // the file's content; empty when there are no rows
};

// Takes the row count once and composes every row up to it.
ExportText ComposeExport(const ResultRows& rows, ExportLayout layout,
                         ExportEncoding encoding = ExportEncoding::Gbk);

// Composes the first `rowCount` rows (none when it is not positive).
ExportText ComposeExportRows(const ResultRows& rows, int rowCount, ExportLayout layout,
                             ExportEncoding encoding);

// For writing an export row by row as rows come: what the file starts with (the CSV header, with
// its byte order mark in UTF-8; nothing for the other layouts), then each row's line.
std::string ExportHeader(ExportLayout layout, ExportEncoding encoding);
void AppendExportRow(const ResultRows& rows, int row, ExportLayout layout, ExportEncoding encoding,
                     std::string& out);

// Writes a composed export to `path`, replacing the file whole (WriteFileBytes). With no rows the
// file is not touched and the result is ok.
WriteResult WriteExport(std::string_view path, const ExportText& text);

// Appends `field` to `out` as one comma-separated field (GBK or UTF-8: no byte of a multi-byte
// character in either is a comma, a quote, CR or LF).
void AppendCsvField(std::string& out, std::string_view field);

// Whether a spreadsheet program opening a CSV file would take the cell (in the export's
// encoding) for a formula: it starts with '=', '+', '-', '@', a tab or CR, or with the
// full-width forms of the first four (＝ ＋ － ＠ in GBK or UTF-8), and is no plain decimal
// number (IsPlainDecimalNumber: "-5" and "-0.5" are numbers, "+3" is not).
bool StartsLikeFormula(std::string_view cell, ExportEncoding encoding);

// Appends `field` as AppendCsvField does, except that a field that StartsLikeFormula becomes
// plain text, as OWASP's advice on CSV injection has it: "'" put before it, the whole field in
// double quotes.
void AppendCsvTextField(std::string& out, std::string_view field, ExportEncoding encoding);

// The checks the cells of `row` fail (CheckRow): what the JSON Lines and workbook exports show.
RowChecks CellChecks(const ResultRows& rows, int row);

// Appends `utf8` to `out` as a JSON string, quotes included.
void AppendJsonString(std::string& out, std::string_view utf8);

}  // namespace shopwalk
