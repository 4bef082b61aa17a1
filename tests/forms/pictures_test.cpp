#include "forms/pictures.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QSet>
#include <QString>

#include "platform/nodestore.h"

namespace kvor::forms {
namespace {

using platform::Picture;

constexpr QRgb kBlack = 0xFF000000, kGreen = 0xFF008000, kSilver = 0xFFC0C0C0, kRed = 0xFFFF0000,
               kYellow = 0xFFFFFF00, kWhite = 0xFFFFFFFF;

const QSet<QRgb>& Palette() {
  static const QSet<QRgb> palette = {0xFF000000, 0xFF800000, 0xFF008000, 0xFF808000, 0xFF000080, 0xFF800080,
                                     0xFF008080, 0xFFC0C0C0, 0xFF808080, 0xFFFF0000, 0xFF00FF00, 0xFFFFFF00,
                                     0xFF0000FF, 0xFFFF00FF, 0xFF00FFFF, 0xFFFFFFFF};
  return palette;
}

QImage Argb(const QPixmap& pixmap) { return pixmap.toImage().convertToFormat(QImage::Format_ARGB32); }

// The drawn file, read as it stands, without the mask the program applies.
QImage Source(const char* name) {
  return QImage(QStringLiteral(KVOR_PICTURES_DIR "/") + QLatin1String(name) + QStringLiteral(".xpm"))
      .convertToFormat(QImage::Format_ARGB32);
}

// Every pixel is fully transparent or one of the 16 palette colours, fully opaque.
void ExpectPaletteOnly(const QImage& image, const char* what) {
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QRgb pixel = image.pixel(x, y);
      if (qAlpha(pixel) == 0) continue;
      ASSERT_TRUE(Palette().contains(pixel))
          << what << " (" << x << "," << y << ") has #" << std::hex << pixel;
    }
}

bool Contains(const QImage& image, QRgb colour) {
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) == colour) return true;
  return false;
}

struct TreeCase {
  Picture picture;
  const char* key;
};
constexpr TreeCase kTree[] = {{Picture::Open, "open"},
                              {Picture::Closed, "closed"},
                              {Picture::HOpen, "hopen"},
                              {Picture::HClosed, "hclosed"},
                              {Picture::XClosed, "xclosed"}};

TEST(TreePictures, KeysInImageListOrder) {
  for (std::size_t i = 0; i < std::size(kTree); ++i) {
    EXPECT_EQ(static_cast<int>(platform::PictureByKey(kTree[i].key)), static_cast<int>(i) + 1) << kTree[i].key;
    EXPECT_EQ(platform::PictureKey(kTree[i].picture), kTree[i].key);
  }
  EXPECT_EQ(platform::PictureByKey("Open"), Picture::None);
  EXPECT_TRUE(TreePicture(Picture::None).isNull());
}

TEST(TreePictures, ThirteenSquareWithWhiteMasked) {
  for (const auto& c : kTree) {
    SCOPED_TRACE(c.key);
    const QImage shown = Argb(TreePicture(c.picture));
    const QImage drawn = Source(c.key);
    ASSERT_EQ(shown.size(), QSize(13, 13));
    ASSERT_EQ(drawn.size(), QSize(13, 13));
    ExpectPaletteOnly(drawn, c.key);
    for (int y = 0; y < 13; ++y)
      for (int x = 0; x < 13; ++x) {
        const QRgb source = drawn.pixel(x, y);
        ASSERT_EQ(qAlpha(source), 255) << "the mask colour, not transparency, marks the background";
        if (source == kWhite)
          EXPECT_EQ(qAlpha(shown.pixel(x, y)), 0) << x << "," << y;
        else
          EXPECT_EQ(shown.pixel(x, y), source) << x << "," << y;
      }
  }
}

TEST(TreePictures, ColoursTellTheKindOfDirectory) {
  for (const auto& c : kTree) {
    SCOPED_TRACE(c.key);
    const QImage image = Source(c.key);
    const bool hidden = c.picture == Picture::HOpen || c.picture == Picture::HClosed;
    EXPECT_EQ(Contains(image, kGreen), hidden);
    EXPECT_EQ(Contains(image, kYellow), !hidden);
    EXPECT_TRUE(Contains(image, kBlack)) << "outline";
    EXPECT_TRUE(Contains(image, kSilver));
    EXPECT_EQ(Contains(image, kRed), c.picture == Picture::XClosed);
  }
}

TEST(TreePictures, HiddenFoldersAreTheOrdinaryOnesInGreen) {
  const auto recolour = [](QImage image) {
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x)
        if (image.pixel(x, y) == kYellow) image.setPixel(x, y, kGreen);
    return image;
  };
  EXPECT_EQ(recolour(Source("open")), Source("hopen"));
  EXPECT_EQ(recolour(Source("closed")), Source("hclosed"));
  EXPECT_NE(Source("open"), Source("closed"));
}

TEST(TreePictures, CrossReachesTheCorners) {
  const QImage image = Source("xclosed");
  for (const QPoint corner : {QPoint(0, 0), QPoint(12, 0), QPoint(0, 12), QPoint(12, 12)})
    EXPECT_EQ(image.pixel(corner), kRed) << corner.x() << "," << corner.y();
  EXPECT_EQ(image.pixel(6, 6), kRed);
}

TEST(TreePictures, SelectedModeShowsTheSelectedImage) {
  const QIcon icon = TreeIcon(Picture::Closed, Picture::Open);
  const QImage normal = Argb(icon.pixmap(QSize(13, 13), QIcon::Normal));
  const QImage selected = Argb(icon.pixmap(QSize(13, 13), QIcon::Selected));
  EXPECT_EQ(normal, Argb(TreePicture(Picture::Closed)));
  EXPECT_EQ(selected, Argb(TreePicture(Picture::Open)));

  const QIcon aborted = TreeIcon(Picture::XClosed, Picture::XClosed);
  EXPECT_EQ(Argb(aborted.pixmap(QSize(13, 13), QIcon::Selected)), Argb(TreePicture(Picture::XClosed)));
}

TEST(Icons, SizesAndPalette) {
  struct IconCase {
    const char* name;
    QIcon icon;
  };
  const IconCase icons[] = {{"app", AppIcon()}, {"face", WaitIcon()}, {"tick", TickIcon()}};
  for (const auto& c : icons) {
    SCOPED_TRACE(c.name);
    const auto sizes = c.icon.availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(32, 32)));
    EXPECT_TRUE(sizes.contains(QSize(16, 16)));
    for (int side : {16, 32}) {
      const QImage image = Argb(c.icon.pixmap(QSize(side, side)));
      ASSERT_EQ(image.size(), QSize(side, side));
      ExpectPaletteOnly(image, c.name);
      for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) ASSERT_TRUE(qAlpha(image.pixel(x, y)) == 0 || qAlpha(image.pixel(x, y)) == 255);
      EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << "transparent corner";
      EXPECT_TRUE(Contains(image, kBlack));
    }
  }
  EXPECT_EQ(AppPicture().size(), QSize(32, 32));
  EXPECT_EQ(ClockPicture().size(), QSize(32, 32));
  ExpectPaletteOnly(Argb(ClockPicture()), "clock");
}

TEST(Icons, ColoursMatchTheirDescriptions) {
  const QImage app = Argb(AppPicture());
  EXPECT_TRUE(Contains(app, kWhite) && Contains(app, kSilver) && Contains(app, 0xFF808080));
  const QImage face = Argb(WaitIcon().pixmap(QSize(32, 32)));
  EXPECT_EQ(face.pixel(16, 8), kYellow);
  const QImage clock = Argb(ClockPicture());
  EXPECT_TRUE(Contains(clock, kRed)) << "second hand";
  EXPECT_EQ(clock.pixel(16, 1), kBlack) << "rim";
  EXPECT_EQ(clock.pixel(15, 15), kBlack) << "hands meet at the centre";
  const QImage tick = Argb(TickIcon().pixmap(QSize(16, 16)));
  EXPECT_FALSE(Contains(tick, kWhite)) << "a tick on a transparent background";
}

}  // namespace
}  // namespace kvor::forms
