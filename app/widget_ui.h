// The collector window's operations carried out directly on its widgets. For the UI thread only:
// QtCollectorUi brings calls from other threads here through the bridge.
#pragma once

#include <QString>
#include <string>

#include "app/window_ui.h"

class QLineEdit;

namespace shopwalk {

class CollectorWindow;
class DialogHost;

// The save dialog's filter, as description|pattern pairs.
inline constexpr std::string_view SaveDialogFilter =
    "文本文件(*.txt)|*.txt|CSV 文件(*.csv)|*.csv|Excel 工作簿(*.xlsx)|*.xlsx|JSON "
    "Lines(*.jsonl)|*.jsonl";

class WidgetUi : public WindowUi {
 public:
  WidgetUi(CollectorWindow& window, DialogHost& dialogs);

  // The fields give back exactly the bytes last written into them, as long as nobody has edited
  // them since; text typed by the user comes back as GBK.
  std::string ShopIdText() override;
  void SetShopIdText(std::string_view text) override;
  std::string ThreadCountText() override;
  void SetThreadCountText(std::string_view text) override;
  void FreezeRunControls() override;
  void ShowCollecting(std::string_view shopUrl) override;
  void AddRow(const ShopRecord& record) override;
  void ShowPaused(PauseReason reason, std::chrono::seconds nextTry, bool probeOut) override;
  void ShowRetryCounts(std::size_t waiting, std::size_t failed, std::size_t toRevisit) override;
  void RestoreRows(const std::vector<ShopRecord>& records) override;

  int ShowMessage(std::string_view text, int flags,
                  std::optional<std::string_view> caption = std::nullopt) override;
  void SetInitialDirectory(std::string_view directory) override;
  bool ShowFileDialog() override;
  std::string FileName() override;
  std::string ChosenFileEnding() override;
  bool MessengerOnlyChecked() override;
  void SetSettingsGroupColor(std::uint32_t bgr) override;
  void ShowNote(std::string_view text) override;
  void ShowStoreTrouble(std::optional<std::uint64_t> unwrittenRows) override;
  void ReadRows(const std::function<void(const ResultRows&)>& reader) override;

 private:
  // Shows the store's trouble in the last pane, or the shops in trouble when there is none.
  void ShowLastPane();

  // What a program wrote into an edit field: its bytes and the text the field showed for them.
  struct WrittenText {
    std::string bytes;
    QString shown;
  };
  static std::string FieldText(const QLineEdit& field, const WrittenText& written);
  static void SetFieldText(QLineEdit& field, std::string_view bytes, WrittenText& written);

  CollectorWindow& window_;
  DialogHost& dialogs_;
  WrittenText shopId_;
  WrittenText threadCount_;
  std::string initialDirectory_;
  std::string fileName_;
  std::string chosenEnding_;
  // What the last pane shows: the store's trouble before the shops waiting and failed.
  std::optional<std::uint64_t> unwrittenRows_;
  std::size_t waiting_ = 0, failed_ = 0, toRevisit_ = 0;
};

}  // namespace shopwalk
