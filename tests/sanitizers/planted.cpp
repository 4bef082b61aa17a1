// Two faults planted on purpose, in our own code and reached the way the program reaches its
// own: a worker thread beside a Qt event loop whose timer polls the worker's progress.
// The sanitizer passes run this with their suppressions and fail unless both are reported,
// so a pass that says "clean" has shown it can see a fault of ours below Qt's frames.
#include <QApplication>
#include <QLabel>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <thread>

namespace {

// Written by the worker and read by the timer with nothing in between: the race.
int64_t gPlantedTotal = 0;
// Relaxed on the worker's side, so it orders nothing for ThreadSanitizer.
std::atomic<bool> gWorkerDone = false;

void PlantedWorker() {
  for (int i = 0; i < 1000; ++i) ++gPlantedTotal;
  gWorkerDone.store(true, std::memory_order_relaxed);
}

// Size chosen so that the report is easy to tell from any other.
constexpr int kPlantedLeakBytes = 4242;

// The leak: dropped by the timer handler once the worker is done.
[[gnu::noinline]] void PlantedLeak() {
  char* volatile lost = new char[kPlantedLeakBytes];
  lost[0] = 1;
  lost = nullptr;
}

class PlantedProgress final : public QObject {
 public:
  explicit PlantedProgress(QLabel& label) : label_(label) {
    connect(&timer_, &QTimer::timeout, this, &PlantedProgress::Tick);
    timer_.start(1);
  }

 private:
  void Tick() {
    // Acquire keeps the read below after the flag without telling the sanitizer anything.
    const bool done = gWorkerDone.load(std::memory_order_acquire);
    label_.setText(QString::number(gPlantedTotal));
    if (!done) return;
    timer_.stop();
    PlantedLeak();
    QCoreApplication::quit();
  }

  QLabel& label_;
  QTimer timer_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QLabel label;
  label.show();
  std::thread worker(PlantedWorker);
  PlantedProgress progress(label);
  const int status = QApplication::exec();
  worker.join();
  return status;
}
