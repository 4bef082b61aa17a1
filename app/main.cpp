// Korvane: shows where the space on a local disk goes.
#include <QApplication>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/app.h"
#include "forms/pictures.h"
#include "forms/version.h"
#include "mainwin/frmdisksumm.h"
#include "platform/system.h"

namespace {

// How long the start waits for a display to answer (a name to look up, a remote server).
constexpr auto kAnswerWait = std::chrono::seconds(3);

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Connects to a Unix stream socket (in the abstract namespace when `abstract`); a path that
// does not fit the address is no socket.
bool UnixSocketAnswers(const std::string& path, bool abstract) {
  sockaddr_un address{};
  const std::size_t offset = abstract ? 1 : 0;
  if (path.empty() || offset + path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
  ::close(fd);
  return connected;
}

bool TcpAnswers(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool connected = false;
  for (const addrinfo* a = found; a != nullptr && !connected; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    // Something between may accept any connection (a proxy): only an X server answers the
    // protocol's opening as one. A refusal for want of a cookie still shows a server is there.
    static const unsigned char kSetup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    unsigned char reply[8] = {};
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0 &&
        ::send(fd, kSetup, sizeof kSetup, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof kSetup) &&
        ::recv(fd, reply, sizeof reply, MSG_WAITALL) == static_cast<ssize_t>(sizeof reply))
      connected = reply[0] == 2 || (reply[0] <= 1 && reply[2] == 11 && reply[3] == 0);
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return connected;
}

// An X server named by DISPLAY, "[protocol/][host]:number[.screen]", answers on its socket:
// a local one in the file system or the abstract namespace, a remote one on TCP 6000+number.
bool XServerAnswers(const std::string& display) {
  const auto colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  std::string number = display.substr(colon + 1);
  if (const auto dot = number.find('.'); dot != std::string::npos) {
    if (!AllDigits(number.substr(dot + 1))) return false;
    number.resize(dot);
  }
  if (!AllDigits(number) || number.size() > 5 || std::stoi(number) > 65535 - 6000) return false;
  std::string protocol;
  if (const auto slash = host.find('/'); slash != std::string::npos) {
    protocol = host.substr(0, slash);
    host.erase(0, slash + 1);
  }
  if (!host.empty() && host.back() == ':') return false;  // DECnet, "host::0"
  if ((host.empty() || host == "unix" || protocol == "unix") && protocol != "tcp") {
    const std::string path = "/tmp/.X11-unix/X" + number;
    return UnixSocketAnswers(path, false) || UnixSocketAnswers(path, true);
  }
  return TcpAnswers(host.empty() ? "localhost" : host, 6000 + std::stoi(number));
}

// A Wayland compositor answers on WAYLAND_DISPLAY: a path, or a name in XDG_RUNTIME_DIR.
bool WaylandAnswers(const std::string& name) {
  if (name.front() == '/') return UnixSocketAnswers(name, false);
  if (!IsSet("XDG_RUNTIME_DIR")) return false;
  return UnixSocketAnswers(std::string(std::getenv("XDG_RUNTIME_DIR")) + "/" + name, false);
}

// Whether the toolkit will find a display: the one QT_QPA_PLATFORM names, else a Wayland
// compositor or an X server that answers. A Wayland name that does not answer is dropped so
// the toolkit takes the X server. Asked within kAnswerWait; false if no answer comes by then.
bool HasDisplay() {
  std::string platform = IsSet("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
  platform = platform.substr(0, platform.find_first_of(";:"));
  if (!platform.empty() && platform != "xcb" && platform.rfind("wayland", 0) != 0) return true;
  const std::string wayland = IsSet("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "";
  const std::string x = IsSet("DISPLAY") ? std::getenv("DISPLAY") : "";

  struct Answer {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false, wayland = false, x = false;
  };
  const auto answer = std::make_shared<Answer>();
  std::thread([answer, wayland, x] {
    const bool w = !wayland.empty() && WaylandAnswers(wayland);
    const bool xs = !x.empty() && XServerAnswers(x);
    std::lock_guard lock(answer->mutex);
    answer->wayland = w;
    answer->x = xs;
    answer->done = true;
    answer->cv.notify_all();
  }).detach();
  std::unique_lock lock(answer->mutex);
  if (!answer->cv.wait_for(lock, kAnswerWait, [&] { return answer->done; })) return false;
  if (platform == "xcb") return answer->x;
  if (!platform.empty()) return answer->wayland;
  if (!answer->wayland) ::unsetenv("WAYLAND_DISPLAY");
  return answer->wayland || answer->x;
}

}  // namespace

int main(int argc, char** argv) {
  // The toolkit aborts without a display; say what to do instead.
  if (!HasDisplay()) {
    std::fputs("kvor: no display (no X11 or Wayland session); run kvor-scan for a text report\n",
               stderr);
    // Not `return`: a look-up that never answered may still hold a thread.
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
