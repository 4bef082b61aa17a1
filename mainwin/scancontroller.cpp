#include "mainwin/scancontroller.h"

#include <QCoreApplication>
#include <chrono>

#include "engine/scanner.h"
#include "engine/storetree.h"
#include "platform/pathrules.h"

namespace kvor {

namespace {

// The panel's texts as the query writes them, kept to be handed over with the figures.
class RecordingPanel final : public DiskInfoPanel {
 public:
  void SetUsed(std::string_view text) override { used.assign(text); }
  void SetFree(std::string_view text) override { free.assign(text); }
  void SetTotal(std::string_view text) override { total.assign(text); }
  std::string used, free, total;
};

// A worker that has not returned by then is left to the system when the program goes.
constexpr auto kLastWait = std::chrono::seconds(2);

}  // namespace

// Every field but the flags that only the windows use; a new field must be added here.
static_assert(sizeof(ScanState) == 112, "ScanState changed: copy the new field in CopyFigures");

void CopyFigures(const ScanState& from, ScanState& to) {
  to.gFreeBytes = from.gFreeBytes;
  to.gTotalBytes = from.gTotalBytes;
  to.gUsedBytes = from.gUsedBytes;
  to.gClusterSize = from.gClusterSize;
  to.gDirBytes = from.gDirBytes;
  to.gDirLostSpace = from.gDirLostSpace;
  to.gFileCount = from.gFileCount;
  to.gSubdirCount = from.gSubdirCount;
  to.gHiddenCount = from.gHiddenCount;
  to.gTotalFiles = from.gTotalFiles;
  to.gTotalDirs = from.gTotalDirs;
  to.gTotalFileBytes = from.gTotalFileBytes;
  to.gNodeCounter = from.gNodeCounter;
  to.gGoToRoot = from.gGoToRoot;
}

void ProgressRelay::ShowCurrentDir(std::string_view path) {
  {
    std::lock_guard lock(mutex_);
    path_.assign(path);
    fresh_ = true;
  }
  if (hook) hook(path);
}

std::optional<std::string> ProgressRelay::Take() {
  std::lock_guard lock(mutex_);
  if (!fresh_) return std::nullopt;
  fresh_ = false;
  return path_;
}

// Everything one scan writes. Owned jointly by the controller and the worker's thread, so an
// abandoned run lives on until its worker returns.
struct ScanController::Run {
  Run(RunId id, const platform::System& system)
      : id(id), tree(store), scanner(state, system, tree, progress) {}

  // The drive's root opened, read and queried; the figures for the panel.
  DriveFigures Reach(const std::string& root) {
    RecordingPanel panel;
    // A root that cannot be opened is flagged by the walk; its figures come by path.
    if (scanner.ReachDrive(root, &panel) == Scanner::Reach::NotOpened) scanner.ShowDiskInfo(1, root, &panel);
    return {state.gFreeBytes, state.gUsedBytes, state.gTotalBytes, state.gClusterSize,
            std::move(panel.used), std::move(panel.free), std::move(panel.total)};
  }

  bool Done() {
    std::lock_guard lock(mutex);
    return done;
  }

  const RunId id;
  ScanState state;
  platform::NodeStore store;
  StoreTree tree;
  ProgressRelay progress;
  Scanner scanner;
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
};

ScanController::ScanController(const platform::System& system, ScanState& shared, int intervalMs)
    : system_(system), shared_(shared), alive_(std::make_shared<ScanController*>(this)) {
  timer_.setInterval(intervalMs);
  connect(&timer_, &QTimer::timeout, this, &ScanController::Poll);
}

ScanController::~ScanController() {
  alive_.reset();
  if (current_) current_->state.gAbort = true;
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
  auto run = std::make_shared<Run>(++lastId_, system_);
  CopyFigures(shared_, run->state);
  run->progress.hook = directoryHook;
  current_ = run;
  const RunId id = run->id;
  std::thread thread([alive = std::weak_ptr<ScanController*>(alive_), run,
                      root = std::move(drive.root)] {
    // Only `run` is touched here; Post reaches the controller on its own thread, if it lives.
    const RunId id = run->id;
    const DriveFigures figures = run->Reach(root);
    Post(alive, [id, figures](ScanController& c) { c.OnQueried(id, figures); });
    // A stop while the root was read leaves the tree as the cancel marked it.
    if (!run->state.gAbort) run->scanner.ScanDrive();
    Post(alive, [id](ScanController& c) { c.OnEnded(id); });
    std::lock_guard lock(run->mutex);
    run->done = true;
    run->cv.notify_all();
  });
  workers_.push_back({std::move(run), std::move(thread)});
  timer_.start();
  return id;
}

void ScanController::Cancel() {
  if (!current_) return;
  current_->state.gAbort = true;
  const RunId id = current_->id;
  current_.reset();
  timer_.stop();
  emit ended(id, false);
}

void ScanController::OnQueried(RunId id, const DriveFigures& figures) {
  if (Current() != id) return;
  shared_.gFreeBytes = figures.freeBytes;
  shared_.gUsedBytes = figures.usedBytes;
  shared_.gTotalBytes = figures.totalBytes;
  shared_.gClusterSize = figures.clusterSize;
  emit driveQueried(id, figures);
}

void ScanController::OnEnded(RunId id) {
  if (Current() != id) return;
  Poll();
  CopyFigures(current_->state, shared_);
  std::swap(result_, current_->store);
  current_.reset();
  timer_.stop();
  Reap(false);
  emit ended(id, true);
}

void ScanController::TakeTree(platform::NodeStore& into) {
  std::swap(into, result_);
  result_ = platform::NodeStore();
}

void ScanController::Finish(bool abandonedToo) {
  for (Worker& worker : workers_)
    if ((abandonedToo || worker.run == current_) && worker.thread.joinable()) worker.thread.join();
  // Every event the worker posted is queued by now; deliver them in order.
  QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
}

std::size_t ScanController::Workers() {
  Reap(false);
  return workers_.size();
}

void ScanController::Poll() {
  if (!current_) return;
  if (auto path = current_->progress.Take()) emit currentDir(QString::fromStdString(*path));
}

void ScanController::Reap(bool all) {
  for (Worker& worker : workers_) {
    if (!worker.thread.joinable()) continue;
    if (all) {
      std::unique_lock lock(worker.run->mutex);
      if (!worker.run->cv.wait_for(lock, kLastWait, [&] { return worker.run->done; })) {
        lock.unlock();
        worker.thread.detach();
        continue;
      }
    } else if (!worker.run->Done()) {
      continue;
    }
    worker.thread.join();
  }
  std::erase_if(workers_, [](const Worker& worker) { return !worker.thread.joinable(); });
}

}  // namespace kvor
