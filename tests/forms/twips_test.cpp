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

TEST(Twips, DesignFontMapsFifteenTwipsToAPixelAndLargerFontsScaleByOneFactor) {
  SetLayoutFont(FontOfPixels(8));  // no larger than the 8-point dialog font the layouts assume
  EXPECT_DOUBLE_EQ(FontScale(), 1.0);
  EXPECT_EQ(Px(7), 0);
  EXPECT_EQ(Px(8), 1);
  EXPECT_EQ(TwipRect(2910, 2250, 4335, 3675), QRect(194, 150, 289, 245));

  SetLayoutFont(FontOfPixels(24));
  const double scale = FontScale();
  ASSERT_GT(scale, 1.5);
  for (int twips : {180, 1560, 1950, 4020}) EXPECT_NEAR(Px(twips), twips / 15.0 * scale, 0.5) << twips;
  EXPECT_NEAR(TwipsOf(Px(4335)), 4335.0, 15.0 / scale);

  SetLayoutFont(FontOfPixels(8));
  EXPECT_DOUBLE_EQ(FontScale(), 1.0) << "a later font replaces the factor";
}

TEST(Twips, FixedTextsFitTheirLabelsAtAnyFont) {
  // The longest fixed texts of the windows, with their stored widths.
  const std::pair<const char*, int> labels[] = {
      {"Please wait while the program reads the drive.", 3465},
      {"Used space found by adding up file sizes in all directories:", 4275},
      {"Used space in file system:", 2085}, {"Difference:", 1035}, {"Files found on disk:", 1545},
      {"Directories on disk:", 1545},       {"Select disk to analyze", 2175}, {"Used:", 516},
      {"Free:", 552},                       {"Total:", 516}};
  QList<QFont> fonts = {QApplication::font()};
  for (int pixels : {9, 11, 12, 13, 16, 20, 26}) fonts.append(FontOfPixels(pixels));
  for (const QFont& font : fonts) {
    SetLayoutFont(font);
    const QFontMetricsF metrics(font);
    SCOPED_TRACE(testing::Message() << font.pixelSize() << "px/" << font.pointSizeF() << "pt");
    EXPECT_LE(metrics.height(), Px(255));  // the one-line labels of the dialogs
    for (const auto& [text, width] : labels)
      EXPECT_LE(metrics.horizontalAdvance(QString::fromLatin1(text)), Px(width)) << text;
  }
  SetLayoutFont(QApplication::font());
}

}  // namespace
}  // namespace kvor::forms
