// Bad display settings in the environment, and displays that cannot be used: one line on stderr
// and status 2, never a crash or the toolkit's abort.
#include <gtest/gtest.h>
#include <wayland-server-core.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/display.h"
#include "tempdrive.h"

namespace {

// The answer of an X server that wants a cookie the client does not have: failed, protocol 11.0,
// the reason padded to four bytes, in the client's byte order, which is this machine's.
constexpr struct {
  uint8_t failed = 0, length = 65;
  uint16_t major = 11, minor = 0, words = 68 / 4;
  char reason[68] = "Authorization required, but no authorization protocol specified\n";
} kRefusal;

// What a fake X server does with every connection.
enum class Does { RefuseAuthorization, StopReading, NothingAtAll };

// An X server that does one thing with every connection, on the abstract socket where a client
// looks first for display ":n". `env` sends a client to it.
struct FakeXServer {
  explicit FakeXServer(Does does) {
    sockaddr_un address{AF_UNIX, {}};
    for (int n = 4000 + ::getpid() % 20000; env.empty(); ++n) {
      const int name = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "/tmp/.X11-unix/X%d", n);
      const auto length = socklen_t(sizeof address.sun_family + 1 + name);
      if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0) env = "DISPLAY=:" + std::to_string(n);
    }
    ::listen(listener, 8);
    // Between connecting and writing its opening the client reads its cookies: from a pipe, it
    // waits there until this server has stopped reading, and then writes (EPIPE, SIGPIPE). One
    // that closed at once would show as hung up to the client's poll, which then never writes.
    if (does == Does::StopReading && ::mkfifo(cookies.c_str(), 0600) == 0) env = "XAUTHORITY=" + cookies + " " + env;
    serving = std::thread([this, does] {
      std::vector<int> held;
      for (int client; (client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; held.push_back(client)) {
        ++asked;
        char opening[12];  // the client's, without a cookie (none is in its environment)
        if (does == Does::RefuseAuthorization && ::recv(client, opening, sizeof opening, MSG_WAITALL) == sizeof opening)
          ::send(client, &kRefusal, sizeof kRefusal, MSG_NOSIGNAL);
        if (does == Does::StopReading && ::shutdown(client, SHUT_RD) == 0)
          ::close(::open(cookies.c_str(), O_WRONLY | O_CLOEXEC));  // once the client opens them; there are none
      }
      for (const int fd : held) ::close(fd);
    });
  }
  ~FakeXServer() {
    ::shutdown(listener, SHUT_RDWR);  // ends the wait in accept
    ::close(::open(cookies.c_str(), O_RDONLY | O_NONBLOCK));  // and one for a client that never read its cookies
    serving.join();
    ::close(listener);
  }

  std::string env;
  std::atomic<int> asked = 0;  // connections
  const kvor::test::TempDir files;
  const std::string cookies = files / "cookies";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::thread serving;
};

// The program with exactly `env` (and PATH) as the shell takes it, given `args`: its exit status,
// a blank, what it wrote to stdout, "|", and what it wrote to stderr.
std::string Program(const std::string& env, const std::string& args = "") {
  const kvor::test::TempDir files;
  const std::string command = "cd " + files.path() + " && env -i PATH=/usr/bin:/bin " + env + " " KVOR_PROGRAM " " +
                              args + " >out 2>err; printf '%s ' $?; cat out; printf '|'; cat err";
  std::FILE* shell = ::popen(command.c_str(), "r");
  std::string said;
  for (int c; (c = std::fgetc(shell)) != EOF;) said += char(c);
  ::pclose(shell);
  return said;
}

}  // namespace

TEST(Display, EveryBadValueGetsTheOneLineMessage) {
  const kvor::test::TempDir runtime;  // no compositor socket in it, but for a dead one
  ASSERT_EQ(::mknod((runtime / "wayland-dead").c_str(), S_IFSOCK | 0600, 0), 0);  // nothing listens on it
  const std::string xdg = "XDG_RUNTIME_DIR=" + runtime.path(), dead = "WAYLAND_DISPLAY=wayland-dead " + xdg,
                    noCompositor = "WAYLAND_DISPLAY=wayland-kvor-none " + xdg;
  FakeXServer refusing(Does::RefuseAuthorization), deaf(Does::StopReading), silent(Does::NothingAtAll);
  // Each an environment of its own, as the shell takes it (no value holds a blank or a quote).
  const std::vector<std::string> cases = {
      "", "DISPLAY=:" + std::string(400, '7'), "DISPLAY=:1" + std::string(120, '0'),  // beyond a socket address
      "DISPLAY=unix:" + std::string(150, '1') + ".0", "DISPLAY=garbage", "DISPLAY=:abc", "DISPLAY=:0.x",
      "DISPLAY=:59999", "DISPLAY=:5987", "DISPLAY=unix/:5987.0", "DISPLAY=host::0", "DISPLAY=127.0.0.1:5987",
      "DISPLAY=tcp/localhost:5987", "DISPLAY=no-such-host.invalid:0", "DISPLAY=:", noCompositor,
      "WAYLAND_DISPLAY=" + std::string(300, 'w') + " " + xdg, "WAYLAND_DISPLAY=/nonexistent/wayland-0 " + xdg,
      noCompositor + " DISPLAY=:5987", "QT_QPA_PLATFORM=xcb DISPLAY=:5987", "QT_QPA_PLATFORM=wayland " + noCompositor,
      "WAYLAND_DISPLAY=wayland-0",  // no runtime folder
      // A server there, but no use: it refuses for want of a cookie, stops reading before the
      // client writes (no SIGPIPE), or never answers (the wait runs out). A compositor's socket
      // with no compositor behind it.
      refusing.env, deaf.env, silent.env, "QT_QPA_PLATFORM=xcb " + refusing.env, dead,
      "QT_QPA_PLATFORM=wayland " + dead, dead + " " + deaf.env};
  for (const std::string& env : cases)
    EXPECT_EQ(Program(env), "2 |kvor: no display (no X11 or Wayland session); run kvor-scan for a text report\n")
        << (env.empty() ? "(empty)" : env.substr(0, 60));
  // Each server was asked: the cases above reached it.
  EXPECT_EQ(std::vector({refusing.asked.load(), deaf.asked.load(), silent.asked.load()}), std::vector({2, 2, 1}));
}

// Before the display is looked for: --help and --version answer without one; any other
// argument is refused by name, the first that is wrong, on one line.
TEST(CommandLine, HelpVersionAndAStrayArgument) {
  EXPECT_EQ(Program("", "--version"), "0 kvor 1.5.0\n|");
  const std::string help = Program("", "--help");
  EXPECT_TRUE(help.starts_with("0 usage: kvor\n") && help.ends_with("\n|") &&
              help.find("no arguments") != help.npos && help.find(KVOR_SCAN_PROGRAM " DIR\n") != help.npos) << help;
  for (const auto& [args, named] : {std::pair<std::string, std::string>{"/tmp", "/tmp"}, {"-platform xcb", "-platform"},
                                    {"--help --version", "--version"}, {"--", "--"},
                                    {"\"$(printf '\\377')\"", "\\xff"}})
    EXPECT_EQ(Program("", args),
              "2 |kvor: unrecognized argument '" + named + "' (kvor takes no arguments; see kvor --help)\n");
}

// A compositor or server that answers is of use only with the toolkit's plugin for it. Asked
// in this process, with the plugins a case says the toolkit has; every probe has answered when
// a case ends (none is left reading the environment the next case writes).
TEST(Display, APlatformIsUsableOnlyWithItsPlugin) {
  const kvor::test::TempDir runtime;
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  // A compositor that answers a round trip and offers nothing more.
  wl_display* compositor = wl_display_create();
  ASSERT_EQ(wl_display_add_socket(compositor, "wayland-kvor"), 0);
  std::thread answering([&] { wl_display_run(compositor); });
  using enum kvor::platform::DisplayCheck;
  // The toolkit's platform, the compositor's and the X server's names, the toolkit's plugins; what
  // the check finds.
  const std::tuple<const char*, const char*, const char*, std::set<std::string>, kvor::platform::DisplayCheck> cases[] = {
      {nullptr, "wayland-kvor", nullptr, {"xcb"}, NoWaylandPlugin},
      {"wayland", "wayland-kvor", nullptr, {"xcb", "wayland-egl"}, NoWaylandPlugin},
      {"wayland;xcb", "wayland-kvor", ":5987", {"xcb"}, NoWaylandPlugin},
      {"wayland", "wayland-kvor", nullptr, {"wayland"}, Usable}, {"offscreen", nullptr, nullptr, {}, Usable},
      {"wayland-egl", "wayland-kvor", nullptr, {"wayland-egl"}, Usable},
      {nullptr, "wayland-none", ":5987", {"wayland", "xcb"}, NoDisplay},
  };
  for (const auto& [platform, wayland, display, plugins, check] : cases) {
    for (const auto& [name, value] : {std::pair("QT_QPA_PLATFORM", platform), {"WAYLAND_DISPLAY", wayland},
                                      {"DISPLAY", display}})
      value ? ::setenv(name, value, 1) : ::unsetenv(name);
    const auto has = [&](const std::string& name) { return plugins.contains(name); };
    EXPECT_EQ(kvor::platform::CheckDisplay(std::chrono::seconds(10), has), check) << platform << " " << plugins.size();
    // The toolkit's own choice stands where its first platform is of use.
    EXPECT_EQ(std::getenv("QT_QPA_PLATFORM") == nullptr, platform == nullptr);
  }
  wl_display_terminate(compositor);
  answering.join();
  wl_display_destroy(compositor);
}
