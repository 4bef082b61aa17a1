#include "forms/pictures.h"

#include <QBitmap>
#include <QPixmapCache>
#include <QString>

// XPM images are C source; each declares its own array.
#include "pictures/app16.xpm"
#include "pictures/app32.xpm"
#include "pictures/clock32.xpm"
#include "pictures/closed.xpm"
#include "pictures/face16.xpm"
#include "pictures/face32.xpm"
#include "pictures/hclosed.xpm"
#include "pictures/hopen.xpm"
#include "pictures/open.xpm"
#include "pictures/tick16.xpm"
#include "pictures/tick32.xpm"
#include "pictures/xclosed.xpm"

namespace kvor::forms {
namespace {

using Xpm = const char* const*;

Xpm TreeXpm(platform::Picture picture) {
  switch (picture) {
    case platform::Picture::Open: return open_xpm;
    case platform::Picture::Closed: return closed_xpm;
    case platform::Picture::HOpen: return hopen_xpm;
    case platform::Picture::HClosed: return hclosed_xpm;
    case platform::Picture::XClosed: return xclosed_xpm;
    case platform::Picture::None: break;
  }
  return nullptr;
}

// The tree asks for its pictures on every repaint, so they are decoded once and kept in the
// application's pixmap cache, which goes away with the application.
QPixmap Cached(const QString& key, Xpm xpm, bool whiteIsMask) {
  QPixmap pixmap;
  if (QPixmapCache::find(key, &pixmap)) return pixmap;
  pixmap = QPixmap(xpm);
  if (whiteIsMask) pixmap.setMask(pixmap.createMaskFromColor(Qt::white));
  QPixmapCache::insert(key, pixmap);
  return pixmap;
}

QIcon Icon(const QString& name, Xpm large, Xpm small) {
  QIcon icon;
  icon.addPixmap(Cached(name + QStringLiteral("32"), large, false));
  icon.addPixmap(Cached(name + QStringLiteral("16"), small, false));
  return icon;
}

}  // namespace

QPixmap TreePicture(platform::Picture picture) {
  const Xpm xpm = TreeXpm(picture);
  if (!xpm) return QPixmap();
  const auto key = platform::PictureKey(picture);
  return Cached(QStringLiteral("kvor:tree:") + QString::fromLatin1(key.data(), key.size()), xpm, true);
}

QIcon TreeIcon(platform::Picture image, platform::Picture selectedImage) {
  QIcon icon;
  const QPixmap normal = TreePicture(image);
  const QPixmap selected = TreePicture(selectedImage);
  if (!normal.isNull()) icon.addPixmap(normal, QIcon::Normal);
  if (!selected.isNull()) icon.addPixmap(selected, QIcon::Selected);
  return icon;
}

QIcon AppIcon() { return Icon(QStringLiteral("kvor:app"), app32_xpm, app16_xpm); }

QPixmap AppPicture() { return Cached(QStringLiteral("kvor:app32"), app32_xpm, false); }

QIcon WaitIcon() { return Icon(QStringLiteral("kvor:face"), face32_xpm, face16_xpm); }

QPixmap ClockPicture() { return Cached(QStringLiteral("kvor:clock32"), clock32_xpm, false); }

QIcon TickIcon() { return Icon(QStringLiteral("kvor:tick"), tick32_xpm, tick16_xpm); }

}  // namespace kvor::forms
