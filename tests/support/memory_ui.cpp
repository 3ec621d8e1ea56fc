#include "tests/support/memory_ui.h"

#include "app/window_texts.h"
#include "collect/text.h"

namespace shopwalk::test {

MemoryUi::MemoryUi() : threadCount_(InitialThreadCount) {}

std::string MemoryUi::ShopIdText() {
  std::lock_guard lock(mutex_);
  return shopId_;
}

void MemoryUi::SetShopIdText(std::string_view text) {
  std::lock_guard lock(mutex_);
  shopId_ = std::string(text);
}

std::string MemoryUi::ThreadCountText() {
  std::lock_guard lock(mutex_);
  return threadCount_;
}

void MemoryUi::SetThreadCountText(std::string_view text) {
  std::lock_guard lock(mutex_);
  threadCount_ = std::string(text);
}

void MemoryUi::FreezeRunControls() {
  std::lock_guard lock(mutex_);
  frozen_ = true;
}

void MemoryUi::ShowCollecting(std::string_view shopUrl) {
  std::lock_guard lock(mutex_);
  collecting_.emplace_back(shopUrl);
  progress_.push_back(ProgressEvent{ProgressEvent::Kind::Collecting, std::string(shopUrl)});
}

void MemoryUi::AddRow(const ShopRecord& record) {
  std::lock_guard lock(mutex_);
  rows_.push_back(record.Row(NumberToText(static_cast<std::int32_t>(rows_.size() + 1))));
  progress_.push_back(ProgressEvent{ProgressEvent::Kind::Collected, record.address});
}

void MemoryUi::ShowPaused(PauseReason reason, std::chrono::seconds nextTry, bool probeOut) {
  std::lock_guard lock(mutex_);
  pauses_.push_back(Pause{reason, nextTry, probeOut});
  progress_.push_back(ProgressEvent{ProgressEvent::Kind::Paused, {}, pauses_.back()});
}

void MemoryUi::ShowRetryCounts(std::size_t waiting, std::size_t failed, std::size_t toRevisit) {
  std::lock_guard lock(mutex_);
  retryCounts_ = {waiting, failed};
  toRevisit_ = toRevisit;
}

int MemoryUi::ShowMessage(std::string_view text, int flags,
                          std::optional<std::string_view> caption) {
  Message message{std::string(text), flags, std::string(caption.value_or(DefaultMessageCaption))};
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

std::string MemoryUi::ChosenFileEnding() {
  std::lock_guard lock(mutex_);
  return chosenEnding_;
}

void MemoryUi::SetChosenFileEnding(std::string ending) {
  std::lock_guard lock(mutex_);
  chosenEnding_ = std::move(ending);
}

bool MemoryUi::MessengerOnlyChecked() {
  std::lock_guard lock(mutex_);
  return messengerOnly_;
}

void MemoryUi::SetSettingsGroupColor(std::uint32_t bgr) {
  std::lock_guard lock(mutex_);
  groupColor_ = bgr;
}

void MemoryUi::ShowNote(std::string_view text) {
  std::lock_guard lock(mutex_);
  notes_.emplace_back(text);
}

void MemoryUi::ShowStoreTrouble(std::optional<std::uint64_t> unwrittenRows) {
  std::lock_guard lock(mutex_);
  storeTroubles_.push_back(unwrittenRows);
}

void MemoryUi::ReadRows(const std::function<void(const ResultRows&)>& reader) {
  std::lock_guard lock(mutex_);
  reader(VectorRows(rows_));
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

void MemoryUi::SetMessengerOnly(bool checked) {
  std::lock_guard lock(mutex_);
  messengerOnly_ = checked;
}

void MemoryUi::PutRow(const ResultRow& row) {
  std::lock_guard lock(mutex_);
  rows_.push_back(row);
}

bool MemoryUi::Frozen() {
  std::lock_guard lock(mutex_);
  return frozen_;
}

std::uint32_t MemoryUi::SettingsGroupColor() {
  std::lock_guard lock(mutex_);
  return groupColor_;
}

std::string MemoryUi::Collecting() {
  std::lock_guard lock(mutex_);
  return collecting_.empty() ? std::string() : collecting_.back();
}

std::vector<std::string> MemoryUi::CollectingHistory() {
  std::lock_guard lock(mutex_);
  return collecting_;
}

std::vector<std::string> MemoryUi::Notes() {
  std::lock_guard lock(mutex_);
  return notes_;
}

std::vector<MemoryUi::Pause> MemoryUi::Pauses() {
  std::lock_guard lock(mutex_);
  return pauses_;
}

std::vector<MemoryUi::ProgressEvent> MemoryUi::ProgressHistory() {
  std::lock_guard lock(mutex_);
  return progress_;
}

std::pair<std::size_t, std::size_t> MemoryUi::RetryCounts() {
  std::lock_guard lock(mutex_);
  return retryCounts_;
}

std::size_t MemoryUi::ToRevisitCount() {
  std::lock_guard lock(mutex_);
  return toRevisit_;
}

std::vector<std::optional<std::uint64_t>> MemoryUi::StoreTroubles() {
  std::lock_guard lock(mutex_);
  return storeTroubles_;
}

std::vector<MemoryUi::Message> MemoryUi::Messages() {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<ResultRow> MemoryUi::Rows() {
  std::lock_guard lock(mutex_);
  return rows_;
}

std::string MemoryUi::InitialDirectory() {
  std::lock_guard lock(mutex_);
  return initialDirectory_;
}

}  // namespace shopwalk::test
