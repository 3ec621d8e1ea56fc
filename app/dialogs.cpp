#include "app/dialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHash>
#include <QMessageBox>
#include <QPushButton>

#include "app/message_box_layout.h"

namespace shopwalk {

namespace {

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Error:
      return QMessageBox::Critical;
    case MessageIcon::Question:
      return QMessageBox::Question;
    case MessageIcon::Warning:
      return QMessageBox::Warning;
    case MessageIcon::Information:
      return QMessageBox::Information;
    case MessageIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

// A save dialog that stays open when the folder of the chosen file does not exist.
class SaveFileDialog : public QFileDialog {
 public:
  SaveFileDialog() : QFileDialog(nullptr) {}

  void accept() override {
    const QStringList files = selectedFiles();
    if (!files.isEmpty()) {
      const QFileInfo chosen(files.first());
      if (!chosen.isDir() && !QFileInfo(chosen.absolutePath()).isDir()) {
        QMessageBox box(
            QMessageBox::Warning, windowTitle(),
            chosen.absolutePath() + QStringLiteral("\n路径不存在。\n请检查路径是否正确。"),
            QMessageBox::Ok, this);
        box.button(QMessageBox::Ok)->setText(ButtonCaption(0));
        box.exec();
        return;
      }
    }
    QFileDialog::accept();
  }
};

}  // namespace

QStringList NameFiltersFromPairs(const QString& pairs) {
  const QStringList parts = pairs.split(u'|');
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString& description = parts[i];
    const QString& pattern = parts[i + 1];
    if (description.isEmpty() && pattern.isEmpty()) continue;
    const QString patterns = QString(pattern).replace(u';', u' ').simplified();
    const QString suffix = QStringLiteral("(") + pattern + QStringLiteral(")");
    if (description.endsWith(suffix)) {
      filters << description.chopped(suffix.size()) + QStringLiteral("(") + patterns +
                     QStringLiteral(")");
    } else {
      filters << description + QStringLiteral(" (") + patterns + QStringLiteral(")");
    }
  }
  return filters;
}

QString EndingOfPair(const QString& pairs, int index) {
  const QStringList parts = pairs.split(u'|');
  if (index < 0 || 2 * qsizetype{index} + 1 >= parts.size()) return {};
  const QString pattern = parts[2 * qsizetype{index} + 1].split(u';').first().trimmed();
  if (!pattern.startsWith(QStringLiteral("*.")) || pattern.size() < 3 ||
      pattern.indexOf(u'*', 1) >= 0) {
    return {};
  }
  return pattern.mid(1);
}

int QtDialogHost::ShowMessage(const QString& text, int flags, const QString& caption) {
  const MessageBoxLayout layout = LayoutMessageBox(flags);
  QMessageBox box;
  box.setWindowModality(Qt::ApplicationModal);
  box.setWindowTitle(caption);
  box.setTextFormat(Qt::PlainText);
  box.setText(text);
  box.setIcon(ToQtIcon(layout.icon));

  QHash<QAbstractButton*, int> codes;
  for (int code : layout.buttons) {
    // Action buttons keep the order in which they are added.
    QPushButton* button = box.addButton(ButtonCaption(code), QMessageBox::ActionRole);
    codes.insert(button, code);
    if (code == layout.defaultButton) box.setDefaultButton(button);
    if (code == layout.escapeButton) box.setEscapeButton(button);
  }
  box.exec();
  return codes.value(box.clickedButton(), layout.escapeButton);
}

std::optional<SaveDialogAnswer> QtDialogHost::AskSaveFileName(const SaveDialogRequest& request) {
  SaveFileDialog dialog;
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setWindowModality(Qt::ApplicationModal);
  const QStringList filters = NameFiltersFromPairs(request.filter);
  if (!filters.isEmpty()) {
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.first());
  }
  if (!request.initialDirectory.isEmpty()) dialog.setDirectory(request.initialDirectory);
  if (!request.proposedName.isEmpty()) dialog.selectFile(request.proposedName);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  SaveDialogAnswer answer;
  answer.path = QFileInfo(files.first()).absoluteFilePath();
  answer.filter = static_cast<int>(filters.indexOf(dialog.selectedNameFilter()));
  return answer;
}

}  // namespace shopwalk
