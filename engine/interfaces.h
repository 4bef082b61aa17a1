#pragma once
// What the walk needs from the windows: a tree to fill, a place to show the directory being
// read, a chance for waiting events to run, and the three labels of the disk panel.
#include <cstdint>
#include <string_view>

namespace kvor {

// Relationship code that makes a new node a child of its relative.
inline constexpr int tvwChild = 4;

class TreeView {
 public:
  using Node = uint32_t;
  static constexpr Node kNoNode = UINT32_MAX;

  virtual ~TreeView() = default;
  virtual void Clear() = 0;
  // Adds a node; an empty `relative` makes it a top-level node. Pictures are image-list keys.
  virtual Node Add(std::string_view relative, int relationship, std::string_view key,
                   std::string_view text, std::string_view image,
                   std::string_view selectedImage) = 0;
  virtual Node Find(std::string_view key) const = 0;
  virtual void SetText(Node node, std::string_view text) = 0;
  virtual void SetExpanded(Node node, bool expanded) = 0;
};

class ScanProgress {
 public:
  virtual ~ScanProgress() = default;
  // The directory about to be read (the progress dialog's label, repainted).
  virtual void ShowCurrentDir(std::string_view path) = 0;
  // Lets waiting user-interface events run once.
  virtual void DoEvents() = 0;
};

class DiskInfoPanel {
 public:
  virtual ~DiskInfoPanel() = default;
  virtual void SetUsed(std::string_view text) = 0;
  virtual void SetFree(std::string_view text) = 0;
  virtual void SetTotal(std::string_view text) = 0;
};

// Progress and yield that do nothing, for headless scans.
class NoProgress final : public ScanProgress {
 public:
  void ShowCurrentDir(std::string_view) override {}
  void DoEvents() override {}
};

}  // namespace kvor
