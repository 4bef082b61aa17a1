#include "platform/nodestore.h"

#include <array>
#include <charconv>

#include "platform/pathrules.h"

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
  Node node;
  const std::string_view path = PathOfKey(key);
  const auto lastSeparator = path.rfind(kSeparator);
  Index counter = kNone;
  std::from_chars(key.data(), key.data() + key.size(), counter);
  if (parent != kNone && counter == index && lastSeparator != std::string_view::npos &&
      lastSeparator + 1 < path.size()) {
    // The parent's path, with or without the separator before the name (a root "/" keeps it).
    node.nameOnly = PathEquals(parent, path.substr(0, lastSeparator)) ||
                    PathEquals(parent, path.substr(0, lastSeparator + 1));
    if (node.nameOnly) node.keyPart.assign(path.substr(lastSeparator + 1));
  }
  if (!node.nameOnly) node.keyPart.assign(key);
  node.text.assign(text);
  node.image = image;
  node.selectedImage = selectedImage;
  return Append(parent, std::move(node));
}

NodeStore::Index NodeStore::AddChild(Index parent, int64_t counter, std::string_view name,
                                     std::string_view text, Picture image, Picture selectedImage) {
  Node node;
  node.nameOnly = parent != kNone && counter == static_cast<int64_t>(nodes_.size());
  if (node.nameOnly) {
    node.keyPart.assign(name);
  } else {
    // A counter that is not the index: the key is kept whole, as Add would keep it.
    node.keyPart = std::to_string(counter);
    node.keyPart.push_back('?');
    if (parent != kNone) AppendPath(parent, node.keyPart);
    if (node.keyPart.back() != kSeparator) node.keyPart.push_back(kSeparator);
    node.keyPart.append(name);
  }
  node.text.assign(text);
  node.image = image;
  node.selectedImage = selectedImage;
  return Append(parent, std::move(node));
}

NodeStore::Index NodeStore::Append(Index parent, Node&& node) {
  const auto index = static_cast<Index>(nodes_.size());
  auto& siblings = parent == kNone ? topLevel_ : nodes_[parent].children;
  node.parent = parent;
  node.row = static_cast<uint32_t>(siblings.size());
  siblings.push_back(index);
  nodes_.push_back(std::move(node));
  return index;
}

std::string NodeStore::Path(Index node) const {
  std::string path;
  AppendPath(node, path);
  return path;
}

std::string_view NodeStore::PathOfKey(std::string_view key) {
  const auto mark = key.find('?');
  return mark == std::string_view::npos ? std::string_view{} : key.substr(mark + 1);
}

void NodeStore::AppendPath(Index node, std::string& out) const {
  // Up to the nearest node kept whole, then down again; no recursion, chains can be deep.
  std::vector<Index> chain;
  while (nodes_[node].nameOnly) {
    chain.push_back(node);
    node = nodes_[node].parent;
  }
  const std::size_t start = out.size();
  out.append(PathOfKey(nodes_[node].keyPart));
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (out.size() == start || out.back() != kSeparator) out.push_back(kSeparator);
    out.append(nodes_[*it].keyPart);
  }
}

bool NodeStore::PathEquals(Index node, std::string_view path) const {
  for (;;) {
    const Node& n = nodes_[node];
    if (!n.nameOnly) return PathOfKey(n.keyPart) == path;
    if (path.size() < n.keyPart.size() + 1 || path.substr(path.size() - n.keyPart.size()) != n.keyPart)
      return false;
    path.remove_suffix(n.keyPart.size());
    if (path.back() != kSeparator) return false;
    // The separator belongs to the parent's path only where that path ends with one ("/").
    const Node& p = nodes_[n.parent];
    const std::string_view parentStored = p.nameOnly ? std::string_view{} : PathOfKey(p.keyPart);
    if (parentStored.empty() || parentStored.back() != kSeparator) path.remove_suffix(1);
    node = n.parent;
  }
}

std::string NodeStore::Key(Index node) const {
  const Node& n = nodes_[node];
  if (!n.nameOnly) return n.keyPart;
  std::string key = std::to_string(node);
  key.push_back('?');
  AppendPath(node, key);
  return key;
}

NodeStore::Index NodeStore::Find(std::string_view key) const {
  if (key.empty()) return kNone;
  // The walk's keys start with the node counter, which is also the node's index.
  Index guess = 0;
  const auto [end, ec] = std::from_chars(key.data(), key.data() + key.size(), guess);
  if (ec == std::errc{} && end != key.data() && guess < nodes_.size()) {
    const Node& n = nodes_[guess];
    if (n.nameOnly ? (*end == '?' && PathEquals(guess, key.substr(end - key.data() + 1)))
                   : n.keyPart == key)
      return guess;
  }
  for (Index i = 0; i < nodes_.size(); ++i)
    if (!nodes_[i].nameOnly && nodes_[i].keyPart == key) return i;
  return kNone;
}

std::size_t NodeStore::ChildCount(Index node) const {
  return node == kNone ? topLevel_.size() : nodes_[node].children.size();
}

NodeStore::Index NodeStore::Child(Index node, std::size_t row) const {
  return node == kNone ? topLevel_[row] : nodes_[node].children[row];
}

}  // namespace kvor::platform
