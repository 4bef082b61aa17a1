// Two faults planted on purpose, in our own code and reached the way the program reaches its
// own: a worker thread beside a Qt event loop whose timer polls the worker's progress. The
// sanitizer passes fail unless both are reported, so a pass that says "clean" has shown it
// can see a fault of ours below Qt's frames.
#include <QApplication>
#include <QTimer>

#include <atomic>
#include <thread>

namespace {

long gPlantedTotal = 0;                 // written by the worker, read by the timer: the race
std::atomic<bool> gWorkerDone = false;  // relaxed on the worker's side: it orders nothing

void PlantedWorker() {
  for (int i = 0; i < 1000; ++i) ++gPlantedTotal;
  gWorkerDone.store(true, std::memory_order_relaxed);
}

// The leak, of a size easy to tell from any other.
[[gnu::noinline]] void PlantedLeak() { char* volatile leaked = new char[4242]; leaked[0] = 1; }

[[gnu::noinline]] void Tick(QTimer& timer) {
  const bool done = gWorkerDone.load(std::memory_order_acquire);
  timer.setObjectName(QString::number(gPlantedTotal));
  if (done) timer.stop(), PlantedLeak(), QCoreApplication::quit();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  std::thread worker(PlantedWorker);
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { Tick(timer); });
  timer.start(1);
  const int status = QApplication::exec();
  worker.join();
  return status;
}
