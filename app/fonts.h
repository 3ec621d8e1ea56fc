// The fonts of the collector window, all at the pixel sizes its layout was drawn for.
#pragma once

#include <QFont>

namespace shopwalk {

// The window's default GUI font: a Song face where one is installed, otherwise a CJK sans face,
// 12 pixels high, so Chinese texts render.
QFont DefaultGuiFont();

// The settings group's caption: the default face, 12 pixels, bold, drawn for quality.
QFont GroupCaptionFont();

// The address label's font: half-width glyphs 6 pixels and full-width glyphs 12 pixels wide, so
// the label's run of spaces lines up with the shop-ID field laid over it.
QFont AddressLabelFont();

}  // namespace shopwalk
