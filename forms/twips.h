#pragma once
// Window layouts are stored in twips: 1440 to the inch, 15 to the pixel at 96 DPI. They were
// made for an 8-point dialog font (about 6 pixels per average character at 96 DPI); where the
// toolkit's default font is larger, every twip figure is scaled by one factor so nothing clips.
#include <QRect>
#include <QSize>

class QFont;

namespace kvor::forms {

// Pixels per twip after scaling for the default font (1/15 at the design font).
double PixelsPerTwip();
// The scale factor relative to the design font (1.0 or more).
double FontScale();
// Recomputes the factor for a font (tests; the application font otherwise).
void SetLayoutFont(const QFont& font);

int Px(double twips);
double TwipsOf(int pixels);
QRect TwipRect(int left, int top, int width, int height);
QSize TwipSize(int width, int height);

}  // namespace kvor::forms
