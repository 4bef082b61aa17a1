#pragma once
// Holds threads of the scan at a chosen point until the test lets them go, so a test can
// arrange an order of events without waiting on the clock.
#include <atomic>

namespace kvor::test {

struct Gate {
  void Wait() {
    ++waiting;
    waiting.notify_all();
    open.wait(false);
  }
  void AwaitWaiter() { waiting.wait(0); }  // returns once some thread waits at the gate
  void Open() { open = true; open.notify_all(); }

  std::atomic<int> waiting = 0;
  std::atomic<bool> open = false;
};

}  // namespace kvor::test
