// The window's modal dialogs behind a small interface, so tests can answer them: the message box
// and the save dialog. QtDialogHost shows the real ones; both must be used on the UI thread.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace shopwalk {

struct SaveDialogRequest {
  QString filter;            // description|pattern pairs, e.g. "文本文件(*.txt)|*.txt"
  QString initialDirectory;  // empty: the dialog's own choice
  QString proposedName;      // empty: none
};

struct SaveDialogAnswer {
  QString path;     // the confirmed full path
  int filter = -1;  // which description|pattern pair was selected (0 for the first), -1: none
  bool operator==(const SaveDialogAnswer&) const = default;
};

class DialogHost {
 public:
  virtual ~DialogHost() = default;

  // Shows a modal message box without owner; returns the mb::Pressed* code of the answer.
  virtual int ShowMessage(const QString& text, int flags, const QString& caption) = 0;

  // Shows the save dialog; returns the confirmed full path and the selected file type, or
  // nothing when cancelled.
  virtual std::optional<SaveDialogAnswer> AskSaveFileName(const SaveDialogRequest& request) = 0;
};

// Converts description|pattern pairs into name filters: each description followed by its
// patterns in parentheses (written only once when the description already ends with them),
// ";"-separated patterns becoming space-separated. Empty pairs are dropped.
QStringList NameFiltersFromPairs(const QString& pairs);

// The file-name ending that pair `index` of description|pattern pairs stands for: its first
// pattern without the leading '*' ("*.xlsx" gives ".xlsx"); empty when there is no such pair or
// its pattern names no ending ("*").
QString EndingOfPair(const QString& pairs, int index);

class QtDialogHost : public DialogHost {
 public:
  // An application-modal box with Chinese button texts, plain text and the flags' icon and
  // default button. Closed without a button it answers as LayoutMessageBox says.
  int ShowMessage(const QString& text, int flags, const QString& caption) override;

  // The toolkit's own save dialog (not the desktop's): its default title, the filters with the
  // first selected, overwrite confirmation, no default suffix, and a chosen folder must exist.
  std::optional<SaveDialogAnswer> AskSaveFileName(const SaveDialogRequest& request) override;
};

}  // namespace shopwalk
