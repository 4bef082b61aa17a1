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

// Takes `mutex`, first trying it a while if `spin`. Not with more threads than cores at work, as
// when reads wait on the disk: the holder may not be running at all, and trying on would only
// burn the core it needs.
inline std::unique_lock<std::mutex> LockSoon(std::mutex& mutex, bool spin = true) {
  constexpr int kTries = 50;  // about three microseconds
  for (int i = 0; spin && i < kTries; ++i) {
    if (mutex.try_lock()) return std::unique_lock(mutex, std::adopt_lock);
    CpuRelax();
  }
  return std::unique_lock(mutex);
}

}  // namespace kvor::platform
