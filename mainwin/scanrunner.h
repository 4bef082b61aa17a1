#pragma once
// Runs a scan step on a worker thread while the user-interface thread stays live, so the
// progress dialog repaints and its Cancel is handled at once, even inside one huge directory.
#include <QObject>
#include <QTimer>
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/interfaces.h"

namespace kvor {

// The walk's progress, handed across threads: the worker leaves the latest directory here,
// and the user-interface thread collects it on a timer, so the label is repainted at most
// at that rate however fast the walk goes.
class ProgressRelay final : public ScanProgress {
 public:
  void ShowCurrentDir(std::string_view path) override;
  void DoEvents() override {}   // the user-interface thread runs on its own

  // The directory shown last, if it changed since the previous call.
  std::optional<std::string> Take();

 private:
  std::mutex mutex_;
  std::string path_;
  bool fresh_ = false;
};

class ScanRunner final : public QObject {
  Q_OBJECT
 public:
  // `relay` is collected every `interval` ms while a job runs and handed to `show`.
  ScanRunner(ProgressRelay& relay, std::function<void(const std::string&)> show,
             int intervalMs = 40);
  ~ScanRunner() override;

  // Runs `job` on a worker thread and returns once it has ended; meanwhile waiting events
  // are processed here. One job at a time.
  void Run(std::function<void()> job);
  // Returns once the running job, if any, has ended (events are processed meanwhile).
  // May be called from a handler that runs inside Run's wait.
  void Wait();
  bool Running() const { return worker_.joinable(); }

 signals:
  void finished();

 private:
  void Collect();

  ProgressRelay& relay_;
  std::function<void(const std::string&)> show_;
  QTimer timer_;
  std::thread worker_;
  std::atomic<bool> done_ = false;
};

}  // namespace kvor
