#include "app/pictures.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace shopwalk {

namespace {

const QColor Navy(0x1d, 0x3f, 0x72);
const QColor Sky(0x4f, 0x9d, 0xe8);
const QColor Awning(0xe8, 0x4a, 0x3c);

// A small shop front in a box of the given size at (0, 0): a striped awning over a white front
// with a door.
void DrawShop(QPainter& painter, qreal size) {
  const qreal u = size / 32.0;
  painter.setPen(Qt::NoPen);
  painter.setBrush(Qt::white);
  painter.drawRect(QRectF(6 * u, 14 * u, 20 * u, 13 * u));
  for (int i = 0; i < 5; ++i) {
    painter.setBrush(i % 2 == 0 ? Awning : QColor(Qt::white));
    QPainterPath stripe;
    stripe.moveTo((5 + 4.4 * i) * u, 7 * u);
    stripe.lineTo((5 + 4.4 * (i + 1)) * u, 7 * u);
    stripe.lineTo((5 + 4.4 * (i + 1)) * u, 13 * u);
    stripe.arcTo(QRectF((5 + 4.4 * i) * u, 11 * u, 4.4 * u, 4 * u), 0, -180);
    stripe.closeSubpath();
    painter.drawPath(stripe);
  }
  painter.setBrush(Sky);
  painter.drawRect(QRectF(14 * u, 19 * u, 5 * u, 8 * u));
  painter.drawRect(QRectF(8.5 * u, 18 * u, 4 * u, 4 * u));
  painter.drawRect(QRectF(20.5 * u, 18 * u, 4 * u, 4 * u));
}

}  // namespace

QImage MakeIconImage() {
  QImage image(IconSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient background(0, 0, 0, 32);
  background.setColorAt(0, Sky);
  background.setColorAt(1, Navy);
  painter.setPen(Qt::NoPen);
  painter.setBrush(background);
  painter.drawRoundedRect(QRectF(0.5, 0.5, 31, 31), 6, 6);
  DrawShop(painter, 32);
  return image;
}

QImage MakeLogoImage() {
  QImage image(LogoSize, QImage::Format_RGB32);
  image.fill(Navy);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);

  painter.save();
  painter.translate(10, 10);
  painter.setPen(Qt::NoPen);
  painter.setBrush(Sky.darker(130));
  painter.drawRoundedRect(QRectF(0, 0, 56, 56), 10, 10);
  DrawShop(painter, 56);
  painter.restore();

  QFont name;
  name.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("WenQuanYi Zen Hei")});
  name.setPixelSize(30);
  name.setWeight(QFont::Bold);
  painter.setFont(name);
  painter.setPen(Qt::white);
  painter.drawText(QRect(76, 4, 160, 44), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("shopwalk"));

  QFont tagline;
  tagline.setFamilies({QStringLiteral("WenQuanYi Zen Hei")});
  tagline.setPixelSize(15);
  painter.setFont(tagline);
  painter.setPen(Sky.lighter(130));
  painter.drawText(QRect(78, 46, 160, 22), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("店铺采集  ·  逐号寻店"));
  return image;
}

PictureBox::PictureBox(const QImage& picture, QWidget* parent)
    : QWidget(parent), picture_(picture) {}

void PictureBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect inside = rect().adjusted(1, 1, -1, -1);
  if (!picture_.isNull()) {
    painter.fillRect(inside, picture_.pixelColor(0, 0));
    QSize fitted = picture_.size().scaled(inside.size(), Qt::KeepAspectRatio);
    QRect target(QPoint(0, 0), fitted);
    target.moveCenter(inside.center());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, picture_);
  }
  painter.setPen(Qt::black);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace shopwalk
