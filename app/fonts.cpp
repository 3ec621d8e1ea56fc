#include "app/fonts.h"

#include <QStringList>

namespace shopwalk {

namespace {

QFont PixelFont(const QStringList& families, int pixels) {
  QFont font;
  font.setFamilies(families);
  font.setPixelSize(pixels);
  return font;
}

}  // namespace

QFont DefaultGuiFont() {
  return PixelFont(
      {QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("WenQuanYi Zen Hei")}, 12);
}

QFont GroupCaptionFont() {
  QFont font = DefaultGuiFont();
  font.setWeight(QFont::Bold);
  font.setStyleStrategy(QFont::PreferQuality);
  return font;
}

QFont AddressLabelFont() {
  QFont font = PixelFont({QStringLiteral("WenQuanYi Zen Hei Mono")}, 12);
  font.setStyleHint(QFont::Monospace);
  return font;
}

}  // namespace shopwalk
