// Korvane: shows where the space on a local disk goes.
#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/app.h"
#include "app/startup.h"
#include "forms/pictures.h"
#include "forms/version.h"
#include "mainwin/frmdisksumm.h"
#include "platform/display.h"
#include "platform/system.h"

int main(int argc, char** argv) {
  if (const std::optional<int> status = kvor::CommandLine(argc, argv, stdout, stderr)) return *status;
  // The toolkit aborts without a display or without the plugin for it; say what to do instead.
  // A display that does not answer within the wait counts as none.
  const kvor::platform::DisplayCheck display =
      kvor::platform::CheckDisplay(std::chrono::seconds(3), kvor::HasPlatformPlugin);
  if (display != kvor::platform::DisplayCheck::Usable) {
    std::fputs(display == kvor::platform::DisplayCheck::NoWaylandPlugin
                   ? "kvor: no Qt platform plugin for the Wayland display (install qt6-wayland); run kvor-scan for a "
                     "text report\n"
                   : "kvor: no display (no X11 or Wayland session); run kvor-scan for a text report\n",
               stderr);
    // Not `return`: a probe that never answered may still hold a thread.
    std::fflush(stderr);
    std::_Exit(2);
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kvor::forms::kProductName));
  QApplication::setApplicationVersion(QString::fromLatin1(kvor::forms::kVersionText));
  // So the desktop matches the window to its menu entry and icon.
  QGuiApplication::setDesktopFileName(QString::fromLatin1(kvor::forms::kAppId));
  application.setProperty("applicationDescription", QString::fromLatin1(kvor::forms::kDescription));
  QApplication::setWindowIcon(kvor::forms::AppIcon());
  // The program ends only through the exit confirmation (or the drive dialog's Cancel).
  QApplication::setQuitOnLastWindowClosed(false);

  kvor::App app(kvor::platform::LocalSystem());
  app.Form<kvor::frmDiskSumm>().show();
  return QApplication::exec();
}
