#pragma once
// The walk's cursor over one drive. It stands in one directory and hands the walk what it read
// there, by value: Enter moves into a subdirectory by its slot in the current read, Leave back
// to the parent, whose read was kept on the way down. Nothing is called back.
//
// A level keeps its name and its read, not its whole path or every entry; at most kOpenWindow
// directories of the current path hold an open descriptor, fewer when the process runs short
// of them. Only directories on the root's mount are entered: btrfs subvolumes below the root are
// its own, a directory on which a file system is mounted is not entered, nor opened. A directory
// is entered once a scan, whoever read it: reached again under another name, it is not.
//
// While a walk runs, readers read ahead of it (see ReadAhead); a directory they have read is
// entered without a read of its own, any other is read here.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/listing.h"
#include "platform/readahead.h"
#include "platform/seendirs.h"
#include "platform/sizehelpers.h"
#include "platform/summary.h"

namespace kvor::platform {

class DirCursor {
 public:
  // Failed: it could not be entered (error tells why); Changed: since it was listed, a file or
  // a symlink took its name (error tells which), or a directory counted already under another
  // name did (error 0); OtherDevice: a file system is mounted there (another drive, or another
  // view of this one), so it is left out.
  enum class Move { Entered, Failed, Changed, OtherDevice };
  struct Step {
    Move move = Move::Failed;
    int error = 0;                            // why it failed
    std::shared_ptr<const DirSummary> read;   // of the directory entered
  };
  static constexpr std::size_t kOpenWindow = 64;
  // Readers of a walk: with a core to spare, one from the start, reading away from the walk
  // so that the two read side by side; on one core none until the walk's reads wait on the
  // disk. More join as reads go on waiting, up to enough to keep the disk busy (on a cold
  // 1M-entry tree here, 16 did better than 8).
  static constexpr unsigned kReaders = 16;
  static unsigned FirstReaders();

  struct Options {
    ReadAhead::Options readAhead{.readers = kReaders, .firstReaders = FirstReaders()};
    ReadAhead::Hooks hooks = {};  // the tests'
  };

  // A raised `cancel` cuts a read short; the move then fails with ECANCELED.
  DirCursor(const std::atomic<bool>* cancel, Options options);
  ~DirCursor();
  DirCursor(const DirCursor&) = delete;
  DirCursor& operator=(const DirCursor&) = delete;

  // Opens `root` (a symlink to a directory is followed) as the root of a drive, without
  // reading it yet: 0, or the errno. `openAs`, when given, is what is opened, relative to the
  // working directory (a root too long to be named whole); `root` is still its name.
  int Open(const std::string& root, const std::string& openAs = {});
  int RootDescriptor() const;
  // Reads the root, its lost space summed for `clusterSize`; a root that cannot be listed
  // reads as empty, with its problem.
  std::shared_ptr<const DirSummary> ReadRoot(int64_t clusterSize);
  // Into the subdirectory at `slot` of the current read.
  Step Enter(std::size_t slot);
  // Back to the parent.
  void Leave();

  // The path of subdirectory `slot` of the current directory (the root as opened, then the
  // names entered), valid until the next move.
  std::string_view PathOf(std::size_t slot);
  // The read of the current directory, kept until the walk leaves it.
  const DirSummary& CurrentRead() const;

  // Readers read ahead of the walk from where it stands until StopReadAhead, or Open.
  void StartReadAhead();
  void StopReadAhead();
  ReadAhead* ReadingAhead() const { return ahead_.get(); }  // null while no reader runs

 private:
  struct Level;
  struct Entering;
  Level& Top() const { return *levels_[depth_ - 1]; }
  bool ReadInto(Level& level, int fd);
  void TakeReadAhead(Entering& entering, std::size_t slot);
  Step OpenSubdir(std::string_view name, Entering& entering);
  Step OpenAfterStatx(const char* name, Entering& entering);
  Step Identify(Entering& entering, const Identity* seen);
  Level& NextLevel(std::string_view name, std::size_t slot, Entering& entering);
  void Settle();
  bool Reopen(std::size_t k);
  int OpenChild(int parentFd, const char* name, bool onMount);
  bool GiveBackOne();
  void Launch(unsigned readers);
  void SampleDiskWaits();
  void CloseAll();

  const std::atomic<bool>* cancel_;
  Options options_;
  std::vector<std::unique_ptr<Level>> levels_;  // kept allocated for reuse
  std::size_t depth_ = 0;      // levels in use; the root's counts from Open
  bool rootRead_ = false;
  std::string path_;           // a level's path is its first pathLength bytes
  std::size_t lowOpen_ = 1;    // levels [lowOpen_, depth_) hold descriptors; the root always does
  std::size_t window_ = kOpenWindow;
  uint64_t mount_ = 0;         // the root's mount ID
  bool openat2_ = true;        // until the kernel says it has none
  int64_t clusterSize_ = 0;
  DirListing scratch_;         // a read here, before its summary
  std::shared_ptr<SizeHelpers> helpers_;  // of the walk's own reads and the readers' alike
  std::unique_ptr<ReadAhead> ahead_;
  // Until readers start: the walk's own reads, sampled; they start once those wait on the disk.
  std::optional<ReadSampler> sampler_;
  DiskWaits waits_;
  SeenDirs counted_;    // every directory entered since Open, the root's too
};

}  // namespace kvor::platform
