#include "platform/display.h"

#include <wayland-client.h>
#include <xcb/xcb.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/detached.h"

namespace kvor::platform {

namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// A server that closes the connection before the client library has written all it sends would
// end the program by SIGPIPE. Blocked on the probe's own thread (which ends after it), the write
// fails instead and the probe reads that as no display.
void NoPipeSignal() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

// As the toolkit connects: DISPLAY and XAUTHORITY from the environment. A server that refuses
// the connection (no authorization) or closes it leaves an error on it.
bool XServerAccepts() {
  NoPipeSignal();
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  const bool accepted = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return accepted;
}

// A socket that takes the connection is not yet a compositor: one round trip shows it answers.
bool CompositorAnswers() {
  NoPipeSignal();
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return false;
  const bool answers = wl_display_roundtrip(display) >= 0;
  wl_display_disconnect(display);
  return answers;
}

// While it lives, what the client libraries write to stderr goes nowhere: libxcb writes a
// server's refusal there itself, libwayland why it cannot connect. The program says it once,
// its own way.
class QuietStderr {
 public:
  QuietStderr() : saved_(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) ::dup2(null, STDERR_FILENO), ::close(null);
  }
  ~QuietStderr() {
    if (saved_ >= 0) ::dup2(saved_, STDERR_FILENO), ::close(saved_);
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved_;
};

// A probe that never returns is left to itself: the program ends without a display, and the
// thread with it. One that cannot be started (no thread) answers no.
bool AnsweredTrue(const detached::Answer<bool>& answer, std::chrono::steady_clock::time_point deadline) {
  return answer.By(deadline).value_or(false);
}

}  // namespace

namespace {

// The names QT_QPA_PLATFORM lists (each without its ":options"), or the toolkit's own order.
std::vector<std::string> Platforms() {
  std::vector<std::string> names;
  if (!IsSet("QT_QPA_PLATFORM")) {
    const char* session = std::getenv("XDG_SESSION_TYPE");
    if (IsSet("WAYLAND_DISPLAY") || (session != nullptr && std::string(session) == "wayland")) names.push_back("wayland");
    names.push_back("xcb");
    return names;
  }
  std::stringstream list(std::getenv("QT_QPA_PLATFORM"));
  for (std::string name; std::getline(list, name, ';');)
    if (!name.empty()) names.push_back(name.substr(0, name.find(':')));
  return names;
}

bool IsWayland(const std::string& name) { return name.rfind("wayland", 0) == 0; }

}  // namespace

DisplayCheck CheckDisplay(std::chrono::milliseconds wait, const HasPlugin& hasPlugin) {
  const bool chosen = IsSet("QT_QPA_PLATFORM");
  const std::vector<std::string> names = Platforms();
  bool askWayland = false, askX = false;
  for (const std::string& name : names) {
    if (IsWayland(name)) askWayland = true;
    else if (name == "xcb") askX = true;
    else return DisplayCheck::Usable;  // offscreen, vnc, ...: the toolkit's to judge
  }
  const auto deadline = std::chrono::steady_clock::now() + wait;
  const QuietStderr quiet;
  // Both asked at once, so a silent one does not use up the other's time; each waited for
  // only when its turn comes.
  const auto probe = [](bool ask, bool (*asks)()) { return ask ? detached::Answer<bool>(asks) : detached::Answer<bool>(); };
  const detached::Answer<bool> wayland = probe(askWayland, CompositorAnswers), x = probe(askX, XServerAccepts);
  std::optional<bool> compositor, server;
  std::string usable;
  bool pluginMissing = false;
  for (const std::string& name : names) {
    std::optional<bool>& answer = IsWayland(name) ? compositor : server;
    if (!answer) answer = AnsweredTrue(IsWayland(name) ? wayland : x, deadline);
    const bool plugin = *answer && hasPlugin(name);
    pluginMissing |= *answer && !plugin && IsWayland(name);
    // The toolkit's own first choice stands as it is.
    if (plugin && name == names.front()) return DisplayCheck::Usable;
    if (plugin) usable += (usable.empty() ? "" : ";") + name;
  }
  if (usable.empty()) return pluginMissing ? DisplayCheck::NoWaylandPlugin : DisplayCheck::NoDisplay;
  // Else the toolkit would try it first, and say there is no plugin or no display for it.
  if (!chosen) ::setenv("QT_QPA_PLATFORM", usable.c_str(), 1);
  return DisplayCheck::Usable;
}

}  // namespace kvor::platform
