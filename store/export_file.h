// The Export button: writes the result list to a file the user picks in the save dialog.
#pragma once

#include <string_view>

#include "collect/collector_ui.h"

namespace shopwalk {

// Messages of the export (UTF-8; shown as GBK).
inline constexpr std::string_view ExportDoneMessage = "导出完成!";
// Start of the message shown when the file cannot be written, followed by the file and reason.
inline constexpr std::string_view ExportFailedMessage = "导出失败：";

// The Export button's click. Opens the save dialog in RunDirectory() (or `initialDirectory`);
// a cancelled dialog ends the export silently. A confirmed name ending in ".csv" (any letter
// case) gets the comma-separated layout; any other name gets the messenger-only layout when the
// check box "选择框1" is checked and the full layout otherwise. With no rows the file is not
// touched. Then "导出完成!" is shown, or, when the file could not be written, an error box
// naming the file and the reason; a failed write leaves the file as it was.
void OnExportClicked(CollectorUi& ui);
void OnExportClicked(CollectorUi& ui, std::string_view initialDirectory);

// Whether the export to `path` takes the comma-separated layout.
bool IsCsvFileName(std::string_view path);

}  // namespace shopwalk
