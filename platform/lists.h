#pragma once
// The three invisible lists the directory reading works with: the directory list (the
// cursor of the walk), the file list and the unsorted hidden list.
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/listing.h"
#include "platform/mounts.h"

namespace kvor::platform {

class System;

// The ordinary subdirectories of its path. Setting a different path reads that directory and
// raises the change handler before returning. The directories on the current path are kept,
// so moving back to the parent gives the parent as it was first read.
class DirListBox {
 public:
  explicit DirListBox(const System& system);
  ~DirListBox();
  DirListBox(const DirListBox&) = delete;
  DirListBox& operator=(const DirListBox&) = delete;

  const std::string& Path() const;

  // Accepts a directory path or a drive list entry's text. Returns false and leaves the
  // path unchanged when the directory cannot be opened or the read was cancelled.
  bool SetPath(std::string_view path);

  // Reads the current directory from the file system again, without raising the handler.
  bool Refresh();

  // The root of the drive at which the list stands.
  std::string DriveRoot() const;
  // Makes `root` count as its drive's root (the report tool scans any directory as a drive).
  void SetDriveRoot(std::string root) { rootOverride_ = std::move(root); }

  // Full path of the i-th ordinary subdirectory; List(-1) is the path itself.
  std::string List(std::ptrdiff_t i) const;
  std::size_t ListCount() const;

  void OnChange(std::function<void()> handler) { onChange_ = std::move(handler); }
  void SetCancelFlag(const std::atomic<bool>* cancel) { cancel_ = cancel; }

  // The read behind the current path; empty before the first move.
  const DirListing& Current() const;

  // True while the change handler runs for a directory just read from the file system
  // (not for a return to the parent, which is served from the read kept on the way down).
  bool RaisingFreshRead() const { return freshRaise_; }

 private:
  struct Level;
  bool Enter(int fd, std::string path, bool jump);
  void Raise(bool fresh);

  const System& system_;
  MountTable mounts_;
  std::vector<std::unique_ptr<Level>> levels_;  // kept allocated for reuse
  std::size_t depth_ = 0;
  std::string rootOverride_;
  std::function<void()> onChange_;
  const std::atomic<bool>* cancel_ = nullptr;
  bool freshRaise_ = false;
  DirListing empty_;
};

// Counts the files (every entry that is not a directory) of its path.
class FileListBox {
 public:
  explicit FileListBox(const DirListBox& sibling) : sibling_(sibling) {}
  void SetPath(std::string_view path);
  const std::string& Path() const { return path_; }
  std::size_t ListCount() const { return count_; }

 private:
  const DirListBox& sibling_;
  std::string path_;
  std::size_t count_ = 0;
};

// An unsorted list of texts; entries stay in the order added.
class ListBox {
 public:
  void Clear() { count_ = 0; }
  void AddItem(std::string_view text);
  const std::string& List(std::size_t i) const { return items_[i]; }
  std::size_t ListCount() const { return count_; }

 private:
  std::vector<std::string> items_;  // slots beyond count_ keep their capacity for reuse
  std::size_t count_ = 0;
};

}  // namespace kvor::platform
