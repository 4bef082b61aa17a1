#include "forms/pictures.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QSet>
#include <QString>
#include <string>

#include "platform/nodestore.h"

namespace kvor::forms {
namespace {

using platform::Picture;

constexpr QRgb kGreen = 0xFF008000, kRed = 0xFFFF0000, kYellow = 0xFFFFFF00, kWhite = 0xFFFFFFFF;
const QSet<QRgb> kPalette = {0xFF000000, 0xFF800000, 0xFF008000, 0xFF808000, 0xFF000080, 0xFF800080,
                             0xFF008080, 0xFFC0C0C0, 0xFF808080, 0xFFFF0000, 0xFF00FF00, 0xFFFFFF00,
                             0xFF0000FF, 0xFFFF00FF, 0xFF00FFFF, 0xFFFFFFFF};

QImage Argb(const QPixmap& pixmap) { return pixmap.toImage().convertToFormat(QImage::Format_ARGB32); }

// Every colour that is not fully transparent; half-transparent pixels fall outside the palette.
QSet<QRgb> VisibleColours(const QImage& image) {
  QSet<QRgb> colours;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (qAlpha(image.pixel(x, y)) != 0) colours.insert(image.pixel(x, y));
  return colours;
}

QImage WhiteMasked(const QImage& drawn) {
  QImage masked = drawn.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  for (int y = 0; y < masked.height(); ++y)
    for (int x = 0; x < masked.width(); ++x)
      if (masked.pixel(x, y) == kWhite) masked.setPixel(x, y, 0);
  return masked;
}

// Each picture as drawn at 13 x 13 and at double resolution, and as the tree gets it from its
// icon on a plain and on a scaled screen: 13 logical pixels, never scaled up.
TEST(TreePictures, KeysSizesColoursAndWhiteMaskAtBothResolutions) {
  const char* keys[] = {"open", "closed", "hopen", "hclosed", "xclosed"};  // image list order
  for (int i = 0; i < 5; ++i) {
    const Picture picture = platform::PictureByKey(keys[i]);
    ASSERT_EQ(static_cast<int>(picture), i + 1);
    QImage single;
    for (const int ratio : {1, 2}) {
      SCOPED_TRACE(testing::Message() << keys[i] << " x" << ratio);
      const int side = 13 * ratio;
      // The drawn file as it stands: white, not transparency, marks the background.
      const QImage drawn(QStringLiteral(KVOR_PICTURES_DIR "/%1%2.xpm")
                             .arg(QLatin1String(keys[i]), ratio == 2 ? QStringLiteral("26") : QString()));
      ASSERT_EQ(drawn.size(), QSize(side, side));
      EXPECT_FALSE(drawn.hasAlphaChannel());
      const QPixmap shown = TreeIcon(picture, picture).pixmap(QSize(13, 13), ratio);
      EXPECT_EQ(shown.deviceIndependentSize(), QSizeF(13, 13));
      EXPECT_EQ(shown.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), WhiteMasked(drawn));
      if (ratio == 1) {
        EXPECT_EQ(TreePicture(picture).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
                  WhiteMasked(drawn));
        single = drawn.convertToFormat(QImage::Format_RGB32);
      }

      const QSet<QRgb> colours = VisibleColours(drawn);
      EXPECT_TRUE(kPalette.contains(colours));
      const bool hidden = picture == Picture::HOpen || picture == Picture::HClosed;
      EXPECT_EQ(colours.contains(kGreen), hidden);
      EXPECT_EQ(colours.contains(kYellow), !hidden);
      EXPECT_EQ(colours.contains(kRed), picture == Picture::XClosed);
      const int e = side - 1, m = side / 2;
      for (const QPoint p : {QPoint(0, 0), QPoint(e, 0), QPoint(0, e), QPoint(e, e), QPoint(m, m)})
        EXPECT_EQ(drawn.pixel(p) == kRed, picture == Picture::XClosed) << p.x() << "," << p.y();  // the cross
      // The same design: the outline of a folder lies where the single drawing has it.
      if (ratio == 2 && picture != Picture::XClosed) {
        for (int y = 0; y < side; ++y)
          for (int x = 0; x < side; ++x)
            ASSERT_EQ(qGray(drawn.pixel(x, y)) == 0, qGray(single.pixel(x / 2, y / 2)) == 0) << x << "," << y;
      }
    }
  }
  EXPECT_TRUE(TreePicture(Picture::None).isNull());
}

TEST(TreePictures, SelectedModeShowsTheSelectedImage) {
  const auto shown = [](const QIcon& icon, QIcon::Mode mode) { return Argb(icon.pixmap(QSize(13, 13), mode)); };
  const QIcon icon = TreeIcon(Picture::Closed, Picture::Open);
  EXPECT_EQ(shown(icon, QIcon::Normal), Argb(TreePicture(Picture::Closed)));
  EXPECT_EQ(shown(icon, QIcon::Selected), Argb(TreePicture(Picture::Open)));
  EXPECT_EQ(shown(TreeIcon(Picture::XClosed, Picture::XClosed), QIcon::Selected), Argb(TreePicture(Picture::XClosed)));
}

TEST(Icons, ThreeSizesInThePaletteWithTransparentCorners) {
  const std::pair<const char*, QIcon> icons[] = {{"app", AppIcon()}, {"face", WaitIcon()}, {"tick", TickIcon()}};
  for (const auto& [name, icon] : icons)
    for (int side : {16, 32, 64}) {
      SCOPED_TRACE(testing::Message() << name << " " << side);
      EXPECT_TRUE(icon.availableSizes().contains(QSize(side, side)));
      const QImage image = Argb(icon.pixmap(QSize(side, side)));
      EXPECT_TRUE(kPalette.contains(VisibleColours(image)));
      EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
      EXPECT_TRUE(std::string(name) != "app" || VisibleColours(image).contains(kWhite));  // the raised edge
    }
  // A label's 32 x 32 picture: the double drawing on a scaled screen, same logical size.
  for (const auto& picture : {AppPicture, ClockPicture})
    for (const int ratio : {1, 2}) {
      const QPixmap pixmap = picture(ratio);
      EXPECT_EQ(pixmap.size(), QSize(32, 32) * ratio);
      EXPECT_EQ(pixmap.deviceIndependentSize(), QSizeF(32, 32));
      const QSet<QRgb> colours = VisibleColours(Argb(pixmap));
      EXPECT_TRUE(kPalette.contains(colours));
      EXPECT_TRUE(colours.contains(kWhite));  // only the tree's pictures lose their white
    }
  EXPECT_EQ(AppPicture().size(), QSize(32, 32));  // the test's screen is not scaled
}

}  // namespace
}  // namespace kvor::forms
