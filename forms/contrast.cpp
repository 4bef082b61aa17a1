#include "forms/contrast.h"

#include <algorithm>
#include <cmath>

namespace kvor::forms {

namespace {

double Luminance(const QColor& colour) {
  const auto linear = [](double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
  return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
}

}  // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
  const double la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor Readable(const QColor& colour, const QColor& towards, const QColor& other) {
  const auto mix = [&](int step) {  // in twentieths of the way
    const auto part = [&](int from, int to) { return from + (to - from) * step / 20; };
    return QColor(part(colour.red(), towards.red()), part(colour.green(), towards.green()),
                  part(colour.blue(), towards.blue()));
  };
  int step = 0;
  // A little over 4.5, so rounding in the drawing cannot take it below.
  while (step < 20 && ContrastRatio(mix(step), other) < 4.6) ++step;
  return mix(step);
}

}  // namespace kvor::forms
