#pragma once
// The scan of one drive: its root reached and its space queried, then the walk that adds a node
// per directory, each with its own file count and its subtree's bytes and lost space. The
// window's worker runs one; so do the report tool and the tests.
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/progress.h"
#include "engine/scanresult.h"
#include "platform/cursor.h"
#include "platform/system.h"

namespace kvor {

// What a scan is given beyond the drive: how many read ahead of the walk, and the tests' hooks.
struct ScanOptions {
  unsigned readers = platform::DirCursor::kReaders;  // read ahead of the walk, at most; 0: none
  unsigned firstReaders = platform::DirCursor::FirstReaders();  // of them, started at once
  // For tests: called on a reader's thread before it opens a directory (by its path below
  // the root), and the system calls of every listing, the walk's own too.
  std::function<void(std::string_view)> beforeOpen = {};
  platform::ListingCalls listing = {};
};

class Scanner {
 public:
  using Options = ScanOptions;

  // `cancel` stops the walk at its next test; what it built so far stays as it was.
  Scanner(const platform::System& system, ScanProgress& progress, const std::atomic<bool>& cancel,
          Options options = {});
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // The drive whose root is `root`: the root opened once (a link to a directory followed), the
  // drive's space queried through it into `scan`'s figures, and the root read. A root that
  // cannot be opened has its figures queried by path. errno tells why it was not reached.
  // `openAs`, when given, is the root's path relative to the working directory, opened in its
  // place (a path of any length). Throws std::bad_alloc when memory runs out.
  enum class Reach { Reached, NotOpened, NotQueried };
  Reach ReachDrive(const std::string& root, ScanResult& scan, const std::string& openAs = {});

  // Walks the drive reached last into `scan`'s tree and totals. When memory runs out the walk
  // ends there (ScanResult::End::OutOfMemory); a reader that runs out only stops reading ahead.
  void ScanDrive(ScanResult& scan);

 private:
  // One directory of the path being walked: the cursor holds its read.
  struct Frame {
    NodeStore::Index node;
    std::size_t next = 0;  // slot
  };
  void ScanFromRoot(ScanResult& scan);
  bool Walk(ScanResult& scan);
  bool ScanDirectory(ScanResult& scan, std::size_t slot);
  void Count(ScanResult& scan, NodeStore::Index parent, NodeStore::Index child) const;
  void CountRead(const platform::DirSummary& read);
  WalkCounts CountsRead() const;
  void SetOwnFigures(NodeStore::Node& node, const platform::DirSummary& read, int64_t clusterSize) const;

  const platform::System& system_;
  ScanProgress& progress_;
  const std::atomic<bool>& cancel_;
  platform::DirCursor dirList_;  // the walk's cursor
  std::string rootPath_;
  DriveHolds holds_;             // what the drive reached holds
  WalkCounts counts_;            // what the walk has read
  int openError_ = 0;            // why the root was not opened
  std::shared_ptr<const platform::DirSummary> rootRead_;
  std::vector<Frame> frames_;    // the walk's own stack: depth costs memory, not call stack
};

// A 128-bit figure held in 64 bits: the largest (or smallest) value when it does not fit.
int64_t Saturate(Int128 value);

}  // namespace kvor
