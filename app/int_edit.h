// An edit field in integer input mode: only "0"-"9" and "-" can be typed (other printable
// characters are swallowed; control keys and paste work as usual), and when the field loses the
// focus its text is normalised to a plain 32-bit decimal number, "0" showing as empty. Text set
// by the program is taken as it is. Text centred, a one-pixel border, the selection hidden while
// the field has no focus.
#pragma once

#include <QLineEdit>
#include <QString>

namespace shopwalk {

// The normalised form of an edit field's text: read as a decimal integer (leading blanks skipped,
// an optional sign, then digits up to the first other character; no digits give 0) into a
// saturating 64-bit value, clamped to the 32-bit signed range; 0 gives the empty text.
QString NormalisedIntegerText(const QString& text);

class IntEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit IntEdit(QWidget* parent = nullptr);

  // Normalises the text now, as losing the focus does; the caret goes back to where the
  // selection started. Leaves the text untouched when it is already in normal form.
  void Normalise();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void NormaliseFrom(int caret);
};

}  // namespace shopwalk
