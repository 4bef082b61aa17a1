#pragma once
// Threads that read the sizes of a wide directory's files, in slices, beside the thread that
// lists it: a directory of half a million files is then read on every core, and on a cold disk
// with many reads waiting at once, instead of one read at a time.
//
// A job owns what its slices work on (the names, the entries, a descriptor of its own), so the
// thread that lists can leave it behind at a cancel while a helper is stuck in a file system
// that does not answer: the helper finishes with the job's memory and touches nothing else.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/listing.h"

namespace kvor::platform {

class SizeHelpers {
 public:
  static constexpr std::size_t kSlice = 1024;         // entries a slice reads
  static constexpr std::size_t kLeast = 4 * kSlice;   // fewer, and the lister reads them alone

  // At most `most` threads, started when first needed. `blocksRead`, when given, stands in for
  // the blocks the calling thread has read from the disk so far (tests).
  explicit SizeHelpers(unsigned most, std::function<long()> blocksRead = {});
  // Stops; a helper stuck in a read is left to end on its own.
  ~SizeHelpers();
  SizeHelpers(const SizeHelpers&) = delete;
  SizeHelpers& operator=(const SizeHelpers&) = delete;

  enum class Outcome { Read, Cancelled, Alone };
  // Reads the sizes of `unsized` in the directory open at `fd` into `out`, slices taken by
  // helpers and the calling thread alike: a helper per spare core, more once the calling
  // thread's reads wait on the disk. `names` and `unsized` are lent to the job and given back
  // when it is read; after a cancel they stay with it. Alone: no helper could be had, nothing
  // was done. Throws std::bad_alloc when memory runs out on any of the threads.
  Outcome Read(int fd, std::string& names, std::vector<DirListing::Unsized>& unsized, const ListingCalls* calls,
               int64_t clusterSize, const std::atomic<bool>* cancel, DirListing::Sizes& out);

  struct Job;
  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kvor::platform
