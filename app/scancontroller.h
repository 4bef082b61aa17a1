#pragma once
// The scan's worker, kept off the user-interface thread. Each run scans into a result of its
// own; only a run that ends while it is still the current one hands its result over, on the
// user-interface thread. A cancelled run is abandoned: whatever its worker does afterwards (it
// may be stuck in a file system that never answers) touches none of the program's state, and a
// new run can start beside it.
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/estimate.h"
#include "engine/progress.h"
#include "engine/scanner.h"
#include "engine/scanresult.h"
#include "mainwin/scans.h"
#include "platform/detached.h"
#include "platform/mounts.h"
#include "platform/system.h"

namespace kvor {

// The walk's progress, handed across threads: the worker leaves the latest directory and
// counts here, and the user-interface thread collects them on a timer, so the dialog is
// repainted at most at that rate however fast the walk goes. A path too long to show whole
// is kept as its two ends, so a deep walk pays for no more than a label shows.
class ProgressRelay final : public ScanProgress {
 public:
  void Measure(const DriveHolds& holds) override;
  void ShowCurrentDir(std::string_view path, const WalkCounts& counts) override;
  void DoEvents() override {}   // the user-interface thread runs on its own

  struct Taken {
    std::optional<std::string> path;    // if it changed since the previous call
    std::optional<DriveHolds> holds;    // once, when the walk begins
    WalkCounts counts;
  };
  Taken Take();

  // Called on the worker for every directory, before it is read (tests hold the walk here).
  std::function<void(std::string_view)> hook;

 private:
  std::mutex mutex_;
  std::string path_;
  bool fresh_ = false;
  std::optional<DriveHolds> holds_;
  WalkCounts counts_;
};

class ScanController final : public Scans {
  Q_OBJECT
 public:
  explicit ScanController(const platform::System& system, int intervalMs = 40);
  ~ScanController() override;

  // Starts a scan of `drive`: its figures, its root reached and read afresh, then the walk.
  // Returns its id.
  RunId Start(platform::Drive drive) override;
  // Abandons the current run at once: its worker is told to stop, and `ended(id, false)` is
  // emitted before this returns. Nothing of the run reaches the program afterwards.
  void Cancel();
  bool Busy() const { return current_ != nullptr; }
  RunId Current() const;

  // The result of the run that ended last with `ended(id, true)` (valid in that slot only).
  ScanResult TakeResult() override;
  void GiveBackMemory() override { system_.GiveBackMemory(); }

  // Blocks until the current run's worker (`abandonedToo`: every worker) has returned, then
  // hands over what they posted as the event loop would. For tests and the benchmark; a
  // window never waits.
  void Finish(bool abandonedToo = false);
  // Workers that have not returned yet, abandoned ones included.
  std::size_t Workers();
  // Emits `currentDir` if the current run has entered another directory since the last call;
  // a timer calls it while a run goes on.
  void Poll();

  // Called on the worker before each directory is read, for every run started afterwards.
  std::function<void(std::string_view)> directoryHook;
  // The walk's options for every run started afterwards (tests leave the readers out).
  Scanner::Options scanOptions;
  // How a run's worker is started (tests refuse it), and how long the controller, as it goes,
  // waits for workers that have not returned before it leaves them to the system.
  platform::detached::Starter startWorker = platform::detached::Start;
  std::chrono::milliseconds lastWait = std::chrono::seconds(2);

 signals:
  // The directory the current run is about to read, at most once per timer interval.
  void currentDir(const QString& path);
  // How far the current run has come, once per timer interval from the start of its walk.
  void progressed(const kvor::Estimate& estimate);

 private:
  struct Run;
  struct Worker {
    std::shared_ptr<Run> run;
    platform::detached::Answer<bool> returned;
  };
  static void Post(const std::weak_ptr<ScanController*>& alive,
                   std::function<void(ScanController&)> call);
  void OnQueried(RunId id, const ScanFigures& figures);
  void OnEnded(RunId id);
  void Reap(bool all);

  const platform::System& system_;
  QTimer timer_;
  RunId lastId_ = 0;
  std::shared_ptr<Run> current_;
  QElapsedTimer started_;                         // the current run's
  std::optional<ProgressEstimator> estimator_;    // from the start of its walk
  std::vector<Worker> workers_;
  ScanResult result_;
  // Events posted by workers reach this controller only while it lives.
  std::shared_ptr<ScanController*> alive_;
};

}  // namespace kvor
