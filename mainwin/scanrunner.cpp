#include "mainwin/scanrunner.h"

#include <QEventLoop>

namespace kvor {

void ProgressRelay::ShowCurrentDir(std::string_view path) {
  std::lock_guard lock(mutex_);
  path_.assign(path);
  fresh_ = true;
}

std::optional<std::string> ProgressRelay::Take() {
  std::lock_guard lock(mutex_);
  if (!fresh_) return std::nullopt;
  fresh_ = false;
  return path_;
}

ScanRunner::ScanRunner(ProgressRelay& relay, std::function<void(const std::string&)> show,
                       int intervalMs)
    : relay_(relay), show_(std::move(show)) {
  timer_.setInterval(intervalMs);
  connect(&timer_, &QTimer::timeout, this, &ScanRunner::Collect);
}

ScanRunner::~ScanRunner() {
  if (worker_.joinable()) worker_.join();
}

void ScanRunner::Run(std::function<void()> job) {
  Wait();
  done_ = false;
  timer_.start();
  worker_ = std::thread([this, job = std::move(job)] {
    job();
    done_ = true;
    // Queued to the user-interface thread; dropped if this runner is gone by then.
    QMetaObject::invokeMethod(this, &ScanRunner::finished, Qt::QueuedConnection);
  });
  Wait();
}

void ScanRunner::Wait() {
  if (!worker_.joinable()) return;
  QEventLoop loop;
  connect(this, &ScanRunner::finished, &loop, &QEventLoop::quit);
  // `finished` is posted after `done_` is set and delivered only inside exec, so a job that
  // ends after this test still quits the loop.
  if (!done_) loop.exec();
  // A nested Wait (the Cancel handler's) may have joined already.
  if (!worker_.joinable()) return;
  worker_.join();
  timer_.stop();
  Collect();
}

void ScanRunner::Collect() {
  if (auto path = relay_.Take()) show_(*path);
}

}  // namespace kvor
