#include "forms/twips.h"

#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>

#include <algorithm>
#include <cmath>
#include <optional>

namespace kvor::forms {
namespace {

// The layouts were made for an 8-point dialog font whose dialog base units at 96 DPI are
// 6 pixels per average character and 13 pixels per line.
constexpr double kDesignCharWidth = 6.0;
constexpr double kDesignLineHeight = 13.0;
constexpr double kTwipsPerPixel = 15.0;

std::optional<double> gScale;

double ScaleFor(const QFont& font) {
  // The average character as dialog units measure it: the width of the alphabet over 52.
  static const QString kAlphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  const QFontMetricsF metrics(font);
  const double charWidth = metrics.horizontalAdvance(kAlphabet) / kAlphabet.size();
  const double lineHeight = metrics.height();
  return std::max({1.0, charWidth / kDesignCharWidth, lineHeight / kDesignLineHeight});
}

}  // namespace

double FontScale() {
  if (!gScale) {
    // Font metrics need a GUI application; without one the layouts stay at design size.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return 1.0;
    gScale = ScaleFor(QGuiApplication::font());
  }
  return *gScale;
}

void SetLayoutFont(const QFont& font) { gScale = ScaleFor(font); }

double PixelsPerTwip() { return FontScale() / kTwipsPerPixel; }

int Px(double twips) { return static_cast<int>(std::lround(twips * PixelsPerTwip())); }

double TwipsOf(int pixels) { return pixels / PixelsPerTwip(); }

QRect TwipRect(int left, int top, int width, int height) {
  return QRect(Px(left), Px(top), Px(width), Px(height));
}

QSize TwipSize(int width, int height) { return QSize(Px(width), Px(height)); }

}  // namespace kvor::forms
