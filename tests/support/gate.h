#pragma once
// Holds threads of the scan at a chosen point until the test lets them go, so a test can
// arrange an order of events without waiting on the clock.
#include <condition_variable>
#include <mutex>

namespace kvor::test {

class Gate {
 public:
  void Wait() {
    std::unique_lock lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
  }
  void AwaitWaiter() {  // returns once some thread waits at the gate
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return waiting_ > 0; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_ = 0;
  bool open_ = false;
};

}  // namespace kvor::test
