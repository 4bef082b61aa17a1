// Korvane: shows where the space on a local disk goes.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "forms/pictures.h"
#include "forms/version.h"
#include "mainwin/app.h"
#include "mainwin/frmdisksumm.h"
#include "platform/system.h"

namespace {

bool HasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // The toolkit aborts without a display; say what to do instead.
  if (!HasDisplay()) {
    std::fputs("kvor: no display (no X11 or Wayland session); run kvor-scan for a text report\n",
               stderr);
    return 2;
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kvor::forms::kProductName));
  QApplication::setApplicationVersion(QString::fromLatin1(kvor::forms::kVersionText));
  application.setProperty("applicationDescription", QString::fromLatin1(kvor::forms::kDescription));
  QApplication::setWindowIcon(kvor::forms::AppIcon());
  // The program ends only through the exit confirmation (or the drive dialog's Cancel).
  QApplication::setQuitOnLastWindowClosed(false);

  kvor::App app(kvor::platform::LocalSystem());
  app.Form<kvor::frmDiskSumm>().show();
  return QApplication::exec();
}
