// The drawn pictures as the windows get them, and the twip layout's scale for larger fonts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetricsF>
#include <QImage>
#include <QSet>

#include "forms/pictures.h"
#include "forms/twips.h"

namespace kvor::forms {
namespace {

using platform::Picture;

const QSet<QRgb> kPalette = {0xFF000000, 0xFF800000, 0xFF008000, 0xFF808000, 0xFF000080, 0xFF800080,
                             0xFF008080, 0xFFC0C0C0, 0xFF808080, 0xFFFF0000, 0xFF00FF00, 0xFFFFFF00,
                             0xFF0000FF, 0xFFFF00FF, 0xFF00FFFF, 0xFFFFFFFF};

// Every colour that is not fully transparent (half-transparent pixels fall outside the palette).
QSet<QRgb> Colours(const QPixmap& pixmap) {
  const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
  QSet<QRgb> colours;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (qAlpha(image.pixel(x, y)) != 0) colours.insert(image.pixel(x, y));
  return colours;
}

// Each tree picture at 13 x 13, also on a scaled screen, white made transparent; green marks
// the hidden folders, red the cross of the cancelled scan.
TEST(Pictures, TreePicturesIconsAndLabelPictures) {
  for (const Picture picture : {Picture::Open, Picture::Closed, Picture::HOpen, Picture::HClosed, Picture::XClosed})
    for (const int ratio : {1, 2}) {
      const QPixmap shown = TreeIcon(picture, picture).pixmap(QSize(13, 13), ratio);
      const QSet<QRgb> colours = Colours(shown);
      EXPECT_EQ(shown.size(), QSize(13, 13) * ratio);
      EXPECT_EQ(shown.deviceIndependentSize(), QSizeF(13, 13));
      EXPECT_TRUE(kPalette.contains(colours) && !colours.contains(0xFFFFFFFF));
      EXPECT_EQ(colours.contains(0xFF008000), picture == Picture::HOpen || picture == Picture::HClosed);
      EXPECT_EQ(colours.contains(0xFFFF0000), picture == Picture::XClosed);
      EXPECT_EQ(qAlpha(shown.toImage().pixel(0, 0)), picture == Picture::XClosed ? 255 : 0);
    }
  EXPECT_TRUE(TreePicture(Picture::None).isNull());
  // Icons hold three drawings; a label's 32 x 32 picture is the double drawing on a scaled screen.
  for (const QIcon& icon : {AppIcon(), WaitIcon(), TickIcon()})
    for (const int side : {16, 32, 64}) {
      EXPECT_TRUE(icon.availableSizes().contains(QSize(side, side)));
      EXPECT_TRUE(kPalette.contains(Colours(icon.pixmap(QSize(side, side)))));
      EXPECT_EQ(qAlpha(icon.pixmap(QSize(side, side)).toImage().pixel(0, 0)), 0);
    }
  for (const auto& picture : {AppPicture, ClockPicture})
    for (const int ratio : {1, 2}) {
      EXPECT_EQ(picture(ratio).size(), QSize(32, 32) * ratio);
      EXPECT_TRUE(kPalette.contains(Colours(picture(ratio))) && Colours(picture(ratio)).contains(0xFFFFFFFF));
    }
}

// No larger than the 8-point dialog font, fifteen twips make a pixel; a larger font scales
// every figure by one factor, so the longest fixed texts still fit their stored widths.
TEST(Twips, LargerFontsScaleTheLayoutByOneFactor) {
  QFont font = QApplication::font();
  for (const int pixels : {8, 9, 12, 16, 26}) {
    font.setPixelSize(pixels);
    SetLayoutFont(font);
    EXPECT_TRUE(pixels == 8 ? FontScale() == 1.0 : pixels < 26 || FontScale() > 1.5) << pixels;
    if (pixels == 8) EXPECT_TRUE(Px(7) == 0 && Px(8) == 1 && TwipRect(2910, 2250, 4335, 3675) == QRect(194, 150, 289, 245));
    EXPECT_NEAR(Px(4020), 4020 / 15.0 * FontScale(), 0.5);
    EXPECT_NEAR(TwipsOf(Px(4335)), 4335.0, 15.0 / FontScale());
    const QFontMetricsF metrics(font);
    EXPECT_LE(metrics.height(), Px(255));
    EXPECT_LE(metrics.horizontalAdvance("Used space found by adding up file sizes in all directories:"), Px(4275));
    EXPECT_LE(metrics.horizontalAdvance("Please wait while the program reads the drive."), Px(3465));
  }
  SetLayoutFont(QApplication::font());
}

}  // namespace
}  // namespace kvor::forms
