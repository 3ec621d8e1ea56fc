#include "store/export_file.h"

#include <string>

#include "collect/controls.h"
#include "collect/gbk.h"
#include "store/export_layout.h"
#include "store/file_bytes.h"
#include "store/run_directory.h"

namespace shopwalk {

bool IsCsvFileName(std::string_view path) {
  constexpr std::string_view Extension = ".csv";
  if (path.size() < Extension.size()) return false;
  std::string_view tail = path.substr(path.size() - Extension.size());
  for (std::size_t i = 0; i < Extension.size(); ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != Extension[i]) return false;
  }
  return true;
}

void OnExportClicked(CollectorUi& ui) {
  OnExportClicked(ui, RunDirectory());
}

void OnExportClicked(CollectorUi& ui, std::string_view initialDirectory) {
  ui.SetInitialDirectory(initialDirectory);
  if (!ui.ShowFileDialog()) return;
  std::string path = ui.FileName();
  ExportLayout layout = IsCsvFileName(path)                   ? ExportLayout::Csv
                        : ui.Checked(ctl::MessengerOnlyCheck) ? ExportLayout::MessengerOnly
                                                              : ExportLayout::Full;
  ExportText text = ComposeExport(ui, layout);
  if (text.rows > 0) {
    std::string reason;
    if (!WriteFileBytes(path, text.bytes, &reason)) {
      ui.ShowMessage(Utf8ToGbk(std::string(ExportFailedMessage) + path + "\r\n" + reason),
                     mb::Ok | mb::IconError);
      return;
    }
  }
  ui.ShowMessage(Utf8ToGbk(ExportDoneMessage), mb::Ok);
}

}  // namespace shopwalk
