#include "engine/scanner.h"

#include <cerrno>
#include <new>

#include "engine/diskspace.h"
#include "engine/estimate.h"

namespace kvor {

using platform::DirCursor;
using platform::DirSummary;

int64_t Saturate(Int128 value) {
  if (value > INT64_MAX) return INT64_MAX;
  if (value < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(value);
}

namespace {

DirCursor::Options CursorOptions(Scanner::Options&& o) {
  return {.readAhead = {.readers = o.readers, .firstReaders = o.firstReaders},
          .hooks = {.beforeOpen = std::move(o.beforeOpen), .listing = std::move(o.listing)}};
}

}  // namespace

Scanner::Scanner(const platform::System& system, ScanProgress& progress, const std::atomic<bool>& cancel,
                 Options options)
    : system_(system), progress_(progress), cancel_(cancel), dirList_(&cancel, CursorOptions(std::move(options))) {}

Scanner::Reach Scanner::ReachDrive(const std::string& root, ScanResult& scan, const std::string& openAs) {
  rootPath_ = root;
  rootRead_ = nullptr;
  holds_ = {};
  platform::SpaceFigures space;
  openError_ = dirList_.Open(root, openAs);
  const bool queried = openError_ == 0 ? system_.QuerySpaceOf(dirList_.RootDescriptor(), space)
                                       : system_.QuerySpace(openAs.empty() ? root : openAs, space);
  const int queryError = errno;
  if (!queried) space = {};
  // One look at the root tells whether the drive's figures are this walk's to be measured by.
  holds_ = HoldsOf(space, openError_ == 0 && system_.IsMountRoot(dirList_.RootDescriptor()));
  scan.gFreeBytes = GetDiskSpace(scan, space, "FREE");
  scan.gUsedBytes = GetDiskSpace(scan, space, "USED");
  scan.gTotalBytes = GetDiskSpace(scan, space, "TOTAL");
  if (openError_ != 0) {
    errno = openError_;
    return Reach::NotOpened;
  }
  // Read once the cluster size is known: the lost space is summed for it.
  rootRead_ = dirList_.ReadRoot(scan.gClusterSize);
  errno = queryError;
  return queried ? Reach::Reached : Reach::NotQueried;
}

void Scanner::SetOwnFigures(NodeStore::Node& node, const DirSummary& read, int64_t clusterSize) const {
  node.files = read.fileCount;
  node.bytes = read.bytes;
  node.lost = read.lostSpace + clusterSize;  // and the cluster the directory itself takes
  node.problems = read.problems;
  node.error = static_cast<int16_t>(read.error);
  // The scan state's 64-bit figures of one directory stop at their largest value: say where.
  if (Saturate(read.bytes) != read.bytes || Saturate(read.lostSpace) != read.lostSpace) {
    node.problems |= platform::kSumTooLarge;
    if (read.problems == 0) node.error = EOVERFLOW;
  }
}

void Scanner::ScanDrive(ScanResult& scan) {
  scan.end = ScanResult::End::Complete;
  try {
    ScanFromRoot(scan);
  } catch (const std::bad_alloc&) {
    scan.end = ScanResult::End::OutOfMemory;
  }
  frames_.clear();
  frames_.shrink_to_fit();
  // The totals are what the nodes show, whatever changed while the drive was read.
  int64_t files = 0;
  for (NodeStore::Index node = 0; node < scan.tree.size(); ++node) files += static_cast<int64_t>(scan.tree[node].files);
  scan.gTotalFiles = files;
  scan.gTotalDirs = static_cast<int64_t>(scan.tree.size()) - 1;
  if (scan.tree.size() == 0) return;
  NodeStore::Node& root = scan.tree[0];
  scan.gTotalFileBytes = Saturate(root.bytes);
  if (scan.gTotalFileBytes != root.bytes) {
    // The total the report prints stopped at its largest value: say where.
    if (root.problems == 0) root.error = EOVERFLOW;
    root.problems |= platform::kSumTooLarge;
  }
}

void Scanner::ScanFromRoot(ScanResult& scan) {
  NodeStore& tree = scan.tree;
  frames_.clear();
  const NodeStore::Index root = tree.AddRoot(rootPath_);
  progress_.Measure(holds_);
  counts_ = WalkCounts{.dirs = 0, .entries = 1, .allocated = 0};  // the root itself
  progress_.ShowCurrentDir(rootPath_, counts_);
  if (rootRead_ == nullptr) {
    // A root that could not be opened is said, never shown as an empty drive.
    tree[root].problems = platform::kCannotEnter;
    tree[root].error = static_cast<int16_t>(openError_);
    return;
  }
  SetOwnFigures(tree[root], *rootRead_, scan.gClusterSize);
  CountRead(*rootRead_);
  if (rootRead_->SlotCount() == 0) return;

  // Readers read ahead of the walk for as long as it runs, however it ends.
  struct ReadingAhead {
    DirCursor& cursor;
    ~ReadingAhead() { cursor.StopReadAhead(); }
  } readingAhead{dirList_};
  dirList_.StartReadAhead();

  frames_.push_back(Frame{root, 0});
  if (!Walk(scan)) {
    scan.end = ScanResult::End::Stopped;
    return;
  }
  // Subdirectories that were all mount points leave the root as one without any.
  if (tree.size() > 1) tree[root].form = NodeStore::Form::RootWalked;
}

// What the walk has read, and what readers have read ahead of it for it to take: the work done.
WalkCounts Scanner::CountsRead() const {
  WalkCounts counts = counts_;
  if (const platform::ReadAhead* ahead = dirList_.ReadingAhead()) {
    const platform::ReadAhead::Ready ready = ahead->ReadyToTake();
    counts.entries += ready.names, counts.allocated += ready.blocks;
  }
  return counts;
}

void Scanner::CountRead(const DirSummary& read) {
  counts_.dirs += 1;
  counts_.entries += static_cast<int64_t>(read.fileCount + read.SlotCount());
  counts_.allocated += read.allocated;
}

// A child done (walked, not entered, or left out) adds to its parent; the parent's text then
// takes the form of that child's kind. The root keeps its own.
void Scanner::Count(ScanResult& scan, NodeStore::Index parent, NodeStore::Index child) const {
  NodeStore::Node& p = scan.tree[parent];
  const NodeStore::Node& c = scan.tree[child];
  p.bytes += c.bytes;
  p.lost += c.lost + scan.gClusterSize;
  if (parent != 0) p.form = c.hidden ? NodeStore::Form::HiddenChild : NodeStore::Form::Ordinary;
}

// Every directory below the root, depth first, in slot order; false when stopped. The
// recursion lives in frames_: a chain as deep as memory allows costs no call stack.
bool Scanner::Walk(ScanResult& scan) {
  for (;;) {
    Frame& f = frames_.back();
    if (f.next < dirList_.CurrentRead().SlotCount()) {
      if (!ScanDirectory(scan, f.next++)) return false;
      continue;
    }
    if (frames_.size() == 1) return true;
    // Its children all done: back to the parent, which counts it.
    const NodeStore::Index done = f.node;
    dirList_.Leave();
    frames_.pop_back();
    progress_.DoEvents();
    if (cancel_) return false;
    Count(scan, frames_.back().node, done);
  }
}

// The directory at `slot` of the one on top of the walk: its node added and, when it was
// entered, its frame pushed; false when stopped.
bool Scanner::ScanDirectory(ScanResult& scan, std::size_t slot) {
  if (cancel_) return false;
  NodeStore& tree = scan.tree;
  const NodeStore::Index up = frames_.back().node;
  // The parent's read stays with the cursor while the walk is below it.
  const DirSummary& parentRead = dirList_.CurrentRead();
  const bool hidden = parentRead.Hidden(slot);
  const std::string_view name = parentRead.Name(slot);
  progress_.ShowCurrentDir(dirList_.PathOf(slot), CountsRead());
  progress_.DoEvents();
  if (cancel_) return false;

  DirCursor::Step step = dirList_.Enter(slot);
  switch (step.move) {
    case DirCursor::Move::OtherDevice:
      // Left out as a mount point is: no node, no count, no cluster. Its name was read all
      // the same, so the work done never goes back.
      return !cancel_;
    case DirCursor::Move::Failed:
    case DirCursor::Move::Changed: {
      if (cancel_) return false;  // the read was cut short by a stop
      // Cannot be entered (no permission, gone, out of descriptors), or no longer a directory:
      // an empty directory of one cluster, as its parent's read counted it, marked with why.
      const NodeStore::Index node = tree.Add(up, name, hidden);
      tree[node].lost = scan.gClusterSize;
      tree[node].problems = step.move == DirCursor::Move::Changed ? platform::kChanged : platform::kCannotEnter;
      tree[node].error = static_cast<int16_t>(step.error);
      progress_.DoEvents();
      if (cancel_) return false;
      Count(scan, up, node);
      return true;
    }
    case DirCursor::Move::Entered:
      break;
  }
  const NodeStore::Index node = tree.Add(up, name, hidden);
  SetOwnFigures(tree[node], *step.read, scan.gClusterSize);
  CountRead(*step.read);
  frames_.push_back(Frame{node, 0});
  return true;
}

}  // namespace kvor
