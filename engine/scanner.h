#pragma once
// The scan: the directory reading that runs whenever the directory list moves, the walk
// that builds the tree, and the disk-information counts. The main window owns one; so do the
// report tool and the tests.
#include <cstdint>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

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

  // Mode 1 queries the drive whose root is `driveRoot` into the drive figures and writes the
  // panel (if any); every mode then stores the three list counts.
  void ShowDiskInfo(int mode, std::string_view driveRoot = {}, DiskInfoPanel* panel = nullptr);

  // Walks the whole drive at whose root dirList stands (read, with the drive queried).
  void ScanDrive();
  // Walks one subdirectory of the directory at which dirList stands; returns "bytes,lost",
  // or "" when the scan was stopped.
  std::string ScanDirectory(std::size_t index, const std::string& parentKey, bool hidden);

  // Queries the drive figures of the root at which dirList stands, through its descriptor;
  // false (errno set) when the file system does not answer.
  bool QueryRoot(DiskInfoPanel* panel = nullptr);

  // The start-up's engine steps before the walk, for the drive whose root is `root`: the root
  // opened once (a link to a directory followed) and read, the drive's space queried through
  // it into the figures and `panel`, the root's own figures taken with its cluster size.
  enum class Reach { Reached, NotOpened, NotQueried };  // errno tells why
  Reach ReachDrive(const std::string& root, DiskInfoPanel* panel = nullptr);

  ScanState& state() { return s_; }

  platform::DirListBox dirList;
  platform::FileListBox fileList;
  platform::ListBox lstHidden;

 private:
  using Int128 = platform::Int128;
  enum class TextForm { Ordinary, HiddenChild };
  // A subtree's figures as the walk hands them up; `counted` is false for a directory left
  // out because it lies on another drive.
  struct Sums {
    Int128 bytes = 0;
    Int128 lost = 0;
    bool counted = true;
  };
  // One directory of the path being walked.
  struct Frame {
    TreeView::Node node;
    int64_t counter;
    std::size_t parentLength;  // walkPath_ up to the parent
    std::size_t nameStart;
    Int128 bytes;
    Int128 lost;
    int64_t i = 0;
    int64_t bound = 0;
    uint8_t phase = 0;  // 0 ordinary children, 1 hidden ones, 2 done
    bool started = false;
    bool retext = false;  // a child counted: the text changes once all are done
    TextForm form = TextForm::Ordinary;
  };
  enum class Step { Pushed, Done, Stopped };

  std::optional<Sums> Walk(std::size_t index, TreeView::Node parent, int64_t parentCounter, bool hidden);
  Step Begin(std::size_t index, bool hidden, TreeView::Node parent, int64_t parentCounter);
  Step Next();
  Step NotEntered(TreeView::Node parent, const TreeView::ChildKey& key, std::string_view image,
                  std::string_view selectedImage, int error);
  void SetFigures(Int128 bytes, Int128 lost);
  std::string DirectoryText(std::string_view name, Int128 bytes, Int128 lost, TextForm form) const;
  void WriteDrive(DiskInfoPanel* panel) const;

  ScanState& s_;
  const platform::System& system_;
  char decimalSeparator_ = '.';  // the locale's, taken once per scan
  TreeView& tvDisk_;
  ScanProgress& progress_;
  // The directory read last, exactly (the scan state's figures stop at 64 bits).
  Int128 dirBytes_ = 0;
  Int128 dirLost_ = 0;
  Int128 totalFileBytes_ = 0;
  std::string walkPath_;        // the path of the directory being entered or walked
  std::vector<Frame> frames_;   // the walk's own stack: depth costs memory, not call stack
  Sums last_;                   // what the step just done hands to the frame below
};

// A 128-bit figure held in 64 bits: the largest (or smallest) value when it does not fit.
int64_t Saturate(platform::Int128 value);

// The text after the last separator ("" when the path ends with one).
std::string PathLeaf(std::string_view path);
// The text before the last separator.
std::string PathParent(std::string_view path);
// Field 1 (before the first ",") or any other selector (after it) of a walk result.
int64_t PairField(std::string_view text, uint8_t selector);

}  // namespace kvor
