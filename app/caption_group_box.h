// A group box whose caption has its own font and colour, which its child controls do not inherit
// (they keep the window's default font and black text).
#pragma once

#include <QColor>
#include <QFont>
#include <QGroupBox>

namespace shopwalk {

class CaptionGroupBox : public QGroupBox {
  Q_OBJECT
 public:
  CaptionGroupBox(const QString& caption, QWidget* parent = nullptr);

  void SetCaptionColor(const QColor& color);
  QColor CaptionColor() const { return captionColor_; }
  void SetCaptionFont(const QFont& font);
  QFont CaptionFont() const { return captionFont_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor captionColor_ = Qt::black;
  QFont captionFont_;
};

}  // namespace shopwalk
