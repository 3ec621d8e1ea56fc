#include "app/int_edit.h"

#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QPainter>
#include <cstdint>
#include <limits>

namespace shopwalk {

namespace {

bool Typable(QChar c) {
  return (c >= u'0' && c <= u'9') || c == u'-';
}

bool Blank(QChar c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// Keeps the characters that integer input mode lets through.
QString TypableOnly(const QString& text) {
  QString kept;
  for (QChar c : text) {
    if (Typable(c)) kept += c;
  }
  return kept;
}

// Whether the key event types printable text (rather than being a control key or a shortcut).
bool TypesText(const QKeyEvent* event) {
  if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return false;
  const QString text = event->text();
  if (text.isEmpty()) return false;
  for (QChar c : text) {
    if (!c.isPrint()) return false;
  }
  return true;
}

}  // namespace

QString NormalisedIntegerText(const QString& text) {
  qsizetype i = 0;
  while (i < text.size() && Blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  constexpr std::int64_t Max64 = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;  // magnitude, saturated
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    int digit = text[i].unicode() - u'0';
    value = value > (Max64 - digit) / 10 ? Max64 : value * 10 + digit;
  }
  if (negative) value = -value;
  constexpr std::int64_t Min32 = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t Max32 = std::numeric_limits<std::int32_t>::max();
  if (value < Min32) value = Min32;
  if (value > Max32) value = Max32;
  return value == 0 ? QString() : QString::number(value);
}

IntEdit::IntEdit(QWidget* parent) : QLineEdit(parent) {
  setAlignment(Qt::AlignCenter);
  setFrame(false);
  // Without the focus the selection is not shown, also while another window is active.
  QPalette colours = palette();
  colours.setColor(QPalette::Base, Qt::white);
  colours.setColor(QPalette::Text, Qt::black);
  colours.setColor(QPalette::Inactive, QPalette::Highlight, Qt::white);
  colours.setColor(QPalette::Inactive, QPalette::HighlightedText, Qt::black);
  setPalette(colours);
}

void IntEdit::keyPressEvent(QKeyEvent* event) {
  if (!TypesText(event)) {
    QLineEdit::keyPressEvent(event);
    return;
  }
  const QString kept = TypableOnly(event->text());
  if (kept == event->text()) {
    QLineEdit::keyPressEvent(event);
    return;
  }
  if (!kept.isEmpty()) insert(kept);
  event->accept();
}

void IntEdit::inputMethodEvent(QInputMethodEvent* event) {
  const QString commit = event->commitString();
  const QString kept = TypableOnly(commit);
  if (kept == commit) {
    QLineEdit::inputMethodEvent(event);
    return;
  }
  QInputMethodEvent filtered(event->preeditString(), event->attributes());
  filtered.setCommitString(kept, event->replacementStart(), event->replacementLength());
  QLineEdit::inputMethodEvent(&filtered);
  event->accept();
}

void IntEdit::focusOutEvent(QFocusEvent* event) {
  const int caret = hasSelectedText() ? selectionStart() : cursorPosition();
  QLineEdit::focusOutEvent(event);
  // A popup (the field's own context menu) does not take the focus from the field for good.
  if (event->reason() != Qt::PopupFocusReason) NormaliseFrom(caret);
}

void IntEdit::Normalise() {
  NormaliseFrom(hasSelectedText() ? selectionStart() : cursorPosition());
}

void IntEdit::NormaliseFrom(int caret) {
  const QString normal = NormalisedIntegerText(text());
  if (normal == text()) return;
  setText(normal);
  setCursorPosition(qMin(caret, static_cast<int>(normal.size())));
}

void IntEdit::paintEvent(QPaintEvent* event) {
  QLineEdit::paintEvent(event);
  QPainter painter(this);
  painter.setPen(isEnabled() ? QColor(Qt::black)
                             : palette().color(QPalette::Disabled, QPalette::Text));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace shopwalk
