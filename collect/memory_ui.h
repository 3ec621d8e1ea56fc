// An in-memory collector window, so the engine and the handlers run headless (tests, benchmarks).
// It behaves like the real window: the same controls with their initial texts, a six-column list,
// three panes; message boxes and the save dialog are answered by callbacks the owner installs.
// Safe to use from any thread.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "collect/collector_ui.h"

namespace shopwalk {

class MemoryUi : public CollectorUi {
 public:
  struct Control {
    std::string text;  // GBK
    bool disabled = false;
    bool visible = true;
    std::uint32_t textColor = 0;
    bool checked = false;
  };
  struct Message {
    std::string text;  // GBK
    int flags = 0;
    std::string caption;  // GBK; "信息：" when none was given
  };

  MemoryUi();

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

  void RunAtomically(const std::function<void(CollectorUi&)>& operations) override;

  // Owner's side.
  // Answers message boxes (default: OK, or Yes for a Yes/No box).
  void SetMessageAnswer(std::function<int(const Message&)> answer);
  // Answers the save dialog: given the initial directory and the proposed file name, returns the
  // chosen path, or "" to cancel (default: cancel).
  void SetFileDialogAnswer(
      std::function<std::string(const std::string& initialDirectory, const std::string& proposed)>
          answer);
  void SetChecked(std::string_view control, bool checked);
  Control GetControl(std::string_view control);
  std::string PaneText(int pane);
  std::vector<Message> Messages();
  std::vector<std::array<std::string, 6>> Rows();
  std::string InitialDirectory();

 private:
  std::recursive_mutex mutex_;
  std::map<std::string, Control, std::less<>> controls_;
  std::vector<std::array<std::string, 6>> rows_;
  std::array<std::string, 3> panes_;
  std::vector<Message> messages_;
  std::function<int(const Message&)> messageAnswer_;
  std::function<std::string(const std::string&, const std::string&)> fileDialogAnswer_;
  std::string initialDirectory_;
  std::string fileName_;
};

}  // namespace shopwalk
