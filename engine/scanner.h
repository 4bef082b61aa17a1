#pragma once
// The scan: the directory reading that runs whenever the directory list moves, the walk
// that builds the tree, and the disk-information counts. The main window owns one; so do the
// report tool and the tests.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/interfaces.h"
#include "engine/scanstate.h"
#include "platform/lists.h"
#include "platform/system.h"

namespace kvor {

class Scanner {
 public:
  Scanner(ScanState& state, const platform::System& system, TreeView& tvDisk,
          ScanProgress& progress);
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // The change handler of dirList: takes stock of the directory at which it stands.
  void dirList_Change();

  // Mode 1 queries the drive named by `driveText` into the drive figures and writes the
  // panel (if any); every mode then stores the three list counts.
  void ShowDiskInfo(int mode, std::string_view driveText = {}, DiskInfoPanel* panel = nullptr);

  // Walks the whole drive at whose root dirList stands (read, with the drive queried).
  void ScanDrive();
  // Walks one subdirectory of the directory at which dirList stands; returns "bytes,lost",
  // or "" when the scan was stopped.
  std::string ScanDirectory(std::size_t index, const std::string& parentKey, bool hidden);

  ScanState& state() { return s_; }
  const platform::System& system() const { return system_; }

  platform::DirListBox dirList;
  platform::FileListBox fileList;
  platform::ListBox lstHidden;

 private:
  enum class TextForm { Ordinary, HiddenChild };
  std::string DirectoryText(std::string_view name, int64_t bytes, int64_t lost, TextForm form) const;

  ScanState& s_;
  const platform::System& system_;
  char decimalSeparator_ = '.';  // the locale's, taken once per scan
  TreeView& tvDisk_;
  ScanProgress& progress_;
};

// The text after the last separator ("" when the path ends with one).
std::string PathLeaf(std::string_view path);
// The text before the last separator.
std::string PathParent(std::string_view path);
// Field 1 (before the first ",") or any other selector (after it) of a walk result.
int64_t PairField(std::string_view text, uint8_t selector);
// Space lost to rounding `size` up to whole clusters.
int64_t LostSpace(uint64_t size, int64_t clusterSize);

}  // namespace kvor
