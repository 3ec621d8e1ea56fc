#include "app/spin_arrows.h"

#include <QToolButton>

namespace shopwalk {

namespace {

QToolButton* MakeArrow(Qt::ArrowType type, QWidget* parent) {
  auto* arrow = new QToolButton(parent);
  arrow->setArrowType(type);
  arrow->setAutoRepeat(true);
  arrow->setFocusPolicy(Qt::NoFocus);
  arrow->setIconSize(QSize(7, 7));
  return arrow;
}

}  // namespace

SpinArrows::SpinArrows(QWidget* parent)
    : QWidget(parent), up_(MakeArrow(Qt::UpArrow, this)), down_(MakeArrow(Qt::DownArrow, this)) {
  setFocusPolicy(Qt::NoFocus);
  up_->setObjectName(QStringLiteral("up"));
  down_->setObjectName(QStringLiteral("down"));
  // With auto-repeat, pressed() comes on the first press and again on every repeat.
  connect(up_, &QToolButton::pressed, this, [this] { emit Spin(+1); });
  connect(down_, &QToolButton::pressed, this, [this] { emit Spin(-1); });
}

void SpinArrows::AttachTo(const QWidget& field) {
  setGeometry(field.x() + field.width(), field.y(), Width, field.height());
}

void SpinArrows::resizeEvent(QResizeEvent*) {
  int upHeight = (height() + 1) / 2;
  up_->setGeometry(0, 0, width(), upHeight);
  down_->setGeometry(0, upHeight, width(), height() - upHeight);
}

}  // namespace shopwalk
