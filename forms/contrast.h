#pragma once
// Text that can be read: contrast as WCAG measures it, and colours moved until text reaches it.
#include <QColor>

namespace kvor::forms {

// The contrast ratio of two colours, from 1 (the same) to 21 (black and white).
double ContrastRatio(const QColor& a, const QColor& b);

// `colour`, moved towards `towards` only as far as it takes to stand 4.5:1 against `other`;
// `towards` itself where even that falls short.
QColor Readable(const QColor& colour, const QColor& towards, const QColor& other);

}  // namespace kvor::forms
