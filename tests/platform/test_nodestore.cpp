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

TEST(NodeStore, PictureKeysInImageListOrder) {
  EXPECT_EQ(PictureByKey("open"), Picture::Open);
  EXPECT_EQ(PictureByKey("xclosed"), Picture::XClosed);
  EXPECT_EQ(PictureByKey("Open"), Picture::None);
  EXPECT_EQ(PictureKey(Picture::HOpen), "hopen");
}

}  // namespace
}  // namespace kvor::platform

namespace kvor::platform {
namespace {

TEST(NodeStore, WalkKeysAreRebuiltExactlyFromTheirNames) {
  NodeStore store;
  const auto root = store.Add(NodeStore::kNone, "0?/", "Root", Picture::Closed, Picture::Open);
  const auto a = store.Add(root, "1?/a", "a", Picture::Closed, Picture::Open);
  const auto b = store.Add(a, "2?/a/b c", "b c", Picture::Closed, Picture::Open);
  const auto odd = store.Add(a, "3?/elsewhere/x", "x", Picture::Closed, Picture::Open);
  const auto wrongCounter = store.Add(a, "9?/a/y", "y", Picture::Closed, Picture::Open);
  EXPECT_EQ(store.Key(root), "0?/");
  EXPECT_EQ(store.Key(a), "1?/a");
  EXPECT_EQ(store.Key(b), "2?/a/b c");
  EXPECT_EQ(store.Key(odd), "3?/elsewhere/x");
  EXPECT_EQ(store.Key(wrongCounter), "9?/a/y");
  EXPECT_EQ(store.Find("1?/a"), a);
  EXPECT_EQ(store.Find("1?//a"), NodeStore::kNone);
  EXPECT_EQ(store.Find("1?a"), NodeStore::kNone);
  EXPECT_EQ(store.Find("2?/a/b c"), b);
  EXPECT_EQ(store.Find("2?/a/b"), NodeStore::kNone);
  EXPECT_EQ(store.Find("2?/x/b c"), NodeStore::kNone);
  EXPECT_EQ(store.Find("3?/elsewhere/x"), odd);
  EXPECT_EQ(store.Find("9?/a/y"), wrongCounter);
  const auto plain = store.Add(NodeStore::kNone, "", "User Aborted...", Picture::XClosed, Picture::XClosed);
  EXPECT_EQ(store.Find(""), NodeStore::kNone);
  EXPECT_EQ(store.Key(plain), "");

  NodeStore below;  // a drive whose root is not "/"
  const auto r = below.Add(NodeStore::kNone, "0?/srv/data", "Root", Picture::Closed, Picture::Open);
  const auto c = below.Add(r, "1?/srv/data/c", "c", Picture::Closed, Picture::Open);
  EXPECT_EQ(below.Key(c), "1?/srv/data/c");
  EXPECT_EQ(below.Find("1?/srv/data/c"), c);
  EXPECT_EQ(below.Find("1?/srv/datac"), NodeStore::kNone);

  // Added by parent and name, as the walk adds: the same keys, found the same way.
  const auto d = below.AddChild(c, 2, "d e", "d", Picture::HClosed, Picture::HOpen);
  const auto late = below.AddChild(d, 7, "x", "x", Picture::Closed, Picture::Open);  // counter is not the index
  const auto f = below.AddChild(late, 4, "f", "f", Picture::Closed, Picture::Open);
  EXPECT_EQ(below.Key(d), "2?/srv/data/c/d e");
  EXPECT_EQ(below.Key(late), "7?/srv/data/c/d e/x");
  EXPECT_EQ(below.Key(f), "4?/srv/data/c/d e/x/f");
  EXPECT_EQ(below.Find("2?/srv/data/c/d e"), d);
  EXPECT_EQ(below.Find("7?/srv/data/c/d e/x"), late);
  EXPECT_EQ(below.Path(f), "/srv/data/c/d e/x/f");
  EXPECT_EQ(store.AddChild(root, 6, "top", "t", Picture::Closed, Picture::Open), 6u);
  EXPECT_EQ(store.Key(6), "6?/top");  // below "/" no doubled separator
  EXPECT_EQ(below.Problems(d), 0);
  below.SetProblem(d, 5, 13);
  EXPECT_EQ(below.Problems(d), 5);
  EXPECT_EQ(below.Error(d), 13);
}

}  // namespace
}  // namespace kvor::platform
