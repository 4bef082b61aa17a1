#pragma once
// The program's pictures, drawn by us as 16-colour XPM images and compiled in.
#include <QIcon>
#include <QPixmap>

#include <cstdint>

namespace kvor::forms {

// The tree's pictures, in the image list's order; last, a folder that cannot be read.
enum class Picture : uint8_t { None = 0, Open = 1, Closed = 2, HOpen = 3, HClosed = 4, XClosed = 5, UClosed = 6 };

// A 13 x 13 tree picture, its white transparent; a null pixmap for Picture::None.
QPixmap TreePicture(Picture picture);
// An icon whose Normal mode is `image` and Selected mode is `selectedImage`, 13 x 13 and,
// for scaled screens, 26 x 26.
QIcon TreeIcon(Picture image, Picture selectedImage);

// Icons hold 16, 32 and 64 pixel drawings. The 32 x 32 pictures are drawn at double
// resolution (device pixel ratio 2) when `ratio`, by default the application's, is above 1.
QIcon AppIcon();                         // disk drive
QPixmap AppPicture(qreal ratio = 0);     // disk drive (the about box)
QIcon WaitIcon();                        // waiting face
QPixmap ClockPicture(qreal ratio = 0);   // clock (the progress dialog)
QIcon TickIcon();                        // tick mark (the analysis report)

}  // namespace kvor::forms
