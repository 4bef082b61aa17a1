#pragma once
// The walk's tree backed by the node store that the report tool prints and the main
// window's model shows.
#include "engine/interfaces.h"
#include "platform/nodestore.h"

namespace kvor {

// The node an Add names by its relative's key: that node for a child, none for a top-level one.
platform::NodeStore::Index ParentOf(const platform::NodeStore& store, std::string_view relative,
                                    int relationship);

class StoreTree final : public TreeView {
 public:
  explicit StoreTree(platform::NodeStore& store) : store_(store) {}
  void Clear() override { store_.Clear(); }
  Node Add(std::string_view relative, int relationship, std::string_view key,
           std::string_view text, std::string_view image,
           std::string_view selectedImage) override;
  Node Find(std::string_view key) const override { return store_.Find(key); }
  void SetText(Node node, std::string_view text) override { store_.SetText(node, text); }
  void SetExpanded(Node node, bool expanded) override { store_.SetExpanded(node, expanded); }
  Node AddChild(Node parent, const ChildKey& key, std::string_view text, std::string_view image,
                std::string_view selectedImage) override {
    return store_.AddChild(parent, key.counter, key.name, text, platform::PictureByKey(image),
                           platform::PictureByKey(selectedImage));
  }
  void SetProblem(Node node, uint8_t problems, int error) override {
    store_.SetProblem(node, problems, error);
  }

 private:
  platform::NodeStore& store_;
};

}  // namespace kvor
