// Bad display settings in the environment: one line on stderr and status 2, never a crash or
// the toolkit's abort.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tempdrive.h"

TEST(Display, EveryBadValueGetsTheOneLineMessage) {
  const kvor::test::TempDir runtime;  // no compositor socket in it
  const std::string xdg = "XDG_RUNTIME_DIR=" + runtime.path();
  // Each an environment of its own, as the shell takes it (no value holds a blank or a quote).
  const std::string noCompositor = "WAYLAND_DISPLAY=wayland-kvor-none " + xdg;
  const std::vector<std::string> cases = {
      "", "DISPLAY=:" + std::string(400, '7'), "DISPLAY=:1" + std::string(120, '0'),  // beyond a socket address
      "DISPLAY=unix:" + std::string(150, '1') + ".0", "DISPLAY=garbage", "DISPLAY=:abc", "DISPLAY=:0.x",
      "DISPLAY=:59999", "DISPLAY=:5987", "DISPLAY=unix/:5987.0", "DISPLAY=host::0", "DISPLAY=127.0.0.1:5987",
      "DISPLAY=tcp/localhost:5987", "DISPLAY=no-such-host.invalid:0", "DISPLAY=:", noCompositor,
      "WAYLAND_DISPLAY=" + std::string(300, 'w') + " " + xdg, "WAYLAND_DISPLAY=/nonexistent/wayland-0 " + xdg,
      noCompositor + " DISPLAY=:5987", "QT_QPA_PLATFORM=xcb DISPLAY=:5987", "QT_QPA_PLATFORM=wayland " + noCompositor,
      "WAYLAND_DISPLAY=wayland-0"};  // no runtime folder
  for (const std::string& env : cases) {
    // The program with exactly `env` (and PATH); its stderr read, its stdout dropped.
    const std::string command = "env -i PATH=/usr/bin:/bin " + env + " " KVOR_PROGRAM " 2>&1 >/dev/null";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    std::string err(4096, '\0');
    err.resize(std::fread(err.data(), 1, err.size(), pipe));
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << (env.empty() ? "(empty)" : env.substr(0, 60));
    EXPECT_EQ(err, "kvor: no display (no X11 or Wayland session); run kvor-scan for a text report\n");
  }
}
