#include "forms/pictures.h"

#include <QGuiApplication>
#include <QPixmapCache>
#include <QImage>
#include <QString>

// XPM images are C source; each declares its own array.
// Each picture is drawn twice, the second time at double resolution for scaled screens.
#include "pictures/app16.xpm"
#include "pictures/app32.xpm"
#include "pictures/app64.xpm"
#include "pictures/clock32.xpm"
#include "pictures/clock64.xpm"
#include "pictures/closed.xpm"
#include "pictures/closed26.xpm"
#include "pictures/face16.xpm"
#include "pictures/face32.xpm"
#include "pictures/face64.xpm"
#include "pictures/hclosed.xpm"
#include "pictures/hclosed26.xpm"
#include "pictures/hopen.xpm"
#include "pictures/hopen26.xpm"
#include "pictures/open.xpm"
#include "pictures/open26.xpm"
#include "pictures/tick16.xpm"
#include "pictures/tick32.xpm"
#include "pictures/tick64.xpm"
#include "pictures/uclosed.xpm"
#include "pictures/uclosed26.xpm"
#include "pictures/xclosed.xpm"
#include "pictures/xclosed26.xpm"

namespace kvor::forms {
namespace {

using Xpm = const char* const*;

Xpm TreeXpm(Picture picture, bool twice) {
  switch (picture) {
    case Picture::Open: return twice ? open26_xpm : open_xpm;
    case Picture::Closed: return twice ? closed26_xpm : closed_xpm;
    case Picture::HOpen: return twice ? hopen26_xpm : hopen_xpm;
    case Picture::HClosed: return twice ? hclosed26_xpm : hclosed_xpm;
    case Picture::XClosed: return twice ? xclosed26_xpm : xclosed_xpm;
    case Picture::UClosed: return twice ? uclosed26_xpm : uclosed_xpm;
    case Picture::None: break;
  }
  return nullptr;
}

// White is the tree pictures' transparent colour: the view's background shows through every
// white pixel, the fill's checkerboard cells too.
QPixmap WithoutWhite(const QPixmap& drawn) {
  QImage image = drawn.toImage().convertToFormat(QImage::Format_ARGB32);
  const QRgb white = qRgb(255, 255, 255);
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) == white) image.setPixel(x, y, qRgba(0, 0, 0, 0));
  return QPixmap::fromImage(image);
}

// The tree asks for its pictures on every repaint, so they are decoded once and kept in the
// application's pixmap cache, which goes away with the application.
QPixmap Cached(const QString& key, Xpm xpm, bool whiteClear) {
  QPixmap pixmap;
  if (QPixmapCache::find(key, &pixmap)) return pixmap;
  pixmap = QPixmap(xpm);
  if (whiteClear) pixmap = WithoutWhite(pixmap);
  QPixmapCache::insert(key, pixmap);
  return pixmap;
}

// The icon picks the drawing whose pixels match the size asked for times the screen's ratio,
// so at scale 2 the 16-pixel place shows the 32 drawing and the 32-pixel place the 64 one.
QIcon Icon(const QString& name, Xpm twice, Xpm large, Xpm small) {
  QIcon icon;
  icon.addPixmap(Cached(name + QStringLiteral("64"), twice, false));
  icon.addPixmap(Cached(name + QStringLiteral("32"), large, false));
  icon.addPixmap(Cached(name + QStringLiteral("16"), small, false));
  return icon;
}

QPixmap TreePixmap(Picture picture, bool twice) {
  const Xpm xpm = TreeXpm(picture, twice);
  if (!xpm) return QPixmap();
  return Cached(QStringLiteral("kvor:tree:") + QString::number(static_cast<int>(picture)) +
                    (twice ? QStringLiteral("@2") : QString()),
                xpm, true);
}

// A 32 x 32 picture for a label: the double drawing where the screens are scaled.
QPixmap Picture32(const QString& name, Xpm large, Xpm twice, qreal ratio) {
  if (ratio <= 0) ratio = qApp->devicePixelRatio();
  if (ratio <= 1) return Cached(name + QStringLiteral("32"), large, false);
  QPixmap pixmap = Cached(name + QStringLiteral("64"), twice, false);
  pixmap.setDevicePixelRatio(2);
  return pixmap;
}

}  // namespace

QPixmap TreePicture(Picture picture) { return TreePixmap(picture, false); }

QIcon TreeIcon(Picture image, Picture selectedImage) {
  QIcon icon;
  for (const bool twice : {false, true}) {
    const QPixmap normal = TreePixmap(image, twice);
    const QPixmap selected = TreePixmap(selectedImage, twice);
    if (!normal.isNull()) icon.addPixmap(normal, QIcon::Normal);
    if (!selected.isNull()) icon.addPixmap(selected, QIcon::Selected);
  }
  return icon;
}

QIcon AppIcon() { return Icon(QStringLiteral("kvor:app"), app64_xpm, app32_xpm, app16_xpm); }

QPixmap AppPicture(qreal ratio) { return Picture32(QStringLiteral("kvor:app"), app32_xpm, app64_xpm, ratio); }

QIcon WaitIcon() { return Icon(QStringLiteral("kvor:face"), face64_xpm, face32_xpm, face16_xpm); }

QPixmap ClockPicture(qreal ratio) {
  return Picture32(QStringLiteral("kvor:clock"), clock32_xpm, clock64_xpm, ratio);
}

QIcon TickIcon() { return Icon(QStringLiteral("kvor:tick"), tick64_xpm, tick32_xpm, tick16_xpm); }

}  // namespace kvor::forms
