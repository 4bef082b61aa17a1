#pragma once
// Reading ahead of the walk. On a cold disk one synchronous directory read at a time leaves
// the disk idle most of the time; a few reader threads read the directories the walk is
// about to enter, each into a compact summary, while the walk stays one thread in its own
// order. The walk takes a summary by position (the child's slot in its parent's summary). A
// directory not read ahead in time, or whose read ahead went wrong in any way, the walk reads
// itself: the read-ahead can make a scan slower, never different. What is read next is the
// plan's (see ReadPlan); here are the threads, their waking and their reads.
//
// Readers open a directory, read it whole and close it before taking the next; the queue
// holds nodes and slots, never descriptors. Everything readers share lives in one block they
// co-own, so a reader stuck in a file system that hangs can be abandoned: when it wakes it
// finds the read-ahead stopped and touches nothing else.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/listing.h"
#include "platform/diskwaits.h"
#include "platform/readplan.h"
#include "platform/sizehelpers.h"
#include "platform/summary.h"

namespace kvor::platform {

class ReadAhead {
 public:
  struct Options {
    unsigned readers = 8;                   // at most; 0: nothing is read ahead
    ReadPlan::Limits limits = {};           // what readers hold before they wait for the walk
    // Readers started at once; the others start as reads wait on the disk (see DiskWaits).
    unsigned firstReaders = ~0u;
  };
  // Called on reader threads, for tests: before a directory is opened, and when opening it
  // found the process out of descriptors (the reader waits and tries again).
  struct Hooks {
    std::function<void(std::string_view relativePath)> beforeOpen = {};
    std::function<void(std::string_view relativePath)> outOfDescriptors = {};
    // In place of the blocks the calling thread (a reader's, or the walk's) has read so far.
    std::function<long()> blocksRead = {};
    // In place of the system calls of every listing, the walk's own too.
    ListingCalls listing = {};
  };
  using Stats = ReadPlan::Stats;
  using Dir = ReadPlan::Node*;  // a directory the walk stands in, valid until it leaves it
  struct Taken {
    Dir dir = nullptr;
    std::shared_ptr<const DirSummary> summary;  // null: the walk reads the directory itself
  };

  ReadAhead(Options options, Hooks hooks);
  // Stops, and waits a little for readers to finish their reads; one that does not is left
  // to end on its own.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Starts below the root the walk stands at: `rootFd` is the walk's (duplicated here), `root`
  // the walk's read of it, whose lost space was summed for `clusterSize`. Only directories on the root's mount are read (btrfs subvolumes
  // below it among them); a file system mounted below is not entered.
  // A wide directory's sizes are read with `helpers`, if any.
  Dir Start(int rootFd, std::shared_ptr<const DirSummary> root, int64_t clusterSize,
            std::shared_ptr<SizeHelpers> helpers = nullptr);
  // Starts `count` more readers (within Options::readers), the disk's waits so far in `waits`.
  void AddReaders(unsigned count, const DiskWaits& waits);
  // The walk enters child `slot` of `parent`. A read of it under way is waited for, until
  // `cancel` is raised. A directory deeper than readers go (or below one) is not followed:
  // its Dir is null.
  Taken Enter(Dir parent, std::size_t slot, const std::atomic<bool>* cancel = nullptr);
  // The walk read `dir` itself; its children are read ahead from this summary.
  void Adopt(Dir dir, std::shared_ptr<const DirSummary> summary);
  // The walk is done with `dir` and everything below it.
  void Leave(Dir dir);
  // The walk ran out of descriptors: readers open no more, and this returns once they hold
  // none, or `cancel` is raised (true when they held any: the walk's open is worth another try).
  bool GiveBackDescriptors(const std::atomic<bool>* cancel = nullptr);
  void Stop();

  Stats GetStats() const;
  // Names and 512-byte file blocks read ahead and not yet taken by the walk; without a lock.
  using Ready = ReadPlan::Ready;
  Ready ReadyToTake() const;
  // Until readers have nothing more to do (all read, or the budget full); for tests.
  void WaitIdle();

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace kvor::platform
