#pragma once
// The three invisible lists the directory reading works with: the directory list (the
// cursor of the walk), the file list and the unsorted hidden list.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/listing.h"
#include "platform/mounts.h"
#include "platform/readahead.h"

namespace kvor::platform {

class System;

// The ordinary subdirectories of its path. Setting a different path reads that directory and
// raises the change handler before returning. The directories on the current path are kept,
// so moving back to the parent gives the parent as it was first read.
//
// The list holds one drive: the device of the directory it was last pointed at from elsewhere
// (its root). A level keeps its name and the summary of its read, not its whole path or every
// entry; at most kOpenWindow directories of the current path hold an open descriptor, fewer
// when the process runs short of them.
//
// While a walk runs from the root, readers read ahead of it (see ReadAhead); a directory they
// have read is entered without a read of its own, any other is read here.
class DirListBox {
 public:
  enum class Move { Entered, Failed, OtherDevice };
  static constexpr std::size_t kOpenWindow = 64;
  // Readers of a walk: with a core to spare, one from the start, reading away from the walk
  // so that the two read side by side (a warm 1M-entry tree here in 0.58x the time of the walk
  // alone); on one core none until the walk's reads wait on the disk. More join as reads go on
  // waiting, up to enough to keep the disk busy (on a cold 1M-entry tree here, 16 did better
  // than 8).
  static constexpr unsigned kReaders = 16;
  static unsigned FirstReaders() { return std::thread::hardware_concurrency() > 1 ? 1 : 0; }

  explicit DirListBox(const System& system);
  ~DirListBox();
  DirListBox(const DirListBox&) = delete;
  DirListBox& operator=(const DirListBox&) = delete;

  const std::string& Path() const { return path_; }

  // Accepts a directory path or a drive list entry's text. Returns false and leaves the
  // path unchanged when the directory cannot be opened or the read was cancelled.
  bool SetPath(std::string_view path);
  // Stands at exactly `path` (a symlink to a directory is followed) as the root of a drive.
  bool OpenRoot(std::string_view path);
  // Into the subdirectory `name` of the current directory, on the same device only; `slot`
  // is its place in the current directory's summary, if known.
  Move EnterChild(std::string_view name, std::size_t slot = SIZE_MAX);
  // Back to the parent, served from the read kept on the way down.
  bool Up();

  // Reads the current directory from the file system again, without raising the handler.
  bool Refresh();

  // The errno of the last move or read that failed.
  int LastError() const { return lastError_; }
  // The descriptor of the root the list was last pointed at, -1 before that.
  int RootDescriptor() const;
  std::string_view RootPath() const;
  std::size_t Depth() const { return depth_; }

  // The root of the drive at which the list stands.
  std::string DriveRoot() const;
  // Makes `root` count as its drive's root (the report tool scans any directory as a drive).
  void SetDriveRoot(std::string root) { rootOverride_ = std::move(root); }

  // Full path of the i-th ordinary subdirectory; List(-1) is the path itself.
  std::string List(std::ptrdiff_t i) const;
  std::string_view ListName(std::size_t i) const { return Current().Name(i); }
  std::size_t ListCount() const;

  void OnChange(std::function<void()> handler) { onChange_ = std::move(handler); }
  void SetCancelFlag(const std::atomic<bool>* cancel) { cancel_ = cancel; }
  // The cluster size the lost space of a read is summed for.
  void SetClusterSize(const int64_t* clusterSize) { clusterSize_ = clusterSize; }

  // Reading ahead of a walk from the root at which the list stands, until StopReadAhead or
  // a move elsewhere. Options and hooks are the tests'; the program's are FirstReaders()
  // growing to kReaders. Readers that start late begin where the walk stands.
  void StartReadAhead();
  void StopReadAhead();
  void SetReadAheadOptions(ReadAhead::Options options, ReadAhead::Hooks hooks = {}) {
    aheadOptions_ = options;
    aheadHooks_ = std::move(hooks);
  }
  ReadAhead* ReadingAhead() const { return ahead_.get(); }  // null while no reader runs

  // The read behind the current path; empty before the first move.
  const DirSummary& Current() const;
  std::shared_ptr<const DirSummary> CurrentShared() const;
  // The entries of the last directory read here (not ahead).
  const DirListing& LastListing() const { return scratch_; }

 private:
  struct Level;
  bool Admit(int fd, Level& level, bool root);
  bool ReadInto(Level& level);
  int OpenChild(int parentFd, const char* name);
  bool Reopen(std::size_t k);
  bool GiveBackOne();
  bool Launch(unsigned readers);
  void SampleDiskWaits();
  void CloseFrom(std::size_t k);
  std::string MountKey() const;
  void Raise();

  const System& system_;
  MountTable mounts_;
  std::vector<std::unique_ptr<Level>> levels_;  // kept allocated for reuse
  std::size_t depth_ = 0;
  std::string path_;           // the current directory's path; a level ends where its path does
  std::size_t lowOpen_ = 1;    // levels [lowOpen_, depth_) hold descriptors; the root always does
  std::size_t window_ = kOpenWindow;
  unsigned long device_ = 0;   // the root's st_dev
  std::string realRoot_;       // the root as the mount table names it, when a link led there
  std::size_t givenRootLength_ = 0;
  int lastError_ = 0;
  std::string rootOverride_;
  std::function<void()> onChange_;
  const std::atomic<bool>* cancel_ = nullptr;
  const int64_t* clusterSize_ = nullptr;
  DirListing scratch_;  // a read here, before its summary
  DirSummary empty_;
  ReadAhead::Options aheadOptions_{.readers = kReaders, .firstReaders = FirstReaders()};
  ReadAhead::Hooks aheadHooks_;
  std::unique_ptr<ReadAhead> ahead_;
  bool armed_ = false;  // readers start once the walk's reads wait on the disk
  DiskWaits waits_;
  long blocks_ = 0;     // read by the walk's thread at the last sample
  unsigned reads_ = 0;  // since then
};

// Counts the files (every entry that is not a directory) of its path.
class FileListBox {
 public:
  explicit FileListBox(const DirListBox& sibling) : sibling_(sibling) {}
  void SetPath(std::string_view path);
  const std::string& Path() const { return following_ ? sibling_.Path() : path_; }
  std::size_t ListCount() const { return count_; }

 private:
  const DirListBox& sibling_;
  std::string path_;
  bool following_ = false;  // at the directory list's path, without a copy of it
  std::size_t count_ = 0;
};

// An unsorted list of texts; entries stay in the order added. It can also show entries of a
// directory read without copying them (the hidden list, shown anew at every return to a
// directory with thousands of hidden subdirectories).
class ListBox {
 public:
  void Clear() {
    count_ = 0;
    borrowed_.reset();
  }
  void AddItem(std::string_view text);
  // Shows the hidden subdirectories of a directory's summary.
  void Show(std::shared_ptr<const DirSummary> summary) {
    count_ = 0;
    borrowed_ = std::move(summary);
  }
  std::string_view List(std::size_t i) const {
    return borrowed_ != nullptr ? borrowed_->Name(borrowed_->ordinaryCount + i) : std::string_view(items_[i]);
  }
  std::size_t ListCount() const { return borrowed_ != nullptr ? borrowed_->HiddenCount() : count_; }

 private:
  std::vector<std::string> items_;  // slots beyond count_ keep their capacity for reuse
  std::size_t count_ = 0;
  std::shared_ptr<const DirSummary> borrowed_;
};

}  // namespace kvor::platform
