// Times the windows' scan of a directory against the report tool's, on the same tree:
//   kvor-window-bench DIR [ROUNDS]
// The window's figure runs from Refresh to the new tree painted on screen: the progress
// dialog, the scan on its worker, the model reset and the first paint of the view.
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "mainwin/app.h"
#include "mainwin/frmdisksumm.h"
#include "platform/pathrules.h"
#include "report/report.h"

namespace {

// The machine, with DIR as one more local hard drive that holds the program.
class DirAsDrive : public kvor::platform::System {
 public:
  explicit DirAsDrive(std::string root) : root_(std::move(root)) {}
  std::string MountTableText() const override {
    return "30 1 254:1 / " + root_ + " rw,relatime - ext4 /dev/vdz1 rw\n";
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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: kvor-window-bench DIR [ROUNDS]\n");
    return 2;
  }
  QApplication application(argc, argv);
  const std::string root = kvor::platform::NormalisePath(argv[1], "/");
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  DirAsDrive system(root);

  kvor::App app(system);
  app.messageBox = [](const QString&, int, const QString&) { return kvor::vbNo; };
  kvor::frmDiskSumm& main = app.Form<kvor::frmDiskSumm>();  // also warms the cache
  main.show();
  app.scans.Finish();
  if (!QTest::qWaitForWindowExposed(&main)) return 1;

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
