#include "platform/display.h"

#include <wayland-client.h>
#include <xcb/xcb.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <string>
#include <thread>

namespace kvor::platform {

namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// As the toolkit connects: DISPLAY and XAUTHORITY from the environment. A server that refuses
// the connection (no authorization) or closes it leaves an error on it.
bool XServerAccepts() {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  const bool accepted = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return accepted;
}

// A socket that takes the connection is not yet a compositor: one round trip shows it answers.
bool CompositorAnswers() {
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return false;
  const bool answers = wl_display_roundtrip(display) >= 0;
  wl_display_disconnect(display);
  return answers;
}

// Runs `probe` on a thread of its own. A probe that never returns is left to itself: the
// program ends without a display, and the thread with it.
std::future<bool> Probe(bool (*probe)()) {
  std::packaged_task<bool()> task(probe);
  std::future<bool> answer = task.get_future();
  std::thread(std::move(task)).detach();
  return answer;
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

bool AnsweredTrue(std::future<bool>& answer, std::chrono::steady_clock::time_point deadline) {
  return answer.valid() && answer.wait_until(deadline) == std::future_status::ready && answer.get();
}

}  // namespace

bool HasDisplay(std::chrono::milliseconds wait) {
  std::string platform = IsSet("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
  platform = platform.substr(0, platform.find_first_of(";:"));
  const bool xOnly = platform == "xcb";
  const bool waylandOnly = platform.rfind("wayland", 0) == 0;
  if (!platform.empty() && !xOnly && !waylandOnly) return true;

  const auto deadline = std::chrono::steady_clock::now() + wait;
  bool compositor = false, server = false;
  {
    const QuietStderr quiet;
    // Both asked at once, so a silent one does not use up the other's time.
    std::future<bool> wayland, x;
    if (waylandOnly || (!xOnly && IsSet("WAYLAND_DISPLAY"))) wayland = Probe(CompositorAnswers);
    if (!waylandOnly) x = Probe(XServerAccepts);
    compositor = AnsweredTrue(wayland, deadline);
    // A compositor that answers is taken first, as the toolkit takes it.
    if (!compositor) server = AnsweredTrue(x, deadline);
  }
  if (waylandOnly) return compositor;
  if (xOnly) return server;
  if (!compositor) ::unsetenv("WAYLAND_DISPLAY");
  return compositor || server;
}

}  // namespace kvor::platform
