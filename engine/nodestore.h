#pragma once
// The tree a scan builds: one node per directory, in the order the walk adds them, which is
// the order they are shown in (a directory before everything below it). A node holds numbers
// only; the text of its row is made from them where the row is shown (RowText).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/problems.h"

namespace kvor {

using platform::Int128;

class NodeStore {
 public:
  using Index = uint32_t;
  static constexpr Index kNone = UINT32_MAX;

  // The text a row takes: a directory's as added or after an ordinary child, or after a
  // hidden child; the root's until its walk is done ("Root"), and after.
  enum class Form : uint8_t { Ordinary, HiddenChild, Root, RootWalked };

  struct Node {
    Int128 bytes = 0;    // of the whole subtree (the root: every file found)
    Int128 lost = 0;     // likewise, with a cluster per directory
    uint64_t files = 0;  // its own, not its subtree's
    Index parent = kNone;
    uint32_t row = 0;       // among its parent's children
    uint32_t children = 0;
    uint32_t nameOffset = 0;
    int16_t error = 0;      // the errno behind `problems`
    uint16_t nameLength = 0;
    uint8_t problems = 0;   // platform::ReadProblem flags: why its figures are not whole
    Form form = Form::Ordinary;
    bool hidden = false;
  };

  NodeStore() = default;
  NodeStore(NodeStore&&) noexcept = default;
  NodeStore& operator=(NodeStore&&) noexcept = default;

  void Clear();
  // The root, node 0, named by its whole path.
  Index AddRoot(std::string_view path);
  // A directory, as the last child of `parent` so far. Throws std::bad_alloc when memory runs
  // out (a name is at most what a directory entry can hold, less than 64 KiB).
  Index Add(Index parent, std::string_view name, bool hidden);

  std::size_t size() const { return size_; }
  Node& operator[](Index i) { return chunks_[i >> kChunkBits][i & kChunkMask]; }
  const Node& operator[](Index i) const { return chunks_[i >> kChunkBits][i & kChunkMask]; }

  // The last component of its path; the root's whole path.
  std::string_view Name(Index node) const;
  std::string Path(Index node) const;

  // Children in the order added; the root is the one child of kNone.
  std::size_t ChildCount(Index node) const;
  Index Child(Index node, std::size_t row) const;

 private:
  static constexpr unsigned kChunkBits = 12;
  static constexpr Index kChunkMask = (Index{1} << kChunkBits) - 1;
  static constexpr std::size_t kNameChunk = 64 * 1024;

  // Nodes and names in chunks: the tree grows without a reallocation that would hold it twice.
  // A chunk's nodes are made as they are added: the pages of those not yet added stay untouched.
  struct FreeChunk {
    void operator()(Node* chunk) const { ::operator delete(chunk, std::align_val_t{alignof(Node)}); }
  };
  std::vector<std::unique_ptr<Node[], FreeChunk>> chunks_;
  void AddChunk();
  std::vector<std::unique_ptr<char[]>> names_;
  std::size_t size_ = 0;
  std::size_t nameEnd_ = 0;  // where the next name goes
  std::string rootPath_;
  // The children of every node, made when first asked for after the tree last grew.
  mutable std::vector<Index> childStart_, childList_;
  mutable std::size_t indexed_ = 0;
};

}  // namespace kvor
