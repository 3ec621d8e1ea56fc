#include "app/widget_ui.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>

#include "app/caption_group_box.h"
#include "app/collector_window.h"
#include "app/dialogs.h"
#include "app/result_model.h"
#include "app/status_panes.h"
#include "collect/gbk.h"
#include "collect/window_texts.h"

namespace shopwalk {

namespace {

QString FromGbk(std::string_view gbk) {
  return QString::fromStdString(GbkToUtf8(gbk));
}

std::string ToGbk(const QString& text) {
  return Utf8ToGbk(text.toStdString());
}

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

WidgetUi::WidgetUi(CollectorWindow& window, DialogHost& dialogs)
    : window_(window), dialogs_(dialogs) {}

std::string WidgetUi::Text(std::string_view control) {
  QWidget* widget = window_.Control(control);
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return ToGbk(edit->text());
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return ToGbk(button->text());
  if (auto* label = qobject_cast<QLabel*>(widget)) return ToGbk(label->text());
  if (auto* group = qobject_cast<QGroupBox*>(widget)) return ToGbk(group->title());
  return {};
}

void WidgetUi::SetText(std::string_view control, std::string_view text) {
  QWidget* widget = window_.Control(control);
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->setText(FromGbk(text));
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(FromGbk(text));
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(FromGbk(text));
  } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
    group->setTitle(FromGbk(text));
  }
}

void WidgetUi::SetDisabled(std::string_view control, bool disabled) {
  if (QWidget* widget = window_.Control(control)) widget->setEnabled(!disabled);
}

void WidgetUi::SetVisible(std::string_view control, bool visible) {
  if (QWidget* widget = window_.Control(control)) widget->setVisible(visible);
}

void WidgetUi::SetTextColor(std::string_view control, std::uint32_t bgr) {
  if (auto* group = qobject_cast<CaptionGroupBox*>(window_.Control(control))) {
    group->SetCaptionColor(QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF));
  }
}

bool WidgetUi::Checked(std::string_view control) {
  auto* check = qobject_cast<QCheckBox*>(window_.Control(control));
  return check && check->isChecked();
}

int WidgetUi::InsertRow(int position, std::string_view text) {
  return window_.Results().InsertRow(position, text);
}

bool WidgetUi::SetCellText(int row, int column, std::string_view text) {
  return window_.Results().SetCellText(row, column, text);
}

std::string WidgetUi::GetCellText(int row, int column) {
  return window_.Results().GetCellText(row, column);
}

int WidgetUi::RowCount() {
  return window_.Results().RowCount();
}

std::string WidgetUi::ColumnCaption(int column) {
  return ResultModel::ColumnCaption(column);
}

void WidgetUi::SetPaneText(int pane, std::string_view text) {
  window_.Status()->SetPaneText(pane, FromGbk(text));
}

int WidgetUi::ShowMessage(std::string_view text, int flags,
                          std::optional<std::string_view> caption) {
  return dialogs_.ShowMessage(FromGbk(text), flags,
                              caption ? FromGbk(*caption) : FromUtf8(DefaultMessageCaption));
}

void WidgetUi::SetInitialDirectory(std::string_view directory) {
  initialDirectory_ = std::string(directory);
}

bool WidgetUi::ShowFileDialog() {
  SaveDialogRequest request;
  request.filter = FromUtf8(SaveDialogFilter);
  request.initialDirectory = QFile::decodeName(QByteArray::fromStdString(initialDirectory_));
  request.proposedName = QFile::decodeName(QByteArray::fromStdString(fileName_));
  std::optional<QString> chosen = dialogs_.AskSaveFileName(request);
  if (!chosen || chosen->isEmpty()) return false;
  fileName_ = QFile::encodeName(*chosen).toStdString();
  return true;
}

std::string WidgetUi::FileName() {
  return fileName_;
}

void WidgetUi::RunAtomically(const std::function<void(CollectorUi&)>& operations) {
  operations(*this);
}

}  // namespace shopwalk
