#pragma once
// Whether reads wait on the disk: readers and helpers are worth their threads only then, or
// where a core is spare. The one rule for adding them: a read waited when it took a page from
// the disk; a thread's reads are sampled every few; a reader joins for each read that waited
// once about half the recent ones did.
#include <functional>

namespace kvor::platform {

// Blocks the calling thread has read from the disk so far, or what `hook` says (tests).
long BlocksRead(const std::function<long()>& hook);

class DiskWaits {
 public:
  static constexpr unsigned kReadsPerSample = 8;
  // Whether reads that took `blocks` (of 512 bytes) from the disk waited on it: a read that
  // merely lost its core to a busy machine took none (off-CPU time would count it).
  static bool Waited(long blocks) { return blocks >= kBlocksPerPage; }
  // A sample of one thread's reads took `blocks`; returns how many readers to add.
  unsigned Add(long blocks);

 private:
  static constexpr long kBlocksPerPage = 4096 / 512;
  unsigned share_ = 0;  // of the recent reads that waited, in 256ths
};

// One thread's reads, sampled every DiskWaits::kReadsPerSample: a getrusage per read costs a
// warm scan more than it tells.
class ReadSampler {
 public:
  explicit ReadSampler(const std::function<long()>& hook) : hook_(&hook), blocks_(BlocksRead(hook)) {}
  // One more read done: the blocks read over the sample it ends, or -1 while it goes on.
  long Count();

 private:
  const std::function<long()>* hook_;
  long blocks_;
  unsigned reads_ = 0;
};

}  // namespace kvor::platform
