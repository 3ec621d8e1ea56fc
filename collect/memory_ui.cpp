#include "collect/memory_ui.h"

#include "collect/controls.h"
#include "collect/gbk.h"
#include "collect/window_texts.h"

namespace shopwalk {

MemoryUi::MemoryUi() {
  for (std::string_view name :
       {ctl::SettingsGroup, ctl::AddressLabel, ctl::ShopIdEdit, ctl::ThreadCountLabel,
        ctl::ThreadCountEdit, ctl::StartButton, ctl::StopButton, ctl::ExportButton,
        ctl::LogoPicture, ctl::MessengerOnlyCheck, ctl::ResultList, ctl::StatusBar}) {
    controls_.emplace(std::string(name), Control{});
  }
  controls_[std::string(ctl::ThreadCountEdit)].text = Utf8ToGbk(InitialThreadCount);
  controls_[std::string(ctl::SettingsGroup)].text = Utf8ToGbk(SettingsGroupCaption);
  controls_[std::string(ctl::SettingsGroup)].textColor = 0x0000FF;
  controls_[std::string(ctl::StartButton)].text = Utf8ToGbk("开始");
  controls_[std::string(ctl::StopButton)].text = Utf8ToGbk("停止");
  controls_[std::string(ctl::ExportButton)].text = Utf8ToGbk("导出");
  controls_[std::string(ctl::MessengerOnlyCheck)].text = Utf8ToGbk(MessengerOnlyCaption);
  controls_[std::string(ctl::MessengerOnlyCheck)].checked = true;
  for (int i = 0; i < StatusPaneCount; ++i) panes_[i] = Utf8ToGbk(InitialPaneTexts[i]);
}

std::string MemoryUi::Text(std::string_view control) {
  std::lock_guard lock(mutex_);
  auto it = controls_.find(control);
  return it == controls_.end() ? std::string() : it->second.text;
}

void MemoryUi::SetText(std::string_view control, std::string_view text) {
  std::lock_guard lock(mutex_);
  auto it = controls_.find(control);
  if (it != controls_.end()) it->second.text = std::string(text);
}

void MemoryUi::SetDisabled(std::string_view control, bool disabled) {
  std::lock_guard lock(mutex_);
  auto it = controls_.find(control);
  if (it != controls_.end()) it->second.disabled = disabled;
}

void MemoryUi::SetVisible(std::string_view control, bool visible) {
  std::lock_guard lock(mutex_);
  auto it = controls_.find(control);
  if (it != controls_.end()) it->second.visible = visible;
}

void MemoryUi::SetTextColor(std::string_view control, std::uint32_t bgr) {
  std::lock_guard lock(mutex_);
  auto it = controls_.find(control);
  if (it != controls_.end()) it->second.textColor = bgr;
}

bool MemoryUi::Checked(std::string_view control) {
  std::lock_guard lock(mutex_);
  auto it = controls_.find(control);
  return it != controls_.end() && it->second.checked;
}

int MemoryUi::InsertRow(int position, std::string_view text) {
  std::lock_guard lock(mutex_);
  std::array<std::string, 6> row;
  row[0] = std::string(text);
  int count = static_cast<int>(rows_.size());
  if (position < 0 || position >= count) {
    rows_.push_back(std::move(row));
    return count;
  }
  rows_.insert(rows_.begin() + position, std::move(row));
  return position;
}

bool MemoryUi::SetCellText(int row, int column, std::string_view text) {
  std::lock_guard lock(mutex_);
  if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 ||
      column >= ResultColumnCount) {
    return false;
  }
  rows_[row][column] = std::string(text);
  return true;
}

std::string MemoryUi::GetCellText(int row, int column) {
  std::lock_guard lock(mutex_);
  if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 ||
      column >= ResultColumnCount) {
    return {};
  }
  return rows_[row][column];
}

int MemoryUi::RowCount() {
  std::lock_guard lock(mutex_);
  return static_cast<int>(rows_.size());
}

std::string MemoryUi::ColumnCaption(int column) {
  if (column < 0 || column >= ResultColumnCount) return {};
  return Utf8ToGbk(ResultColumnCaptions[column]);
}

void MemoryUi::SetPaneText(int pane, std::string_view text) {
  std::lock_guard lock(mutex_);
  if (pane < 0 || pane >= StatusPaneCount) return;
  panes_[pane] = std::string(text);
}

int MemoryUi::ShowMessage(std::string_view text, int flags,
                          std::optional<std::string_view> caption) {
  Message message{std::string(text), flags,
                  caption ? std::string(*caption) : Utf8ToGbk(DefaultMessageCaption)};
  std::function<int(const Message&)> answer;
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
    answer = messageAnswer_;
  }
  if (answer) return answer(message);
  return (flags & 0xF) == mb::YesNo ? mb::PressedYes : mb::PressedOk;
}

void MemoryUi::SetInitialDirectory(std::string_view directory) {
  std::lock_guard lock(mutex_);
  initialDirectory_ = std::string(directory);
}

bool MemoryUi::ShowFileDialog() {
  std::function<std::string(const std::string&, const std::string&)> answer;
  std::string directory, proposed;
  {
    std::lock_guard lock(mutex_);
    answer = fileDialogAnswer_;
    directory = initialDirectory_;
    proposed = fileName_;
  }
  if (!answer) return false;
  std::string chosen = answer(directory, proposed);
  if (chosen.empty()) return false;
  std::lock_guard lock(mutex_);
  fileName_ = std::move(chosen);
  return true;
}

std::string MemoryUi::FileName() {
  std::lock_guard lock(mutex_);
  return fileName_;
}

void MemoryUi::RunAtomically(const std::function<void(CollectorUi&)>& operations) {
  std::lock_guard lock(mutex_);
  operations(*this);
}

void MemoryUi::SetMessageAnswer(std::function<int(const Message&)> answer) {
  std::lock_guard lock(mutex_);
  messageAnswer_ = std::move(answer);
}

void MemoryUi::SetFileDialogAnswer(
    std::function<std::string(const std::string&, const std::string&)> answer) {
  std::lock_guard lock(mutex_);
  fileDialogAnswer_ = std::move(answer);
}

void MemoryUi::SetChecked(std::string_view control, bool checked) {
  std::lock_guard lock(mutex_);
  auto it = controls_.find(control);
  if (it != controls_.end()) it->second.checked = checked;
}

MemoryUi::Control MemoryUi::GetControl(std::string_view control) {
  std::lock_guard lock(mutex_);
  auto it = controls_.find(control);
  return it == controls_.end() ? Control{} : it->second;
}

std::string MemoryUi::PaneText(int pane) {
  std::lock_guard lock(mutex_);
  return pane >= 0 && pane < StatusPaneCount ? panes_[pane] : std::string();
}

std::vector<MemoryUi::Message> MemoryUi::Messages() {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::array<std::string, 6>> MemoryUi::Rows() {
  std::lock_guard lock(mutex_);
  return rows_;
}

std::string MemoryUi::InitialDirectory() {
  std::lock_guard lock(mutex_);
  return initialDirectory_;
}

}  // namespace shopwalk
