#pragma once
// The walk and the readers hand each other a directory every few microseconds, each holding
// the lock well under a microsecond. Sleeping in the kernel on a lock the other core is about
// to let go costs more than the wait: a system call each way, and on a virtual machine an idle
// core that takes long to wake. So a lock here is tried for a little while first.
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
    for (int i = 0; i < kTries; ++i) {
      if (mutex_.try_lock()) return;
      CpuRelax();
    }
    mutex_.lock();
  }
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  static constexpr int kTries = 50;  // about three microseconds
  std::mutex mutex_;
};

}  // namespace kvor::platform
