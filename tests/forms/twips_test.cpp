#include "forms/twips.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>
#include <QFontMetricsF>

namespace kvor::forms {
namespace {

QFont FontOfPixels(int pixels) {
  QFont font = QApplication::font();
  font.setPixelSize(pixels);
  return font;
}

class Twips : public ::testing::Test {
 protected:
  void TearDown() override { SetLayoutFont(QApplication::font()); }
};

TEST_F(Twips, DesignFontMapsFifteenTwipsToAPixel) {
  SetLayoutFont(FontOfPixels(8));  // no larger than the 8-point dialog font the layouts assume
  EXPECT_DOUBLE_EQ(FontScale(), 1.0);
  EXPECT_DOUBLE_EQ(PixelsPerTwip(), 1.0 / 15.0);
  EXPECT_EQ(Px(15), 1);
  EXPECT_EQ(Px(4335), 289);
  EXPECT_EQ(Px(0), 0);
  EXPECT_EQ(Px(7), 0);
  EXPECT_EQ(Px(8), 1);
  EXPECT_DOUBLE_EQ(TwipsOf(289), 4335.0);
  EXPECT_EQ(TwipRect(2910, 2250, 4335, 3675), QRect(194, 150, 289, 245));
  EXPECT_EQ(TwipSize(3150, 1620), QSize(210, 108));
}

TEST_F(Twips, LargerFontScalesEveryFigureByOneFactor) {
  SetLayoutFont(FontOfPixels(8));
  const QRect design = TwipRect(180, 1560, 4020, 1950);
  SetLayoutFont(FontOfPixels(24));
  const double scale = FontScale();
  ASSERT_GT(scale, 1.5);
  EXPECT_DOUBLE_EQ(PixelsPerTwip(), scale / 15.0);
  const QRect scaled = TwipRect(180, 1560, 4020, 1950);
  EXPECT_NEAR(scaled.left(), design.left() * scale, 1.0);
  EXPECT_NEAR(scaled.top(), design.top() * scale, 1.0);
  EXPECT_NEAR(scaled.width(), design.width() * scale, 1.0);
  EXPECT_NEAR(scaled.height(), design.height() * scale, 1.0);
  EXPECT_NEAR(TwipsOf(Px(4335)), 4335.0, 15.0 / scale);

  SetLayoutFont(FontOfPixels(8));
  EXPECT_DOUBLE_EQ(FontScale(), 1.0) << "a later font replaces the factor";
}

TEST_F(Twips, FixedTextsFitTheirLabelsAtAnyFont) {
  struct Label {
    const char* text;
    int width;
    int height;
  };
  // The longest fixed texts of the windows, with their stored sizes.
  const Label labels[] = {
      {"Please wait while the program reads the drive.", 3465, 255},
      {"Used space found by adding up file sizes in all directories:", 4275, 255},
      {"Used space in file system:", 2085, 255},
      {"Difference:", 1035, 255},
      {"Files found on disk:", 1545, 255},
      {"Directories on disk:", 1545, 255},
      {"Select disk to analyze", 2175, 255},
      {"Used:", 516, 0},
      {"Free:", 552, 0},
      {"Total:", 516, 0},
  };
  QList<QFont> fonts = {QApplication::font()};
  for (int pixels : {9, 11, 12, 13, 16, 20, 26}) fonts.append(FontOfPixels(pixels));
  for (const QFont& font : fonts) {
    SetLayoutFont(font);
    const QFontMetricsF metrics(font);
    for (const Label& label : labels) {
      SCOPED_TRACE(testing::Message() << label.text << " at " << font.pixelSize() << "px/" << font.pointSizeF() << "pt");
      EXPECT_LE(metrics.horizontalAdvance(QString::fromLatin1(label.text)), Px(label.width));
      if (label.height) {
        EXPECT_LE(metrics.height(), Px(label.height));
      }
    }
  }
}

TEST_F(Twips, DefaultsToTheApplicationFont) {
  SetLayoutFont(FontOfPixels(30));
  const double big = FontScale();
  SetLayoutFont(QApplication::font());
  EXPECT_LT(FontScale(), big);
  EXPECT_GE(FontScale(), 1.0);
}

}  // namespace
}  // namespace kvor::forms
