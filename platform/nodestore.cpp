#include "platform/nodestore.h"

#include <array>
#include <charconv>

namespace kvor::platform {

namespace {
constexpr std::array<std::string_view, 6> kPictureKeys = {"", "open", "closed", "hopen", "hclosed",
                                                          "xclosed"};
}

Picture PictureByKey(std::string_view key) {
  for (std::size_t i = 1; i < kPictureKeys.size(); ++i)
    if (kPictureKeys[i] == key) return static_cast<Picture>(i);
  return Picture::None;
}

std::string_view PictureKey(Picture picture) { return kPictureKeys[static_cast<std::size_t>(picture)]; }

void NodeStore::Clear() {
  nodes_.clear();
  topLevel_.clear();
}

NodeStore::Index NodeStore::Add(Index parent, std::string_view key, std::string_view text,
                                 Picture image, Picture selectedImage) {
  const auto index = static_cast<Index>(nodes_.size());
  auto& siblings = parent == kNone ? topLevel_ : nodes_[parent].children;
  Node node;
  node.key.assign(key);
  node.text.assign(text);
  node.parent = parent;
  node.row = static_cast<uint32_t>(siblings.size());
  node.image = image;
  node.selectedImage = selectedImage;
  siblings.push_back(index);
  nodes_.push_back(std::move(node));
  return index;
}

NodeStore::Index NodeStore::Find(std::string_view key) const {
  if (key.empty()) return kNone;
  // The walk's keys start with the node counter, which is also the node's index.
  Index guess = 0;
  const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), guess);
  if (ec == std::errc{} && end != key.data() && guess < nodes_.size() && nodes_[guess].key == key)
    return guess;
  for (Index i = 0; i < nodes_.size(); ++i)
    if (nodes_[i].key == key) return i;
  return kNone;
}

std::size_t NodeStore::ChildCount(Index node) const {
  return node == kNone ? topLevel_.size() : nodes_[node].children.size();
}

NodeStore::Index NodeStore::Child(Index node, std::size_t row) const {
  return node == kNone ? topLevel_[row] : nodes_[node].children[row];
}

}  // namespace kvor::platform
