// Korvane: shows where the space on a local disk goes.
#include <QApplication>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "forms/pictures.h"
#include "forms/version.h"
#include "mainwin/app.h"
#include "mainwin/frmdisksumm.h"
#include "platform/system.h"

namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// A local X display (":N") answers on its socket, in the file system or the abstract
// namespace; a stale DISPLAY would otherwise end in the toolkit's abort.
bool LocalXServerAnswers(const std::string& display) {
  const std::string number = display.substr(1, display.find('.') - 1);
  const std::string path = "/tmp/.X11-unix/X" + number;
  for (const bool abstract : {false, true}) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // cannot tell: let the toolkit try
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    ::close(fd);
    if (connected) return true;
  }
  return false;
}

bool HasDisplay() {
  if (IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM")) return true;
  if (!IsSet("DISPLAY")) return false;
  const std::string display = std::getenv("DISPLAY");
  return display.front() != ':' || LocalXServerAnswers(display);
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
