#pragma once
// What the walk needs from the windows: a tree to fill, a place to show the directory being
// read, a chance for waiting events to run, and the three labels of the disk panel.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvor {

// Relationship code that makes a new node a child of its relative.
inline constexpr int tvwChild = 4;

class TreeView {
 public:
  using Node = uint32_t;

  virtual ~TreeView() = default;
  virtual void Clear() = 0;
  // Adds a node; an empty `relative` makes it a top-level node. Pictures are image-list keys.
  virtual Node Add(std::string_view relative, int relationship, std::string_view key,
                   std::string_view text, std::string_view image,
                   std::string_view selectedImage) = 0;
  virtual Node Find(std::string_view key) const = 0;
  virtual void SetText(Node node, std::string_view text) = 0;
  virtual void SetExpanded(Node node, bool expanded) = 0;

  // The key of a directory the walk adds: counter, "?", full path. The parent's key is formed
  // alike from its counter and the path's first parentLength bytes.
  struct ChildKey {
    int64_t parentCounter = 0;
    std::size_t parentLength = 0;
    int64_t counter = 0;
    std::string_view path;
    std::string_view name;  // the end of `path`
  };
  // Adds a child of `parent` as Add(parent's key, tvwChild, key, ...) does. A tree that can
  // address its parent by node does so without spelling out either key, which a deep tree
  // would pay for at every level.
  virtual Node AddChild(Node parent, const ChildKey& key, std::string_view text,
                        std::string_view image, std::string_view selectedImage) {
    (void)parent;
    const auto spell = [](int64_t counter, std::string_view path) {
      std::string out = std::to_string(counter);
      out.push_back('?');
      out.append(path);
      return out;
    };
    return Add(spell(key.parentCounter, key.path.substr(0, key.parentLength)), tvwChild,
               spell(key.counter, key.path), text, image, selectedImage);
  }
  // Marks a node whose directory was not read whole: ReadProblem flags and the errno.
  virtual void SetProblem(Node node, uint8_t problems, int error) {
    (void)node, (void)problems, (void)error;
  }
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
