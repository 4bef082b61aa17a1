#pragma once
// The program's pictures, drawn by us as 16-colour XPM images and compiled in.
#include <QIcon>
#include <QPixmap>

#include "platform/nodestore.h"

namespace kvor::forms {

// A 13 x 13 tree picture with white made transparent; a null pixmap for Picture::None.
QPixmap TreePicture(platform::Picture picture);
// An icon whose Normal mode is `image` and Selected mode is `selectedImage`.
QIcon TreeIcon(platform::Picture image, platform::Picture selectedImage);

QIcon AppIcon();          // disk drive, 32 x 32 and 16 x 16
QPixmap AppPicture();     // disk drive, 32 x 32 (the about box)
QIcon WaitIcon();         // waiting face
QPixmap ClockPicture();   // clock, 32 x 32 (the progress dialog)
QIcon TickIcon();         // tick mark (the analysis report)

}  // namespace kvor::forms
