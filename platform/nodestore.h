#pragma once
// The tree's nodes, kept apart from any view: keys, texts, pictures by key, expanded flags
// and children in the order added. Compact enough for several hundred thousand directories.
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace kvor::platform {

// The tree pictures, in the image list's order; 0 is "no picture".
enum class Picture : uint8_t { None = 0, Open = 1, Closed = 2, HOpen = 3, HClosed = 4, XClosed = 5 };
Picture PictureByKey(std::string_view key);   // None for a key not in the list
std::string_view PictureKey(Picture picture);

class NodeStore {
 public:
  using Index = uint32_t;
  static constexpr Index kNone = UINT32_MAX;

  void Clear();
  // Appends a node as the last child of `parent` (kNone: a top-level node).
  Index Add(Index parent, std::string_view key, std::string_view text, Picture image,
            Picture selectedImage);
  // The walk's own form: a child of `parent` whose key is `counter`, "?" and the parent's path
  // joined with `name`. Costs the name alone, however deep the parent lies.
  Index AddChild(Index parent, int64_t counter, std::string_view name, std::string_view text,
                 Picture image, Picture selectedImage);
  // The node with this key, or kNone. Keys that begin with their node's counter are found
  // without a search.
  Index Find(std::string_view key) const;

  void SetText(Index node, std::string_view text) { nodes_[node].text.assign(text); }
  void SetExpanded(Index node, bool expanded) { nodes_[node].expanded = expanded; }
  // Why the node's directory was not read whole (ReadProblem flags of platform/listing.h),
  // and the errno behind it; 0 and 0 for a directory read whole.
  void SetProblem(Index node, uint8_t problems, int error) {
    nodes_[node].problems = problems;
    nodes_[node].error = error;
  }
  uint8_t Problems(Index node) const { return nodes_[node].problems; }
  int Error(Index node) const { return nodes_[node].error; }

  std::size_t size() const { return nodes_.size(); }
  std::string Key(Index node) const;
  // The directory's full path: the key without its counter.
  std::string Path(Index node) const;
  const std::string& Text(Index node) const { return nodes_[node].text; }
  Picture Image(Index node) const { return nodes_[node].image; }
  Picture SelectedImage(Index node) const { return nodes_[node].selectedImage; }
  bool Expanded(Index node) const { return nodes_[node].expanded; }
  Index Parent(Index node) const { return nodes_[node].parent; }
  // Position among its siblings.
  uint32_t Row(Index node) const { return nodes_[node].row; }
  std::size_t ChildCount(Index node) const;
  Index Child(Index node, std::size_t row) const;
  // Top-level nodes are the children of kNone.

 private:
  // A key of the walk's form, "<index>?<parent's path>/<name>", is kept as the name alone;
  // any other key is kept whole.
  struct Node {
    std::string keyPart;
    std::string text;
    std::vector<Index> children;
    Index parent = kNone;
    uint32_t row = 0;
    Picture image = Picture::None;
    Picture selectedImage = Picture::None;
    bool expanded = false;
    bool nameOnly = false;
    uint8_t problems = 0;
    int error = 0;
  };
  Index Append(Index parent, Node&& node);
  void AppendPath(Index node, std::string& out) const;
  bool PathEquals(Index node, std::string_view path) const;
  static std::string_view PathOfKey(std::string_view key);

  std::deque<Node> nodes_;  // no reallocation peak as the tree grows
  std::vector<Index> topLevel_;
};

}  // namespace kvor::platform
