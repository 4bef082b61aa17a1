#include "engine/storetree.h"

namespace kvor {

TreeView::Node StoreTree::Add(std::string_view relative, int relationship, std::string_view key,
                              std::string_view text, std::string_view image,
                              std::string_view selectedImage) {
  platform::NodeStore::Index parent = platform::NodeStore::kNone;
  if (!relative.empty() && relationship == tvwChild) parent = store_.Find(relative);
  return store_.Add(parent, key, text, platform::PictureByKey(image),
                    platform::PictureByKey(selectedImage));
}

}  // namespace kvor
