// A pair of up and down arrows placed beside an edit field. A press raises Spin(+1) for the up
// arrow and Spin(-1) for the down arrow, repeating while the arrow is held like a spin box's; the
// arrows never touch the field's text themselves. They do not take the keyboard focus.
#pragma once

#include <QWidget>

class QToolButton;

namespace shopwalk {

class SpinArrows : public QWidget {
  Q_OBJECT
 public:
  static constexpr int Width = 18;

  explicit SpinArrows(QWidget* parent = nullptr);

  // Places the arrows against the right edge of `field`, outside it, as high as the field.
  void AttachTo(const QWidget& field);

  QToolButton* UpArrow() const { return up_; }
  QToolButton* DownArrow() const { return down_; }

 signals:
  void Spin(int delta);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  QToolButton* up_;
  QToolButton* down_;
};

}  // namespace shopwalk
