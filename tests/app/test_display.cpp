// Bad display settings in the environment, and displays that cannot be used: one line on stderr
// and status 2, never a crash or the toolkit's abort.
#include <gtest/gtest.h>
#include <wayland-server-core.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/display.h"
#include "tempdrive.h"

namespace {

// An X server that does one thing with every connection, on the abstract socket where a client
// looks first for display ":n".
class FakeXServer {
 public:
  enum class Does { RefuseAuthorization, Close, NothingAtAll };

  explicit FakeXServer(Does does) : does_(does) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    for (int n = 4000 + ::getpid() % 20000; display.empty(); ++n) {
      const std::string name = "/tmp/.X11-unix/X" + std::to_string(n);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::memcpy(address.sun_path + 1, name.data(), name.size());
      const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
      if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0) display = ":" + std::to_string(n);
    }
    ::listen(listener_, 8);
    if (::pipe2(stop_, O_CLOEXEC) != 0) std::abort();
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeXServer() {
    ::close(stop_[1]);
    thread_.join();
    for (const int fd : {listener_, stop_[0]}) ::close(fd);
  }

  std::string display;
  std::atomic<int> connections = 0;

 private:
  void Serve() {
    std::vector<int> held;
    for (pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}}; ::poll(fds, 2, -1) >= 0 && !fds[1].revents;) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      ++connections;
      if (does_ == Does::RefuseAuthorization) Refuse(client);
      if (does_ == Does::NothingAtAll) held.push_back(client);
      else ::close(client);
    }
    for (const int fd : held) ::close(fd);
  }
  // Reads the client's opening and answers as a server that wants a cookie the client does not have: failed,
  // protocol 11.0, the reason padded to four bytes, in the byte order the client chose.
  static void Refuse(int client) {
    unsigned char opening[12];  // byte order, version, the lengths of the authorization's name and data
    if (::recv(client, opening, sizeof opening, MSG_WAITALL) != sizeof opening) return;
    const bool little = opening[0] == 'l';
    const auto field = [&](int at) { return little ? opening[at] | opening[at + 1] << 8 : opening[at] << 8 | opening[at + 1]; };
    std::string rest(((field(6) + 3) & ~3) + ((field(8) + 3) & ~3), '\0');
    if (!rest.empty() && ::recv(client, rest.data(), rest.size(), MSG_WAITALL) != ssize_t(rest.size())) return;
    std::string reason = "Authorization required, but no authorization protocol specified\n";
    const char length = char(reason.size());
    reason.resize((reason.size() + 3) & ~3);
    std::string reply(8, '\0');
    reply[1] = length, reply[little ? 2 : 3] = 11, reply[little ? 6 : 7] = char(reason.size() / 4);
    ::send(client, (reply + reason).data(), reply.size() + reason.size(), MSG_NOSIGNAL);
  }

  const Does does_;
  int listener_ = -1, stop_[2] = {-1, -1};
  std::thread thread_;
};

struct Outcome {
  int status;
  std::string out, err;
};

// The program with exactly `env` (and PATH) as the shell takes it, given `args`.
Outcome Program(const std::string& env, const std::string& args = "") {
  const kvor::test::TempDir files;
  const std::string command = "env -i PATH=/usr/bin:/bin " + env + " " KVOR_PROGRAM " " + args + " >" + (files / "out") +
                              " 2>" + (files / "err");
  const int status = std::system(command.c_str());
  const auto read = [](const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read(files / "out"), read(files / "err")};
}

// A compositor that answers a round trip and offers nothing more, on a socket of its own.
class FakeCompositor {
 public:
  explicit FakeCompositor(const std::string& name) {
    if (wl_display_add_socket(display_, name.c_str()) != 0) std::abort();
    thread_ = std::thread([this] { wl_display_run(display_); });
  }
  ~FakeCompositor() {
    wl_display_terminate(display_);
    thread_.join();
    wl_display_destroy(display_);
  }

 private:
  wl_display* display_ = wl_display_create();
  std::thread thread_;
};

}  // namespace

TEST(Display, EveryBadValueGetsTheOneLineMessage) {
  const kvor::test::TempDir runtime;  // no compositor socket in it, but for a dead one
  const std::string xdg = "XDG_RUNTIME_DIR=" + runtime.path();
  {  // a compositor's socket that nothing listens on any more
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, (runtime / "wayland-dead").c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
  }
  FakeXServer refusing(FakeXServer::Does::RefuseAuthorization), closing(FakeXServer::Does::Close),
      silent(FakeXServer::Does::NothingAtAll);
  // Each an environment of its own, as the shell takes it (no value holds a blank or a quote).
  const std::string noCompositor = "WAYLAND_DISPLAY=wayland-kvor-none " + xdg;
  const std::vector<std::string> cases = {
      "", "DISPLAY=:" + std::string(400, '7'), "DISPLAY=:1" + std::string(120, '0'),  // beyond a socket address
      "DISPLAY=unix:" + std::string(150, '1') + ".0", "DISPLAY=garbage", "DISPLAY=:abc", "DISPLAY=:0.x",
      "DISPLAY=:59999", "DISPLAY=:5987", "DISPLAY=unix/:5987.0", "DISPLAY=host::0", "DISPLAY=127.0.0.1:5987",
      "DISPLAY=tcp/localhost:5987", "DISPLAY=no-such-host.invalid:0", "DISPLAY=:", noCompositor,
      "WAYLAND_DISPLAY=" + std::string(300, 'w') + " " + xdg, "WAYLAND_DISPLAY=/nonexistent/wayland-0 " + xdg,
      noCompositor + " DISPLAY=:5987", "QT_QPA_PLATFORM=xcb DISPLAY=:5987", "QT_QPA_PLATFORM=wayland " + noCompositor,
      "WAYLAND_DISPLAY=wayland-0",  // no runtime folder
      // A server there, but no use: it refuses for want of a cookie, closes at once, or never
      // answers (the wait runs out). A compositor's socket with no compositor behind it.
      "DISPLAY=" + refusing.display, "DISPLAY=" + closing.display, "DISPLAY=" + silent.display,
      "QT_QPA_PLATFORM=xcb DISPLAY=" + refusing.display, "WAYLAND_DISPLAY=wayland-dead " + xdg,
      "QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=wayland-dead " + xdg,
      "WAYLAND_DISPLAY=wayland-dead " + xdg + " DISPLAY=" + closing.display};
  for (const std::string& env : cases) {
    const Outcome run = Program(env);
    EXPECT_EQ(std::to_string(run.status) + " " + run.out + run.err,
              "2 kvor: no display (no X11 or Wayland session); run kvor-scan for a text report\n")
        << (env.empty() ? "(empty)" : env.substr(0, 60));
  }
  // Each server was asked: the cases above reached it.
  EXPECT_EQ(std::vector({refusing.connections.load(), closing.connections.load(), silent.connections.load()}),
            std::vector({2, 2, 1}));
}

// Before the display is looked for: --help and --version answer without one, any other
// argument is refused by name.
TEST(CommandLine, HelpVersionAndAStrayArgument) {
  const Outcome version = Program("", "--version"), help = Program("", "--help");
  EXPECT_EQ(std::vector({version.status, help.status}), std::vector({0, 0}));
  EXPECT_EQ(version.out + version.err, "kvor 1.5.0\n");
  EXPECT_TRUE(help.err.empty() && help.out.find("no arguments") != std::string::npos &&
              help.out.find(std::string(KVOR_SCAN_PROGRAM) + " DIR") != std::string::npos)
      << help.out;
  const std::pair<std::string, std::string> stray[] = {
      {"/tmp", "'/tmp'"}, {"--help --version", "'--version'"}, {"-platform xcb", "'-platform'"}, {"--", "'--'"},
      {"\"$(printf '\\377')\"", "'\\xff'"}};
  for (const auto& [args, named] : stray) {
    const Outcome run = Program("", args);
    EXPECT_TRUE(run.status == 2 && run.out.empty() && std::count(run.err.begin(), run.err.end(), '\n') == 1 &&
                run.err.rfind("kvor: unrecognized argument " + named, 0) == 0)
        << args << ": " << run.err;
  }
}

// A compositor or server that answers is of use only with the toolkit's plugin for it. Asked
// in this process, with the plugins a case says the toolkit has; every probe has answered when
// a case ends (none is left reading the environment the next case writes).
TEST(Display, APlatformIsUsableOnlyWithItsPlugin) {
  const kvor::test::TempDir runtime;
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  const FakeCompositor compositor("wayland-kvor");
  using kvor::platform::DisplayCheck;
  struct Case {
    const char *platform, *wayland, *display;
    std::set<std::string> plugins;
    DisplayCheck check;
  } const cases[] = {
      {nullptr, "wayland-kvor", nullptr, {"xcb"}, DisplayCheck::NoWaylandPlugin},
      {nullptr, "wayland-kvor", nullptr, {}, DisplayCheck::NoWaylandPlugin},
      {"wayland", "wayland-kvor", nullptr, {"xcb", "wayland-egl"}, DisplayCheck::NoWaylandPlugin},
      {"wayland;xcb", "wayland-kvor", ":5987", {"xcb"}, DisplayCheck::NoWaylandPlugin},
      {"wayland", "wayland-kvor", nullptr, {"wayland"}, DisplayCheck::Usable},
      {"wayland-egl", "wayland-kvor", nullptr, {"wayland-egl"}, DisplayCheck::Usable},
      {nullptr, "wayland-none", ":5987", {"wayland", "xcb"}, DisplayCheck::NoDisplay},
      {"offscreen", nullptr, nullptr, {}, DisplayCheck::Usable},
  };
  for (const Case& c : cases) {
    for (const auto& [name, value] : {std::pair("QT_QPA_PLATFORM", c.platform), {"WAYLAND_DISPLAY", c.wayland},
                                      {"DISPLAY", c.display}})
      value ? ::setenv(name, value, 1) : ::unsetenv(name);
    const auto has = [&](const std::string& name) { return c.plugins.count(name) == 1; };
    EXPECT_EQ(kvor::platform::CheckDisplay(std::chrono::seconds(10), has), c.check)
        << (c.platform ? c.platform : "-") << " " << c.wayland << " " << c.plugins.size();
    // The toolkit's own choice stands where its first platform is of use.
    EXPECT_EQ(std::getenv("QT_QPA_PLATFORM") == nullptr, c.platform == nullptr);
  }
  for (const char* name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY", "XDG_RUNTIME_DIR"}) ::unsetenv(name);
}
