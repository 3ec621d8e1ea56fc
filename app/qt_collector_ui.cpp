#include "app/qt_collector_ui.h"

#include "app/ui_bridge.h"

namespace shopwalk {

QtCollectorUi::QtCollectorUi(CollectorWindow& window, DialogHost& dialogs, UiBridge& bridge)
    : direct_(window, dialogs), bridge_(bridge) {}

std::string QtCollectorUi::Text(std::string_view control) {
  return bridge_.Call([&] { return direct_.Text(control); });
}

void QtCollectorUi::SetText(std::string_view control, std::string_view text) {
  bridge_.Run([&] { direct_.SetText(control, text); });
}

void QtCollectorUi::SetDisabled(std::string_view control, bool disabled) {
  bridge_.Run([&] { direct_.SetDisabled(control, disabled); });
}

void QtCollectorUi::SetVisible(std::string_view control, bool visible) {
  bridge_.Run([&] { direct_.SetVisible(control, visible); });
}

void QtCollectorUi::SetTextColor(std::string_view control, std::uint32_t bgr) {
  bridge_.Run([&] { direct_.SetTextColor(control, bgr); });
}

bool QtCollectorUi::Checked(std::string_view control) {
  return bridge_.Call([&] { return direct_.Checked(control); });
}

int QtCollectorUi::InsertRow(int position, std::string_view text) {
  return bridge_.Call([&] { return direct_.InsertRow(position, text); }, -1);
}

bool QtCollectorUi::SetCellText(int row, int column, std::string_view text) {
  return bridge_.Call([&] { return direct_.SetCellText(row, column, text); });
}

std::string QtCollectorUi::GetCellText(int row, int column) {
  return bridge_.Call([&] { return direct_.GetCellText(row, column); });
}

int QtCollectorUi::RowCount() {
  return bridge_.Call([&] { return direct_.RowCount(); });
}

std::string QtCollectorUi::ColumnCaption(int column) {
  return bridge_.Call([&] { return direct_.ColumnCaption(column); });
}

void QtCollectorUi::SetPaneText(int pane, std::string_view text) {
  bridge_.Run([&] { direct_.SetPaneText(pane, text); });
}

int QtCollectorUi::ShowMessage(std::string_view text, int flags,
                               std::optional<std::string_view> caption) {
  return bridge_.Call([&] { return direct_.ShowMessage(text, flags, caption); });
}

void QtCollectorUi::SetInitialDirectory(std::string_view directory) {
  bridge_.Run([&] { direct_.SetInitialDirectory(directory); });
}

bool QtCollectorUi::ShowFileDialog() {
  return bridge_.Call([&] { return direct_.ShowFileDialog(); });
}

std::string QtCollectorUi::FileName() {
  return bridge_.Call([&] { return direct_.FileName(); });
}

void QtCollectorUi::RunAtomically(const std::function<void(CollectorUi&)>& operations) {
  bridge_.Run([&] { operations(direct_); });
}

}  // namespace shopwalk
