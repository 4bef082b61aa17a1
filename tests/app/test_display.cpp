// Bad display settings in the environment: one line on stderr and status 2, never a crash or
// the toolkit's abort.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string err;
};

// Runs the program with exactly `env` (and PATH), its stderr collected.
Outcome RunProgram(const std::vector<std::string>& env) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipeFds[1], 2);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    std::vector<char*> envp;
    std::vector<std::string> all = env;
    all.push_back("PATH=/usr/bin:/bin");
    for (std::string& e : all) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(KVOR_PROGRAM), nullptr};
    ::execve(KVOR_PROGRAM, argv, envp.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  Outcome out;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) out.err.append(buffer, static_cast<size_t>(n));
  ::close(pipeFds[0]);
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  out.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return out;
}

TEST(Display, EveryBadValueGetsTheOneLineMessage) {
  char runtime[] = "/tmp/kvor-runtime-XXXXXX";  // no compositor socket in it
  ASSERT_NE(::mkdtemp(runtime), nullptr);
  const std::string xdg = std::string("XDG_RUNTIME_DIR=") + runtime;
  const std::vector<std::vector<std::string>> cases = {
      {},                                                   // nothing set
      {"DISPLAY=:" + std::string(400, '7')},                // longer than a socket address
      {"DISPLAY=:1" + std::string(120, '0')},
      {"DISPLAY=unix:" + std::string(150, '1') + ".0"},
      {"DISPLAY=garbage"},
      {"DISPLAY=:"},
      {"DISPLAY=:abc"},
      {"DISPLAY=:0.x"},
      {"DISPLAY=:59999"},                                   // beyond the last TCP port
      {"DISPLAY=:5987"},                                    // a local server that is not there
      {"DISPLAY=unix/:5987.0"},
      {"DISPLAY=host::0"},
      {"DISPLAY=127.0.0.1:5987"},                           // a remote one that refuses
      {"DISPLAY=tcp/localhost:5987"},
      {"DISPLAY=no-such-host.invalid:0"},
      {"DISPLAY=10.255.255.1:0"},                           // one that never answers
      {"WAYLAND_DISPLAY=wayland-kvor-none", xdg},
      {"WAYLAND_DISPLAY=" + std::string(300, 'w'), xdg},
      {"WAYLAND_DISPLAY=/nonexistent/wayland-0", xdg},
      {"WAYLAND_DISPLAY=wayland-0"},                        // no runtime folder to find it in
      {"WAYLAND_DISPLAY=wayland-kvor-none", xdg, "DISPLAY=:5987"},
      {"QT_QPA_PLATFORM=xcb", "DISPLAY=:5987"},
      {"QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY=wayland-kvor-none", xdg},
  };
  for (const auto& env : cases) {
    const Outcome out = RunProgram(env);
    const std::string shown = env.empty() ? "(empty)" : env.front().substr(0, 60);
    EXPECT_EQ(out.status, 2) << shown;
    EXPECT_EQ(out.err, "kvor: no display (no X11 or Wayland session); run kvor-scan for a text report\n") << shown;
  }
  ::rmdir(runtime);
}

}  // namespace
