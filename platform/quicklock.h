#pragma once
// The walk and the readers hand each other a directory every few microseconds, each holding
// the lock well under a microsecond. Sleeping in the kernel on a lock the other core is about
// to let go costs more than the wait: a system call each way, and on a virtual machine an idle
// core that takes long to wake. So a lock here is tried for a little while first.
#include <atomic>
#include <mutex>

namespace kvor::platform {

// A pause in a busy wait, kind to the other hyperthread.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

class QuickMutex {
 public:
  void lock() {
    const int tries = spin_.load(std::memory_order_relaxed) ? kTries : 0;
    for (int i = 0; i < tries; ++i) {
      if (mutex_.try_lock()) return;
      CpuRelax();
    }
    mutex_.lock();
  }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }
  // With more threads than cores, as when reads wait on the disk, the holder may not be
  // running at all: trying on would only burn the core it needs.
  void StopSpinning() { spin_.store(false, std::memory_order_relaxed); }

 private:
  static constexpr int kTries = 50;  // about three microseconds
  std::mutex mutex_;
  std::atomic<bool> spin_ = true;
};

}  // namespace kvor::platform
