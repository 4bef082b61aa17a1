#include "forms/pictures.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QSet>
#include <QString>

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

TEST(TreePictures, KeysSizesColoursAndWhiteMask) {
  const char* keys[] = {"open", "closed", "hopen", "hclosed", "xclosed"};  // image list order
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(keys[i]);
    const Picture picture = platform::PictureByKey(keys[i]);
    ASSERT_EQ(static_cast<int>(picture), i + 1);
    // The drawn file as it stands: white, not transparency, marks the background.
    const QImage drawn(QStringLiteral(KVOR_PICTURES_DIR "/%1.xpm").arg(QLatin1String(keys[i])));
    ASSERT_EQ(drawn.size(), QSize(13, 13));
    EXPECT_FALSE(drawn.hasAlphaChannel());
    QImage masked = drawn.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < 13; ++y)
      for (int x = 0; x < 13; ++x)
        if (masked.pixel(x, y) == kWhite) masked.setPixel(x, y, 0);
    EXPECT_EQ(TreePicture(picture).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), masked);

    const QSet<QRgb> colours = VisibleColours(drawn);
    EXPECT_TRUE(kPalette.contains(colours));
    const bool hidden = picture == Picture::HOpen || picture == Picture::HClosed;
    EXPECT_EQ(colours.contains(kGreen), hidden);
    EXPECT_EQ(colours.contains(kYellow), !hidden);
    EXPECT_EQ(colours.contains(kRed), picture == Picture::XClosed);
    for (const QPoint p : {QPoint(0, 0), QPoint(12, 0), QPoint(0, 12), QPoint(12, 12), QPoint(6, 6)})
      EXPECT_EQ(drawn.pixel(p) == kRed, picture == Picture::XClosed) << p.x() << "," << p.y();  // the cross
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

TEST(Icons, TwoSizesInThePaletteWithTransparentCorners) {
  const std::pair<const char*, QIcon> icons[] = {{"app", AppIcon()}, {"face", WaitIcon()}, {"tick", TickIcon()}};
  for (const auto& [name, icon] : icons)
    for (int side : {16, 32}) {
      SCOPED_TRACE(testing::Message() << name << " " << side);
      EXPECT_TRUE(icon.availableSizes().contains(QSize(side, side)));
      const QImage image = Argb(icon.pixmap(QSize(side, side)));
      EXPECT_TRUE(kPalette.contains(VisibleColours(image)));
      EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
    }
  EXPECT_EQ(AppPicture().size(), QSize(32, 32));
  EXPECT_EQ(ClockPicture().size(), QSize(32, 32));
  EXPECT_TRUE(kPalette.contains(VisibleColours(Argb(ClockPicture()))));
}

}  // namespace
}  // namespace kvor::forms
