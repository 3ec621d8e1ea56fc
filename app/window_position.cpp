#include "app/window_position.h"

namespace shopwalk {

QPoint CentredFramePosition(QSize screen) {
  return QPoint((screen.width() - WindowFrameSize.width()) / 2,
                (screen.height() - WindowFrameSize.height()) / 2);
}

}  // namespace shopwalk
