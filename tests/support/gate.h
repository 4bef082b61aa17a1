#pragma once
// Holds threads of the scan at a chosen point until the test lets them go, so a test can
// arrange an order of events without waiting on the clock.
#include <atomic>

namespace kvor::test {

class Gate {
 public:
  void Wait() {
    ++waiting_;
    waiting_.notify_all();
    open_.wait(false);
  }
  void AwaitWaiter() { waiting_.wait(0); }  // returns once some thread waits at the gate
  void Open() { open_ = true; open_.notify_all(); }

 private:
  std::atomic<int> waiting_ = 0;
  std::atomic<bool> open_ = false;
};

}  // namespace kvor::test
