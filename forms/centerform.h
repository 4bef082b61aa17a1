#pragma once
// Placing a window in the middle of its screen, by its outer size.
#include <QPointF>
#include <QSizeF>

class QWidget;

namespace kvor::forms {

// Centres a window on its screen by its outer (frame) size; no clamping. Before the window is
// first shown its frame is not known, so it is centred by its own size now and once more by
// its frame when the window system has put one round it.
void CenterForm(QWidget& form);
// Where CenterForm puts a window of outer size `window` on a screen of size `screen`:
// unrounded halves, negative when the window is the larger.
QPointF CenterPosition(const QSizeF& screen, const QSizeF& window);

}  // namespace kvor::forms
