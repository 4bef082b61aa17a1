#include <gtest/gtest.h>

#include "platform/nodestore.h"

namespace kvor::platform {
namespace {

TEST(NodeStore, KeepsChildrenInTheOrderAddedAndFindsByKey) {
  NodeStore store;
  const auto root = store.Add(NodeStore::kNone, "0?/", "Root", Picture::Closed, Picture::Open);
  const auto b = store.Add(root, "1?/b", "b", Picture::Closed, Picture::Open);
  const auto a = store.Add(root, "2?/a", "a", Picture::HClosed, Picture::HOpen);
  const auto inner = store.Add(b, "3?/b/x", "x", Picture::Closed, Picture::Open);
  EXPECT_EQ(store.ChildCount(NodeStore::kNone), 1u);
  EXPECT_EQ(store.ChildCount(root), 2u);
  EXPECT_EQ(store.Child(root, 0), b);
  EXPECT_EQ(store.Child(root, 1), a);
  EXPECT_EQ(store.Row(a), 1u);
  EXPECT_EQ(store.Parent(inner), b);
  EXPECT_EQ(store.Parent(root), NodeStore::kNone);
  EXPECT_EQ(store.Find("2?/a"), a);
  EXPECT_EQ(store.Find("3?/b/x"), inner);
  EXPECT_EQ(store.Find("3?/b/y"), NodeStore::kNone);   // right counter, wrong path
  EXPECT_EQ(store.Find("99?/a"), NodeStore::kNone);
  EXPECT_EQ(store.Find(""), NodeStore::kNone);
  store.SetText(a, "changed");
  store.SetExpanded(root, true);
  EXPECT_EQ(store.Text(a), "changed");
  EXPECT_TRUE(store.Expanded(root));
  EXPECT_FALSE(store.Expanded(a));
}

TEST(NodeStore, KeysThatDoNotStartWithACounterAreStillFound) {
  NodeStore store;
  store.Add(NodeStore::kNone, "", "User Aborted...", Picture::XClosed, Picture::XClosed);
  const auto named = store.Add(NodeStore::kNone, "some key", "t", Picture::Closed, Picture::Open);
  EXPECT_EQ(store.Find("some key"), named);
  EXPECT_EQ(store.Image(0), Picture::XClosed);
  store.Clear();
  EXPECT_EQ(store.size(), 0u);
  EXPECT_EQ(store.ChildCount(NodeStore::kNone), 0u);
}

TEST(NodeStore, PictureKeysInImageListOrder) {
  EXPECT_EQ(PictureByKey("open"), Picture::Open);
  EXPECT_EQ(PictureByKey("xclosed"), Picture::XClosed);
  EXPECT_EQ(PictureByKey("Open"), Picture::None);
  EXPECT_EQ(PictureKey(Picture::HOpen), "hopen");
}

}  // namespace
}  // namespace kvor::platform
