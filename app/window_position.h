// Where the collector window goes: its fixed sizes and its centred place on the screen.
#pragma once

#include <QPoint>
#include <QSize>

namespace shopwalk {

// The window's outer size (a fixed 3-pixel frame and a 22-pixel caption included) and the client
// area inside it.
inline constexpr QSize WindowFrameSize(581, 547);
inline constexpr QSize WindowClientSize(575, 519);

// Top-left corner of the window's frame, centred on a screen of the given size.
QPoint CentredFramePosition(QSize screen);

}  // namespace shopwalk
