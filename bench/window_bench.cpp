// Times the windows' scan of a directory against the report tool's, on the same tree:
//   kvor-window-bench DIR [ROUNDS]
// The window's figure runs from Refresh to the new tree painted on screen: the progress
// dialog, the scan on its worker, the model reset and the first paint of the view.
//   kvor-window-bench --rescans N DIR
// Refreshes N times and prints the resident memory after the first scan and along the way;
// fails when the last is above 1.25 times the first (memory that does not come back).
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <malloc.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/app.h"
#include "mainwin/frmdisksumm.h"
#include "platform/pathrules.h"
#include "report/report.h"

namespace {

// The machine, with DIR as one more local hard drive that holds the program (mounted last, so
// it is a local hard drive even where DIR is a mount point already, as "/" is). The machine's
// own mounts stay, so no scan crosses into them.
class DirAsDrive : public kvor::platform::System {
 public:
  explicit DirAsDrive(std::string root) : root_(std::move(root)) {}
  std::string MountTableText() const override {
    return kvor::platform::LocalSystem().MountTableText() + "99999 1 254:1 / " + root_ +
           " rw,relatime - ext4 /dev/vdz1 rw\n";
  }
  bool QuerySpace(const std::string&, kvor::platform::SpaceFigures& out) const override {
    return kvor::platform::LocalSystem().QuerySpace(root_, out);
  }
  bool IsRemovableDevice(unsigned, unsigned) const override { return false; }
  std::string VolumeLabel(const std::string&) const override { return {}; }
  std::string ProgramFolder() const override { return root_; }

 private:
  std::string root_;
};

// Bytes the program holds from the allocator, all arenas, in MiB: a leak grows this, memory the
// allocator keeps after it was freed does not.
double InUseMiB() {
  const struct mallinfo2 info = mallinfo2();
  return double(info.uordblks + info.hblkhd) / (1 << 20);
}

// Resident memory of this process in MiB.
double ResidentMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
  return 0;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const bool rescans = argc > 1 && std::strcmp(argv[1], "--rescans") == 0;
  if (argc < (rescans ? 4 : 2)) {
    std::fprintf(stderr, "usage: kvor-window-bench DIR [ROUNDS]\n       kvor-window-bench --rescans N DIR\n");
    return 2;
  }
  QApplication application(argc, argv);
  const std::string root = kvor::platform::NormalisePath(argv[rescans ? 3 : 1], "/");
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  DirAsDrive system(root);

  kvor::App app(system);
  app.windows.answer = [](const kvor::forms::Message&) { return kvor::forms::Button::No; };
  kvor::frmDiskSumm& main = app.Form<kvor::frmDiskSumm>();  // also warms the cache
  main.show();
  app.scans.Finish();
  if (!QTest::qWaitForWindowExposed(&main)) return 1;

  if (rescans) {
    const double first = ResidentMiB();
    std::printf("nodes %zu\nrescans  RSS MiB  in use MiB\n%7d  %7.1f  %10.1f\n", main.Result().tree.size(), 0, first,
                InUseMiB());
    double last = first;
    for (int round = 1; round <= rounds; ++round) {
      main.mnuRefresh_Click();
      app.scans.Finish();
      QCoreApplication::processEvents();
      last = ResidentMiB();
      if (round % 5 == 0 || round == rounds) std::printf("%7d  %7.1f  %10.1f\n", round, last, InUseMiB());
      std::fflush(stdout);
    }
    std::printf("last / first %.2f (at most 1.25)\n", last / first);
    return last <= 1.25 * first ? 0 : 1;
  }

  std::vector<double> report, window;
  std::FILE* sink = std::fopen("/dev/null", "w");
  for (int round = 0; round < rounds; ++round) {
    QElapsedTimer timer;
    timer.start();
    std::string arg0 = "kvor-scan", arg1 = "--summary", arg2 = root;
    char* args[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
    kvor::report::Run(3, args, system, sink, stderr);
    report.push_back(timer.nsecsElapsed() / 1e6);

    timer.restart();
    main.mnuRefresh_Click();
    app.scans.Finish();
    if (!QTest::qWaitForWindowExposed(&main)) return 1;
    main.tvDisk->viewport()->repaint();
    QCoreApplication::processEvents();
    window.push_back(timer.nsecsElapsed() / 1e6);
  }
  std::fclose(sink);

  const double r = Median(report), w = Median(window);
  std::printf("nodes %zu, rounds %d\nkvor-scan --summary  %.1f ms (median)\n"
              "window Refresh       %.1f ms (median)\nratio                %.2f\n",
              main.Result().tree.size(), rounds, r, w, w / r);
  return 0;
}
