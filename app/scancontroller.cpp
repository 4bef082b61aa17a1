#include "app/scancontroller.h"

#include <QCoreApplication>
#include <chrono>

#include "engine/scanner.h"

namespace kvor {

namespace {

// The most of a path the relay keeps, as its two ends: far more than two lines of the label.
constexpr std::size_t kShownEnds = 2048;

}  // namespace

void ProgressRelay::Measure(const DriveHolds& holds) {
  std::lock_guard lock(mutex_);
  holds_ = holds;
}

void ProgressRelay::ShowCurrentDir(std::string_view path, const WalkCounts& counts) {
  {
    std::lock_guard lock(mutex_);
    counts_ = counts;
    // The label shortens the middle anyway (FitTwoLines): the middle is never shown.
    ShortenPath(path, kShownEnds, path_);
    fresh_ = true;
  }
  if (hook) hook(path);
}

ProgressRelay::Taken ProgressRelay::Take() {
  std::lock_guard lock(mutex_);
  Taken taken{.path = std::nullopt, .holds = std::exchange(holds_, std::nullopt), .counts = counts_};
  if (fresh_) taken.path = path_;
  fresh_ = false;
  return taken;
}

// Everything one scan writes. Owned jointly by the controller and the worker's thread, so an
// abandoned run lives on until its worker returns.
struct ScanController::Run {
  Run(RunId id, const platform::System& system, const Scanner::Options& options)
      : id(id), scanner(system, progress, cancel, options) {}

  const RunId id;
  std::atomic<bool> cancel = false;
  ProgressRelay progress;
  Scanner scanner;
  ScanResult result;
};

ScanController::ScanController(const platform::System& system, int intervalMs)
    : system_(system), alive_(std::make_shared<ScanController*>(this)) {
  timer_.setInterval(intervalMs);
  connect(&timer_, &QTimer::timeout, this, &ScanController::Poll);
}

ScanController::~ScanController() {
  alive_.reset();
  if (current_) current_->cancel = true;
  Reap(true);
}

ScanController::RunId ScanController::Current() const { return current_ ? current_->id : 0; }

void ScanController::Post(const std::weak_ptr<ScanController*>& alive,
                          std::function<void(ScanController&)> call) {
  // Queued to the user-interface thread; dropped there if the controller is gone by then.
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [alive, call = std::move(call)] {
        if (const auto self = alive.lock()) call(**self);
      },
      Qt::QueuedConnection);
}

ScanController::RunId ScanController::Start(platform::Drive drive) {
  if (current_) Cancel();
  Reap(false);
  auto run = std::make_shared<Run>(++lastId_, system_, scanOptions);
  run->progress.hook = directoryHook;
  current_ = run;
  started_.start();
  estimator_.reset();
  const RunId id = run->id;
  const auto work = [alive = std::weak_ptr<ScanController*>(alive_), run, root = std::move(drive.root)] {
    // Only `run` is touched here; Post reaches the controller on its own thread, if it lives.
    const RunId id = run->id;
    try {
      // A root that cannot be opened is flagged by the walk; its figures come by path.
      run->scanner.ReachDrive(root, run->result);
      const ScanFigures figures = run->result;
      Post(alive, [id, figures](ScanController& c) { c.OnQueried(id, figures); });
      // A stop while the root was read leaves the tree as the cancel marked it.
      if (!run->cancel) run->scanner.ScanDrive(run->result);
    } catch (const std::bad_alloc&) {
      run->result.end = ScanResult::End::OutOfMemory;
    }
    Post(alive, [id](ScanController& c) { c.OnEnded(id); });
    return true;
  };
  platform::detached::Answer<bool> returned;
  try {
    workers_.reserve(workers_.size() + 1);  // so the worker, once started, is always kept
    returned = platform::detached::Answer<bool>(work, startWorker);
  } catch (const std::bad_alloc&) {
  }
  if (returned.Started()) {
    workers_.push_back({run, std::move(returned)});
  } else {
    // No thread for the scan: it ends as one that ran out of memory, once this has returned.
    run->result.end = ScanResult::End::OutOfMemory;
    Post(alive_, [id](ScanController& c) { c.OnEnded(id); });
  }
  timer_.start();
  return id;
}

void ScanController::Cancel() {
  if (!current_) return;
  current_->cancel = true;
  const RunId id = current_->id;
  current_.reset();
  timer_.stop();
  emit ended(id, false);
}

void ScanController::OnQueried(RunId id, const ScanFigures& figures) {
  if (Current() == id) emit driveQueried(id, figures);
}

void ScanController::OnEnded(RunId id) {
  if (Current() != id) return;
  Poll();
  result_ = std::move(current_->result);
  current_.reset();
  timer_.stop();
  Reap(false);
  emit ended(id, true);
}

ScanResult ScanController::TakeResult() { return std::exchange(result_, ScanResult()); }

void ScanController::Finish(bool abandonedToo) {
  for (const Worker& worker : workers_)
    if (abandonedToo || worker.run == current_) worker.returned.Within(std::chrono::hours(24));
  // Every event the worker posted is queued by now; deliver them in order.
  QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
}

std::size_t ScanController::Workers() {
  Reap(false);
  return workers_.size();
}

void ScanController::Poll() {
  if (!current_) return;
  ProgressRelay::Taken taken = current_->progress.Take();
  if (taken.path) emit currentDir(QString::fromStdString(*taken.path));
  if (taken.holds) estimator_.emplace(*taken.holds);
  // Every tick, moving or not, so the time left goes on counting while one directory is read.
  if (estimator_) emit progressed(estimator_->Update(taken.counts, static_cast<double>(started_.nsecsElapsed()) / 1e9));
}

void ScanController::Reap(bool all) {
  const auto deadline = std::chrono::steady_clock::now() + lastWait;
  // As the controller goes, a worker that has not returned by the deadline is left to itself.
  if (all)
    for (const Worker& worker : workers_) worker.returned.By(deadline);
  std::erase_if(workers_, [all](const Worker& worker) { return all || worker.returned.Came(); });
}

}  // namespace kvor
