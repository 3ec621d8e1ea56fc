// The Excel workbook (.xlsx) export of result rows, written by libxlsxwriter in its
// constant-memory mode: one row at a time goes to disk, so a list of a million rows needs no more
// memory than a short one.
//
// The sheet starts with a bold header row of the six column captions, frozen in place; then one
// row per result row. Cells are UTF-8 text (GBK converted, a byte sequence that is not valid GBK
// becoming U+FFFD), except that an index or reputation cell holding a plain decimal number
// (IsPlainDecimalNumber) is a number. An empty cell stays empty. Each column is as wide as its
// longest text (header included) plus a margin, a wide CJK character counting as two, between
// XlsxMinColumnWidth and XlsxMaxColumnWidth. What a sheet cannot hold is adapted rather than
// refused: rows beyond a sheet's capacity continue on further sheets, each with its own header
// ("店铺", "店铺 2", ...); a text longer than a cell can hold is cut to XlsxMaxCellCharacters; a
// NUL character becomes U+FFFD. Control characters and text that looks like the format's own
// escapes
// ("_x0041_") come back unchanged in a spreadsheet program.
#pragma once

#include <string_view>

#include "collect/shop_record.h"
#include "store/write_result.h"

namespace shopwalk {

// The rows a worksheet holds below its header row.
inline constexpr int XlsxMaxRowsPerSheet = 1'048'575;
// The characters a cell holds.
inline constexpr int XlsxMaxCellCharacters = 32'767;
// Column widths in the spreadsheet's character units.
inline constexpr double XlsxMinColumnWidth = 6;
inline constexpr double XlsxMaxColumnWidth = 80;
inline constexpr std::string_view XlsxSheetName = "店铺";

// Writes the first `rowCount` rows as a workbook at `path` (a native path). With no rows the file
// is not touched and the result is ok. The workbook is written to a temporary file beside the
// target, flushed to disk and renamed over it, so the target holds either its old content or the
// complete workbook; an existing target passes on its permission bits (and, where allowed, its
// owner and group). A symbolic link is followed where ResolveWriteTarget allows it. A folder, a
// file that is not a regular file and a file whose permission bits do not let us write it are
// refused. On failure the result gives the reason, the target is as it was and no temporary file is
// left behind. `rowsPerSheet` (at most XlsxMaxRowsPerSheet) is for tests.
WriteResult WriteXlsxExport(const ResultRows& rows, int rowCount, std::string_view path,
                            int rowsPerSheet = XlsxMaxRowsPerSheet);

}  // namespace shopwalk
