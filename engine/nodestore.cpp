#include "engine/nodestore.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "platform/pathrules.h"

namespace kvor {

void NodeStore::Clear() { *this = NodeStore(); }

static_assert(std::is_trivially_destructible_v<NodeStore::Node>, "chunks are freed without destroying nodes");

void NodeStore::AddChunk() {
  std::unique_ptr<Node[], FreeChunk> chunk(
      static_cast<Node*>(::operator new(sizeof(Node) << kChunkBits, std::align_val_t{alignof(Node)})));
  chunks_.push_back(std::move(chunk));
}

NodeStore::Index NodeStore::AddRoot(std::string_view path) {
  Clear();
  rootPath_.assign(path);
  AddChunk();
  new (&(*this)[0]) Node{.form = Form::Root};
  size_ = 1;
  return 0;
}

NodeStore::Index NodeStore::Add(Index parent, std::string_view name, bool hidden) {
  // A name never straddles two chunks.
  if (name.size() > std::numeric_limits<uint16_t>::max()) throw std::bad_alloc();
  const std::size_t chunkEnd = names_.size() * kNameChunk;
  if (nameEnd_ + name.size() > chunkEnd || names_.empty()) {
    if (chunkEnd + kNameChunk > std::numeric_limits<uint32_t>::max()) throw std::bad_alloc();
    names_.push_back(std::make_unique_for_overwrite<char[]>(kNameChunk));
    nameEnd_ = chunkEnd;
  }
  const auto index = static_cast<Index>(size_);
  if (index == kNone) throw std::bad_alloc();
  if ((index & kChunkMask) == 0) AddChunk();
  std::memcpy(&names_[nameEnd_ / kNameChunk][nameEnd_ % kNameChunk], name.data(), name.size());
  Node& node = *new (&(*this)[index]) Node{};
  node.parent = parent;
  node.row = (*this)[parent].children++;
  node.nameOffset = static_cast<uint32_t>(nameEnd_);
  node.nameLength = static_cast<uint16_t>(name.size());
  node.hidden = hidden;
  nameEnd_ += name.size();
  ++size_;
  return index;
}

std::string_view NodeStore::Name(Index node) const {
  if (node == 0) return rootPath_;
  const Node& n = (*this)[node];
  return {&names_[n.nameOffset / kNameChunk][n.nameOffset % kNameChunk], n.nameLength};
}

std::string NodeStore::Path(Index node) const {
  // Up to the root, then down again; no recursion, chains can be deep.
  std::vector<Index> chain;
  for (; node != 0; node = (*this)[node].parent) chain.push_back(node);
  std::string path = rootPath_;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) platform::AppendName(path, Name(*it));
  return path;
}

std::size_t NodeStore::ChildCount(Index node) const {
  if (node == kNone) return size_ == 0 ? 0 : 1;
  return (*this)[node].children;
}

NodeStore::Index NodeStore::Child(Index node, std::size_t row) const {
  if (node == kNone) return 0;
  if (indexed_ != size_) {
    // Counting sort by parent: each node's children lie together, in the order added.
    childStart_.assign(size_ + 1, 0);
    for (Index i = 0; i < size_; ++i) childStart_[i + 1] = childStart_[i] + (*this)[i].children;
    childList_.resize(size_ == 0 ? 0 : size_ - 1);
    for (Index i = 1; i < size_; ++i) {
      const Node& n = (*this)[i];
      childList_[childStart_[n.parent] + n.row] = i;
    }
    indexed_ = size_;
  }
  return childList_[childStart_[node] + row];
}

}  // namespace kvor
