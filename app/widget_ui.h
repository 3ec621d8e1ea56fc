// The collector window's operations carried out directly on its widgets. For the UI thread only:
// QtCollectorUi brings calls from other threads here through the bridge.
#pragma once

#include <string>

#include "collect/collector_ui.h"

namespace shopwalk {

class CollectorWindow;
class DialogHost;

// The save dialog's filter, as description|pattern pairs.
inline constexpr std::string_view SaveDialogFilter = "文本文件(*.txt)|*.txt";

class WidgetUi : public CollectorUi {
 public:
  WidgetUi(CollectorWindow& window, DialogHost& dialogs);

  // Text of an edit field, button, check box, label or the group box's caption; other controls
  // have none.
  std::string Text(std::string_view control) override;
  void SetText(std::string_view control, std::string_view text) override;
  // Any control that has a window; the file dialog has none and is left alone.
  void SetDisabled(std::string_view control, bool disabled) override;
  void SetVisible(std::string_view control, bool visible) override;
  // The settings group's caption colour; other controls ignore it.
  void SetTextColor(std::string_view control, std::uint32_t bgr) override;
  bool Checked(std::string_view control) override;

  int InsertRow(int position = -1, std::string_view text = {}) override;
  bool SetCellText(int row, int column, std::string_view text) override;
  std::string GetCellText(int row, int column) override;
  int RowCount() override;
  std::string ColumnCaption(int column) override;

  void SetPaneText(int pane, std::string_view text) override;

  int ShowMessage(std::string_view text, int flags,
                  std::optional<std::string_view> caption = std::nullopt) override;

  void SetInitialDirectory(std::string_view directory) override;
  bool ShowFileDialog() override;
  std::string FileName() override;

  void RunAtomically(const std::function<void(CollectorUi&)>& operations) override;

 private:
  CollectorWindow& window_;
  DialogHost& dialogs_;
  std::string initialDirectory_;
  std::string fileName_;
};

}  // namespace shopwalk
