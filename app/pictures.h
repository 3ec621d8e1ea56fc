// The program's own pictures, drawn at run time: the 32 x 32 window icon and the 240 x 76 logo,
// and the bordered picture box that shows the logo.
#pragma once

#include <QImage>
#include <QWidget>

namespace shopwalk {

inline constexpr QSize IconSize(32, 32);
inline constexpr QSize LogoSize(240, 76);

QImage MakeIconImage();
QImage MakeLogoImage();

// A picture box with a one-pixel border. The picture is scaled down to fit inside the border,
// keeping its proportions, centred on the picture's own background colour.
class PictureBox : public QWidget {
  Q_OBJECT
 public:
  explicit PictureBox(const QImage& picture, QWidget* parent = nullptr);
  const QImage& Picture() const { return picture_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage picture_;
};

}  // namespace shopwalk
