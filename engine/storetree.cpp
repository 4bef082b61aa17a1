#include "engine/storetree.h"

namespace kvor {

platform::NodeStore::Index ParentOf(const platform::NodeStore& store, std::string_view relative,
                                    int relationship) {
  if (relative.empty() || relationship != tvwChild) return platform::NodeStore::kNone;
  return store.Find(relative);
}

TreeView::Node StoreTree::Add(std::string_view relative, int relationship, std::string_view key,
                              std::string_view text, std::string_view image,
                              std::string_view selectedImage) {
  return store_.Add(ParentOf(store_, relative, relationship), key, text, platform::PictureByKey(image),
                    platform::PictureByKey(selectedImage));
}

}  // namespace kvor
