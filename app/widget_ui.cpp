#include "app/widget_ui.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>

#include "app/caption_group_box.h"
#include "app/collector_window.h"
#include "app/dialogs.h"
#include "app/int_edit.h"
#include "app/qt_text.h"
#include "app/result_model.h"
#include "app/status_panes.h"
#include "app/window_texts.h"
#include "collect/text.h"

namespace shopwalk {

namespace {

class ModelRows : public ResultRows {
 public:
  explicit ModelRows(const ResultModel& model) : model_(model) {}
  int RowCount() const override { return model_.RowCount(); }
  std::string CellText(int row, int column) const override {
    return model_.GetCellText(row, column);
  }

 private:
  const ResultModel& model_;
};

}  // namespace

WidgetUi::WidgetUi(CollectorWindow& window, DialogHost& dialogs)
    : window_(window), dialogs_(dialogs) {}

std::string WidgetUi::FieldText(const QLineEdit& field, const WrittenText& written) {
  // GBK bytes that are not valid GBK do not survive the way through the field's Unicode text,
  // so a field nobody has edited gives back what was written into it.
  if (field.text() == written.shown) return written.bytes;
  return ToGbk(field.text());
}

void WidgetUi::SetFieldText(QLineEdit& field, std::string_view bytes, WrittenText& written) {
  field.setText(FromGbk(bytes));
  written.bytes = std::string(bytes);
  written.shown = field.text();
}

std::string WidgetUi::ShopIdText() {
  return FieldText(*window_.ShopIdField(), shopId_);
}

void WidgetUi::SetShopIdText(std::string_view text) {
  SetFieldText(*window_.ShopIdField(), text, shopId_);
}

std::string WidgetUi::ThreadCountText() {
  return FieldText(*window_.ThreadCountField(), threadCount_);
}

void WidgetUi::SetThreadCountText(std::string_view text) {
  SetFieldText(*window_.ThreadCountField(), text, threadCount_);
}

void WidgetUi::FreezeRunControls() {
  window_.StartButton()->setEnabled(false);
  window_.StopButton()->setEnabled(false);
  window_.ShopIdField()->setVisible(false);
}

void WidgetUi::ShowCollecting(std::string_view shopUrl) {
  window_.Status()->SetPaneText(1, FromUtf8(CollectingStatus) + FromGbk(shopUrl));
}

void WidgetUi::AddRow(const ShopRecord& record) {
  ResultModel& list = window_.Results();
  // The row goes in whole, numbered by its position.
  list.AppendRows({record.Row(NumberToText(list.RowCount() + 1))});
  StatusPanes& status = *window_.Status();
  status.SetPaneText(
      1, FromUtf8(CollectedPrefix) + FromGbk(record.address) + FromUtf8(CollectedSuffix));
  status.SetPaneText(
      0, FromUtf8(RowCountPrefix) + QString::number(list.RowCount()) + FromUtf8(RowCountSuffix));
}

void WidgetUi::ShowPaused(PauseReason reason, std::chrono::seconds nextTry, bool probeOut) {
  if (reason == PauseReason::StoreBehind) {
    window_.Status()->SetPaneText(1, FromUtf8(PausedStoreBehind));
    return;
  }
  if (reason == PauseReason::PagesDoNotMatch) {
    window_.Status()->SetPaneText(1, FromUtf8(PausedPagesDoNotMatch));
    return;
  }
  const std::string_view why = reason == PauseReason::Outage ? PausedOutage : PausedRateLimited;
  window_.Status()->SetPaneText(
      1, FromUtf8(why) + FromUtf8(PausedNextTryPrefix) + QString::number(nextTry.count()) +
             FromUtf8(PausedNextTrySuffix) + (probeOut ? FromUtf8(PausedProbeOut) : QString()));
}

void WidgetUi::ShowRetryCounts(std::size_t waiting, std::size_t failed, std::size_t toRevisit) {
  waiting_ = waiting;
  failed_ = failed;
  toRevisit_ = toRevisit;
  ShowLastPane();
}

void WidgetUi::ShowStoreTrouble(std::optional<std::uint64_t> unwrittenRows) {
  unwrittenRows_ = unwrittenRows;
  ShowLastPane();
}

void WidgetUi::ShowLastPane() {
  StatusPanes& status = *window_.Status();
  if (unwrittenRows_) {
    status.SetPaneText(2, FromUtf8(StoreTroublePrefix) + QString::number(*unwrittenRows_) +
                              FromUtf8(StoreTroubleSuffix));
    return;
  }
  if (waiting_ == 0 && failed_ == 0 && toRevisit_ == 0) {
    // Nothing in trouble: the pane shows what it always showed.
    status.SetPaneText(2, FromUtf8(InitialPaneTexts[2]));
    return;
  }
  QString text;
  if (waiting_ != 0 || failed_ != 0) {
    text = FromUtf8(WaitingShopsPrefix) + QString::number(waiting_) + FromUtf8(FailedShopsPrefix) +
           QString::number(failed_) + FromUtf8(ShopCountSuffix);
  }
  if (toRevisit_ != 0) {
    if (!text.isEmpty()) text += FromUtf8(CountSeparator);
    text += FromUtf8(ToRevisitPrefix) + QString::number(toRevisit_) + FromUtf8(ShopCountSuffix);
  }
  status.SetPaneText(2, text);
}

void WidgetUi::RestoreRows(const std::vector<ShopRecord>& records) {
  ResultModel& list = window_.Results();
  std::vector<ResultRow> rows;
  rows.reserve(records.size());
  int position = list.RowCount();
  for (const ShopRecord& record : records) {
    rows.push_back(record.Row(NumberToText(static_cast<std::int32_t>(++position))));
  }
  list.AppendRows(rows);
}

int WidgetUi::ShowMessage(std::string_view text, int flags,
                          std::optional<std::string_view> caption) {
  return dialogs_.ShowMessage(FromUtf8(text), flags,
                              FromUtf8(caption.value_or(DefaultMessageCaption)));
}

void WidgetUi::SetInitialDirectory(std::string_view directory) {
  initialDirectory_ = std::string(directory);
}

bool WidgetUi::ShowFileDialog() {
  SaveDialogRequest request;
  request.filter = FromUtf8(SaveDialogFilter);
  request.initialDirectory = QFile::decodeName(QByteArray::fromStdString(initialDirectory_));
  request.proposedName = QFile::decodeName(QByteArray::fromStdString(fileName_));
  std::optional<SaveDialogAnswer> chosen = dialogs_.AskSaveFileName(request);
  if (!chosen || chosen->path.isEmpty()) return false;
  fileName_ = QFile::encodeName(chosen->path).toStdString();
  chosenEnding_ = QFile::encodeName(EndingOfPair(request.filter, chosen->filter)).toStdString();
  return true;
}

std::string WidgetUi::FileName() {
  return fileName_;
}

std::string WidgetUi::ChosenFileEnding() {
  return chosenEnding_;
}

bool WidgetUi::MessengerOnlyChecked() {
  return window_.MessengerOnlyCheck()->isChecked();
}

void WidgetUi::SetSettingsGroupColor(std::uint32_t bgr) {
  window_.SettingsGroup()->SetCaptionColor(QColor(static_cast<int>(bgr & 0xFF),
                                                  static_cast<int>((bgr >> 8) & 0xFF),
                                                  static_cast<int>((bgr >> 16) & 0xFF)));
}

void WidgetUi::ShowNote(std::string_view text) {
  window_.Status()->SetPaneText(1, FromUtf8(text));
}

void WidgetUi::ReadRows(const std::function<void(const ResultRows&)>& reader) {
  reader(ModelRows(window_.Results()));
}

}  // namespace shopwalk
