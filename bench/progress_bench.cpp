// How well the progress estimate foretells a scan of a drive:
//   kvor-progress-bench DIR
// Scans DIR as the report tool does, noting the walk's counts at every directory, then replays
// them through the estimator ten times a second and prints, at a quarter, half and three
// quarters of the scan's time, the fraction shown against the fraction of time gone and the
// time left said against the time that remained. Then scans DIR again through the window's
// controller and counts the dialog's updates per second. DIR should be a file system's root.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/scancontroller.h"
#include "engine/estimate.h"
#include "engine/scanner.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Noted {
  double seconds;
  kvor::WalkCounts counts;
};

class Recorder final : public kvor::ScanProgress {
 public:
  void Measure(const kvor::DriveHolds& h) override {
    holds = h;
    start = Clock::now();
  }
  void ShowCurrentDir(std::string_view, const kvor::WalkCounts& counts) override {
    noted.push_back({std::chrono::duration<double>(Clock::now() - start).count(), counts});
  }
  void DoEvents() override {}

  kvor::DriveHolds holds;
  Clock::time_point start;
  std::vector<Noted> noted;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kvor-progress-bench DIR\n");
    return 2;
  }
  const std::string root = argv[1];
  Recorder recorder;
  recorder.noted.reserve(1 << 20);
  const std::atomic<bool> never = false;
  kvor::ScanResult scan;
  kvor::Scanner scanner(kvor::platform::LocalSystem(), recorder, never);
  scanner.ReachDrive(root, scan);
  scanner.ScanDrive(scan);
  const double total = std::chrono::duration<double>(Clock::now() - recorder.start).count();
  std::printf("scan %.2f s, %lld entries of %lld inodes in use, %s\n", total,
              static_cast<long long>(recorder.noted.back().counts.entries),
              static_cast<long long>(recorder.holds.inodesInUse), recorder.holds.wholeDrive ? "whole drive" : "a folder");

  // How the walk's names and directories went with its time, a tenth at a time.
  const kvor::WalkCounts& end = recorder.noted.back().counts;
  std::printf("time  names  dirs\n");
  for (std::size_t i = 0, tenth = 1; i < recorder.noted.size() && tenth < 10; ++i) {
    if (recorder.noted[i].seconds < total * static_cast<double>(tenth) / 10) continue;
    const kvor::WalkCounts& c = recorder.noted[i].counts;
    std::printf("%3zu%%  %4.0f%%  %3.0f%%\n", tenth * 10, 100.0 * static_cast<double>(c.entries) / static_cast<double>(end.entries),
                100.0 * static_cast<double>(c.dirs) / static_cast<double>(end.dirs));
    ++tenth;
  }
  kvor::ProgressEstimator estimator(recorder.holds);
  std::size_t at = 0;
  double mark = 0.25;
  std::printf("time gone  shown  left said  left true  ratio\n");
  for (double t = 0; t < total && mark < 1; t += 0.1) {
    while (at + 1 < recorder.noted.size() && recorder.noted[at + 1].seconds <= t) ++at;
    const kvor::Estimate e = estimator.Update(recorder.noted[at].counts, t);
    if (t + 0.1 > mark * total) {
      const double remained = total - t;
      std::printf("%8.0f%%  %4.0f%%  %9lld  %9.1f  %5.2f\n", 100 * t / total, 100 * e.fraction,
                  static_cast<long long>(e.secondsLeft), remained,
                  e.secondsLeft < 0 ? 0.0 : static_cast<double>(e.secondsLeft) / remained);
      mark += 0.25;
    }
  }

  // The window's path: how often the dialog hears of it while the walk moves.
  QCoreApplication application(argc, argv);
  kvor::ScanController controller(kvor::platform::LocalSystem());
  int updates = 0;
  QObject::connect(&controller, &kvor::ScanController::progressed, [&](const kvor::Estimate&) { ++updates; });
  QEventLoop loop;
  QObject::connect(&controller, &kvor::ScanController::ended, &loop, &QEventLoop::quit);
  QElapsedTimer timer;
  timer.start();
  controller.Start(kvor::platform::Drive{root, {}, {}});
  loop.exec();
  const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
  std::printf("window: scan %.2f s, %d dialog updates, %.1f a second\n", seconds, updates, updates / seconds);
  return 0;
}
