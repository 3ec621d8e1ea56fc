// The collector window as the engine and the handlers see it: every operation may be called from
// any thread and is carried out on the UI thread while the caller waits, in call order. Once the
// window is being torn down (the bridge is closed) every operation returns at once with the
// default result (empty text, false, -1, 0) and touches no widget. Texts cross as GBK.
//
// Keep it alive until every thread that may call it has ended.
#pragma once

#include "app/widget_ui.h"
#include "collect/collector_ui.h"

namespace shopwalk {

class CollectorWindow;
class DialogHost;
class UiBridge;

class QtCollectorUi : public CollectorUi {
 public:
  QtCollectorUi(CollectorWindow& window, DialogHost& dialogs, UiBridge& bridge);

  std::string Text(std::string_view control) override;
  void SetText(std::string_view control, std::string_view text) override;
  void SetDisabled(std::string_view control, bool disabled) override;
  void SetVisible(std::string_view control, bool visible) override;
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

  // One bridge call: `operations` runs on the UI thread against the widgets directly, so no
  // operation of another thread comes in between (unless `operations` opens a modal box).
  void RunAtomically(const std::function<void(CollectorUi&)>& operations) override;

 private:
  WidgetUi direct_;
  UiBridge& bridge_;
};

}  // namespace shopwalk
