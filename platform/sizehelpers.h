#pragma once
// Threads that read the sizes of a wide directory's files, in slices, beside the thread that
// lists it: a directory of half a million files is then read on every core, and on a cold disk
// with many reads waiting at once, instead of one read at a time. The lister hands each slice
// over as soon as it has listed it, so the sizes are read while the rest is still being listed.
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

  using Slice = DirListing::Slice;

  // At most `most` threads, started when first needed: a helper per spare core, more once a
  // slice's reads wait on the disk. `blocksRead`, when given, stands in for the blocks the
  // calling thread has read from the disk so far (tests).
  explicit SizeHelpers(unsigned most, std::function<long()> blocksRead = {});
  // Stops; a helper stuck in a read is left to end on its own.
  ~SizeHelpers();
  SizeHelpers(const SizeHelpers&) = delete;
  SizeHelpers& operator=(const SizeHelpers&) = delete;

  struct Job;
  struct State;

  // One directory's slices, from its lister to the helpers. Destroyed unfinished (a cancel, an
  // error), it is left to the helpers, who drop the slices they have not begun.
  class Stream {
   public:
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream();
    // False when there are no helpers or no descriptor to lend them: the lister reads alone.
    bool Start(SizeHelpers& helpers, int fd, const ListingCalls* calls, int64_t clusterSize);
    bool Started() const { return job_ != nullptr; }
    void Add(Slice&& slice);

    enum class Outcome { Read, Cancelled };
    // The listing is done: reads the slices no helper has taken, waits for the others, and moves
    // every slice into `out`. Throws std::bad_alloc when memory ran out on any of the threads.
    Outcome Finish(const std::atomic<bool>* cancel, std::vector<Slice>& out);

   private:
    std::shared_ptr<State> state_;
    std::shared_ptr<Job> job_;
  };

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kvor::platform
