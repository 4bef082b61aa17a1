#pragma once
// Whether reads wait on the disk: readers and helpers are worth their threads only then, or
// where a core is spare.
#include <functional>

namespace kvor::platform {

// Blocks the calling thread has read from the disk so far, or what `hook` says (tests).
long BlocksRead(const std::function<long()>& hook);

// Whether directory reads wait on the disk, from the blocks a thread read over a few of them:
// readers help only then (on a warm cache they cost more than they give).
class DiskWaits {
 public:
  static constexpr unsigned kReadsPerSample = 8;
  // `reads` reads took `blocks` (of 512 bytes) from the disk; returns how many readers to add:
  // one per read that waited, once about half of the recent ones did.
  unsigned Add(unsigned reads, long blocks);

 private:
  unsigned share_ = 0;  // of the recent reads that waited, in 256ths
};

}  // namespace kvor::platform
