#include "app/caption_group_box.h"

#include <QFontMetrics>
#include <QPainter>

namespace shopwalk {

namespace {
// Distance of the caption from the box's left edge, and the gap kept clear of the frame line on
// either side of the caption.
constexpr int CaptionIndent = 8;
constexpr int CaptionGap = 2;
}  // namespace

CaptionGroupBox::CaptionGroupBox(const QString& caption, QWidget* parent)
    : QGroupBox(caption, parent), captionFont_(font()) {}

void CaptionGroupBox::SetCaptionColor(const QColor& color) {
  captionColor_ = color;
  update();
}

void CaptionGroupBox::SetCaptionFont(const QFont& font) {
  captionFont_ = font;
  update();
}

void CaptionGroupBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QFontMetrics metrics(captionFont_);
  int captionHeight = metrics.height();
  QRect captionRect(CaptionIndent, 0, metrics.horizontalAdvance(title()) + 2 * CaptionGap,
                    captionHeight);

  // An etched frame (a dark line with a light one inside it) starting half-way down the caption,
  // broken where the caption sits.
  const int top = captionHeight / 2;
  painter.save();
  painter.setClipRegion(QRegion(rect()).subtracted(QRegion(captionRect)));
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(QRect(0, top, width() - 2, height() - top - 2));
  painter.setPen(palette().color(QPalette::Light));
  painter.drawLine(1, top + 1, width() - 3, top + 1);
  painter.drawLine(1, top + 1, 1, height() - 3);
  painter.drawLine(0, height() - 1, width() - 1, height() - 1);
  painter.drawLine(width() - 1, top, width() - 1, height() - 1);
  painter.restore();

  painter.setFont(captionFont_);
  painter.setPen(isEnabled() ? captionColor_ : palette().color(QPalette::Disabled, QPalette::Text));
  painter.drawText(captionRect, Qt::AlignCenter | Qt::TextSingleLine, title());
}

}  // namespace shopwalk
