#include "app/qt_collector_ui.h"

#include <string>

#include <QLineEdit>

#include "app/collector_window.h"
#include "app/int_edit.h"
#include "app/ui_bridge.h"

namespace shopwalk {

// Writes are posted rather than waited for: a worker or the dispatcher goes on at once instead of
// handing its thread to the UI thread and back for every field text, progress report and row.
// Each posted operation owns copies of its arguments, since the caller's views die when it
// returns; the bridge keeps them in call order with the reads.

QtCollectorUi::QtCollectorUi(CollectorWindow& window, DialogHost& dialogs, UiBridge& bridge)
    : direct_(window, dialogs), bridge_(bridge) {
  // The user's typing, and the field's own normalising when it loses the focus, reach the copy
  // (on the UI thread); the engine's own writes are in it already.
  QObject::connect(window.ShopIdField(), &QLineEdit::textChanged, window.ShopIdField(), [this] {
    if (applyingShopId_) return;
    std::string text = direct_.ShopIdText();
    std::lock_guard lock(shopIdMutex_);
    shopId_ = std::move(text);
  });
}

std::string QtCollectorUi::ShopIdText() {
  if (bridge_.IsClosed()) return {};
  std::lock_guard lock(shopIdMutex_);
  return shopId_;
}

void QtCollectorUi::SetShopIdText(std::string_view text) {
  {
    std::lock_guard lock(shopIdMutex_);
    shopId_ = std::string(text);
  }
  bridge_.Post([this, text = std::string(text)] {
    applyingShopId_ = true;
    direct_.SetShopIdText(text);
    applyingShopId_ = false;
  });
}

std::string QtCollectorUi::ThreadCountText() {
  return bridge_.Call([&] { return direct_.ThreadCountText(); });
}

void QtCollectorUi::SetThreadCountText(std::string_view text) {
  bridge_.Post([this, text = std::string(text)] { direct_.SetThreadCountText(text); });
}

void QtCollectorUi::FreezeRunControls() {
  bridge_.Post([this] { direct_.FreezeRunControls(); });
}

void QtCollectorUi::ShowCollecting(std::string_view shopUrl) {
  bridge_.Post([this, shopUrl = std::string(shopUrl)] { direct_.ShowCollecting(shopUrl); });
}

void QtCollectorUi::AddRow(const ShopRecord& record) {
  bridge_.Post([this, record] { direct_.AddRow(record); });
}

int QtCollectorUi::ShowMessage(std::string_view text, int flags,
                               std::optional<std::string_view> caption) {
  return bridge_.Call([&] { return direct_.ShowMessage(text, flags, caption); });
}

void QtCollectorUi::SetInitialDirectory(std::string_view directory) {
  bridge_.Post(
      [this, directory = std::string(directory)] { direct_.SetInitialDirectory(directory); });
}

bool QtCollectorUi::ShowFileDialog() {
  return bridge_.Call([&] { return direct_.ShowFileDialog(); });
}

std::string QtCollectorUi::FileName() {
  return bridge_.Call([&] { return direct_.FileName(); });
}

std::string QtCollectorUi::ChosenFileEnding() {
  return bridge_.Call([&] { return direct_.ChosenFileEnding(); });
}

bool QtCollectorUi::MessengerOnlyChecked() {
  return bridge_.Call([&] { return direct_.MessengerOnlyChecked(); });
}

void QtCollectorUi::SetSettingsGroupColor(std::uint32_t bgr) {
  bridge_.Post([this, bgr] { direct_.SetSettingsGroupColor(bgr); });
}

void QtCollectorUi::ShowNote(std::string_view text) {
  bridge_.Post([this, text = std::string(text)] { direct_.ShowNote(text); });
}

void QtCollectorUi::ShowStoreTrouble(std::optional<std::uint64_t> unwrittenRows) {
  bridge_.Post([this, unwrittenRows] { direct_.ShowStoreTrouble(unwrittenRows); });
}

void QtCollectorUi::ShowPaused(PauseReason reason, std::chrono::seconds nextTry, bool probeOut) {
  bridge_.Post(
      [this, reason, nextTry, probeOut] { direct_.ShowPaused(reason, nextTry, probeOut); });
}

void QtCollectorUi::ShowRetryCounts(std::size_t waiting, std::size_t failed,
                                    std::size_t toRevisit) {
  bridge_.Post(
      [this, waiting, failed, toRevisit] { direct_.ShowRetryCounts(waiting, failed, toRevisit); });
}

void QtCollectorUi::RestoreRows(const std::vector<ShopRecord>& records) {
  bridge_.Run([&] { direct_.RestoreRows(records); });
}

void QtCollectorUi::ReadRows(const std::function<void(const ResultRows&)>& reader) {
  bridge_.Run([&] { direct_.ReadRows(reader); });
}

}  // namespace shopwalk
