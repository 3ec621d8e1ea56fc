#include "app/qt_collector_ui.h"

#include "app/ui_bridge.h"

namespace shopwalk {

QtCollectorUi::QtCollectorUi(CollectorWindow& window, DialogHost& dialogs, UiBridge& bridge)
    : direct_(window, dialogs), bridge_(bridge) {}

std::string QtCollectorUi::ShopIdText() {
  return bridge_.Call([&] { return direct_.ShopIdText(); });
}

void QtCollectorUi::SetShopIdText(std::string_view text) {
  bridge_.Run([&] { direct_.SetShopIdText(text); });
}

std::string QtCollectorUi::ThreadCountText() {
  return bridge_.Call([&] { return direct_.ThreadCountText(); });
}

void QtCollectorUi::SetThreadCountText(std::string_view text) {
  bridge_.Run([&] { direct_.SetThreadCountText(text); });
}

void QtCollectorUi::FreezeRunControls() {
  bridge_.Run([&] { direct_.FreezeRunControls(); });
}

void QtCollectorUi::ShowCollecting(std::string_view shopUrl) {
  bridge_.Run([&] { direct_.ShowCollecting(shopUrl); });
}

void QtCollectorUi::AddRow(const ShopRecord& record) {
  bridge_.Run([&] { direct_.AddRow(record); });
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

bool QtCollectorUi::MessengerOnlyChecked() {
  return bridge_.Call([&] { return direct_.MessengerOnlyChecked(); });
}

void QtCollectorUi::SetSettingsGroupColor(std::uint32_t bgr) {
  bridge_.Run([&] { direct_.SetSettingsGroupColor(bgr); });
}

void QtCollectorUi::ShowNote(std::string_view text) {
  bridge_.Run([&] { direct_.ShowNote(text); });
}

void QtCollectorUi::ReadRows(const std::function<void(const ResultRows&)>& reader) {
  bridge_.Run([&] { direct_.ReadRows(reader); });
}

}  // namespace shopwalk
