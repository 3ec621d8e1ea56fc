#include "store/export_layout.h"

#include <algorithm>
#include <array>

#include "base/ascii.h"
#include "collect/gbk.h"
#include "store/export_cells.h"
#include "store/file_bytes.h"
#include "store/result_columns.h"

namespace shopwalk {
namespace {

constexpr char HexDigits[] = "0123456789abcdef";

// Reads the cells of the rows in the export's encoding.
class CellReader {
 public:
  CellReader(const ResultRows& rows, ExportEncoding encoding) : rows_(rows), encoding_(encoding) {}

  std::string operator()(int row, int column) const {
    std::string cell = rows_.CellText(row, column);
    return encoding_ == ExportEncoding::Gbk ? cell : ExportCellUtf8(cell);
  }
  ExportEncoding Encoding() const { return encoding_; }

 private:
  const ResultRows& rows_;
  ExportEncoding encoding_;
};

void AppendFullRow(const CellReader& cell, int row, std::string& out) {
  for (int column = 0; column < ResultColumnCount; ++column) {
    if (column > 0) out += FullExportSeparator;
    out += cell(row, column);
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

void AppendJsonMemberName(std::string& out, std::string_view name, bool first) {
  out += first ? "{\"" : ",\"";
  out += name;
  out += "\":";
}

void AppendJsonLine(const ResultRows& rows, int row, std::string& out) {
  const CellReader cell(rows, ExportEncoding::Utf8);
  AppendJsonMemberName(out, JsonlCellNames[IndexColumn], true);
  const std::string index = cell(row, IndexColumn);
  if (IsPlainDecimalNumber(index)) {
    out += index;
  } else {
    AppendJsonString(out, index);
  }
  AppendJsonMemberName(out, JsonlShopIdName, false);
  const std::optional<std::int64_t> shopId = rows.ShopId(row);
  out += shopId ? std::to_string(*shopId) : "null";
  for (int column = ShopNameColumn; column < ResultColumnCount; ++column) {
    AppendJsonMemberName(out, JsonlCellNames[column], false);
    AppendJsonString(out, cell(row, column));
  }
  AppendJsonMemberName(out, JsonlChecksName, false);
  out += '[';
  const std::string checks = RowChecksText(CellChecks(rows, row));
  for (std::size_t start = 0; start < checks.size();) {
    const std::size_t end = std::min(checks.find(',', start), checks.size());
    if (start > 0) out += ',';
    AppendJsonString(out, std::string_view(checks).substr(start, end - start));
    start = end + 1;
  }
  out += "]}\n";
}

void AppendRow(const ResultRows& rows, const CellReader& cell, ExportLayout layout, int row,
               std::string& out) {
  switch (layout) {
    case ExportLayout::Full:
      AppendFullRow(cell, row, out);
      break;
    case ExportLayout::MessengerOnly:
      out += cell(row, MessengerColumn);
      out += CrLf;
      break;
    case ExportLayout::Csv:
      for (int column = 0; column < ResultColumnCount; ++column) {
        if (column > 0) out += ',';
        AppendCsvTextField(out, cell(row, column), cell.Encoding());
      }
      out += CrLf;
      break;
    case ExportLayout::CsvRawCells:
      AppendCsvLine([&cell, row](int column) { return cell(row, column); }, out);
      break;
    case ExportLayout::Jsonl:
      AppendJsonLine(rows, row, out);
      break;
  }
}

}  // namespace

RowChecks CellChecks(const ResultRows& rows, int row) {
  return CheckRow(rows.CellText(row, ShopNameColumn), rows.CellText(row, ReputationColumn),
                  rows.CellText(row, MessengerColumn), rows.CellText(row, OpeningDateColumn));
}

void AppendCsvField(std::string& out, std::string_view field) {
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

bool StartsLikeFormula(std::string_view cell, ExportEncoding encoding) {
  // ＝ ＋ － ＠, which some spreadsheet programs take for their ASCII forms.
  static constexpr std::array<std::string_view, 4> GbkFullWidth = {"\xA3\xBD", "\xA3\xAB",
                                                                   "\xA3\xAD", "\xA3\xC0"};
  static constexpr std::array<std::string_view, 4> Utf8FullWidth = {"\xEF\xBC\x9D", "\xEF\xBC\x8B",
                                                                    "\xEF\xBC\x8D", "\xEF\xBC\xA0"};
  if (cell.empty()) return false;
  switch (cell.front()) {
    case '=':
    case '+':
    case '-':
    case '@':
    case '\t':
    case '\r':
      return !IsPlainDecimalNumber(cell);
    default:
      break;
  }
  const auto& fullWidth = encoding == ExportEncoding::Gbk ? GbkFullWidth : Utf8FullWidth;
  return std::any_of(fullWidth.begin(), fullWidth.end(),
                     [cell](std::string_view form) { return cell.starts_with(form); });
}

void AppendCsvTextField(std::string& out, std::string_view field, ExportEncoding encoding) {
  if (!StartsLikeFormula(field, encoding)) {
    AppendCsvField(out, field);
    return;
  }
  out += "\"'";
  for (char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void AppendJsonString(std::string& out, std::string_view utf8) {
  out += '"';
  std::size_t plainStart = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(utf8, plainStart, i - plainStart);
    plainStart = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += HexDigits[c >> 4];
        out += HexDigits[c & 0xF];
    }
  }
  out.append(utf8, plainStart);
  out += '"';
}

ExportText ComposeExport(const ResultRows& rows, ExportLayout layout, ExportEncoding encoding) {
  return ComposeExportRows(rows, rows.RowCount(), layout, encoding);
}

std::string ExportHeader(ExportLayout layout, ExportEncoding encoding) {
  std::string header;
  if (layout != ExportLayout::Csv && layout != ExportLayout::CsvRawCells) return header;
  if (encoding == ExportEncoding::Utf8) header += Utf8ByteOrderMark;
  AppendCsvLine(
      [encoding](int column) {
        const std::string_view caption = ResultColumnCaptions[column];
        return encoding == ExportEncoding::Gbk ? Utf8ToGbk(caption) : std::string(caption);
      },
      header);
  return header;
}

void AppendExportRow(const ResultRows& rows, int row, ExportLayout layout, ExportEncoding encoding,
                     std::string& out) {
  AppendRow(rows, CellReader(rows, encoding), layout, row, out);
}

ExportText ComposeExportRows(const ResultRows& rows, int rowCount, ExportLayout layout,
                             ExportEncoding encoding) {
  ExportText text;
  if (rowCount <= 0) return text;
  text.rows = rowCount;
  const CellReader cell(rows, encoding);
  text.bytes = ExportHeader(layout, encoding);
  // Once the first rows are composed, room for all at their average size and an eighth more, so
  // that a large export is not copied over and over as it grows.
  constexpr int SampleRows = 256;
  for (int row = 0; row < rowCount; ++row) {
    if (row == SampleRows) {
      const std::size_t perRow = text.bytes.size() / SampleRows;
      text.bytes.reserve(perRow * static_cast<std::size_t>(rowCount) / 8 * 9);
    }
    AppendRow(rows, cell, layout, row, text.bytes);
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
