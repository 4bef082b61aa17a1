// The node store, the invisible lists the scan moves through, and what the system layer
// reads from udev's and sysfs's folders.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>

#include "platform/lists.h"
#include "platform/mounts.h"
#include "platform/nodestore.h"
#include "tempdrive.h"

namespace kvor::platform {
namespace {

using namespace test;

TEST(NodeStore, ChildrenInOrderAddedKeysRebuiltAndFound) {
  NodeStore store;
  const auto root = store.Add(NodeStore::kNone, "0?/srv/data", "Root", Picture::Closed, Picture::Open);
  const auto b = store.Add(root, "1?/srv/data/b c", "b", Picture::Closed, Picture::Open);
  const auto a = store.Add(root, "2?/srv/data/a", "a", Picture::HClosed, Picture::HOpen);
  const auto odd = store.Add(b, "3?/elsewhere/x", "x", Picture::Closed, Picture::Open);    // not below its parent
  const auto wrong = store.Add(b, "9?/srv/data/b c/y", "y", Picture::Closed, Picture::Open);  // counter not its index
  // Added by parent and name, as the walk adds.
  const auto d = store.AddChild(b, 5, "d e", "d", Picture::HClosed, Picture::HOpen);
  const auto late = store.AddChild(d, 8, "x", "x", Picture::Closed, Picture::Open);
  EXPECT_EQ(store.ChildCount(NodeStore::kNone) * 10 + store.ChildCount(b), 13u);
  EXPECT_EQ(store.Child(root, 1) * 10 + store.Row(a), a * 10 + 1);
  EXPECT_EQ(store.Row(d), 2u);
  EXPECT_EQ(store.Parent(late), d);
  EXPECT_EQ(store.Parent(root), NodeStore::kNone);
  const std::pair<NodeStore::Index, const char*> keys[] = {
      {root, "0?/srv/data"}, {b, "1?/srv/data/b c"}, {a, "2?/srv/data/a"}, {odd, "3?/elsewhere/x"},
      {wrong, "9?/srv/data/b c/y"}, {d, "5?/srv/data/b c/d e"}, {late, "8?/srv/data/b c/d e/x"}};
  for (const auto& [node, key] : keys) {
    EXPECT_EQ(store.Key(node), key);
    EXPECT_EQ(store.Find(key), node) << key;
    EXPECT_EQ(store.Path(node), std::string(key).substr(std::string(key).find('?') + 1));
  }
  for (const char* missing : {"1?/srv/data/b", "1?/srv/datab c", "1?//srv/data/b c", "1?srv/data/b c", "99?/srv/data/a",
                              "2?/x/a", "", "6?/srv/data/b c/d e/x"})
    EXPECT_EQ(store.Find(missing), NodeStore::kNone) << missing;
  EXPECT_EQ(store.Key(store.Add(NodeStore::kNone, "", "User Aborted...", Picture::XClosed, Picture::XClosed)), "");
  EXPECT_EQ(store.Find(""), NodeStore::kNone);

  NodeStore top;  // below "/" no doubled separator
  const auto slash = top.Add(NodeStore::kNone, "0?/", "Root", Picture::Closed, Picture::Open);
  EXPECT_EQ(top.Key(top.AddChild(slash, 1, "usr", "u", Picture::Closed, Picture::Open)), "1?/usr");
  EXPECT_EQ(top.Find("1?/usr"), 1u);

  store.Clear();
  EXPECT_EQ(store.size() + store.ChildCount(NodeStore::kNone), 0u);
}

TEST(NodeStore, PictureKeysInImageListOrder) {
  const char* keys[] = {"", "open", "closed", "hopen", "hclosed", "xclosed"};
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(PictureByKey(keys[i]), static_cast<Picture>(i));
    EXPECT_EQ(PictureKey(static_cast<Picture>(i)), keys[i]);
  }
  EXPECT_EQ(PictureByKey("Open"), Picture::None);
}

TEST(DirListBox, MovesByPathDriveTextChildAndParent) {
  TempDir t;
  for (const char* dir : {"a", "a/b", "z", "zz", "zz/.h1", "zz/.h2"}) MakeDir(t / dir);
  MakeFile(t / "a/f", 1);
  MakeFile(t / "zz/g", 2);
  DirListBox list(LocalSystem());
  int raised = 0;
  list.OnChange([&] { ++raised; });
  EXPECT_FALSE(list.Up() || list.Refresh());
  EXPECT_EQ(list.EnterChild("a"), DirListBox::Move::Failed);  // standing nowhere
  EXPECT_FALSE(list.SetPath(" [label]"));                      // a text with no root: still nowhere
  EXPECT_TRUE(list.SetPath(t.path() + " [label]"));            // a drive list's text: its root
  EXPECT_TRUE(list.SetPath(t.path() + " [label]"));            // already there: nothing happens
  EXPECT_EQ(list.Path(), t.path());
  EXPECT_TRUE(list.SetPath(t / "a") && list.SetPath(t / "a/b") && list.SetPath(t / "a"));  // down, down, up
  EXPECT_EQ(list.Depth(), 2u);
  EXPECT_TRUE(list.SetPath(t / "a"));  // already there: nothing happens
  EXPECT_EQ(raised, 4);
  EXPECT_EQ(list.EnterChild(std::string(300, 'n')), DirListBox::Move::Failed);
  EXPECT_EQ(list.LastError(), ENAMETOOLONG);
  const int open = OpenDescriptors();
  EXPECT_TRUE(list.SetPath(t / "zz"));  // elsewhere: a new start, the old levels closed
  EXPECT_EQ(list.Depth(), 1u);
  EXPECT_EQ(OpenDescriptors(), open - 1);
  EXPECT_FALSE(list.SetPath(t / "missing [x]"));
  EXPECT_EQ(list.LastError(), ENOENT);
  EXPECT_EQ(list.Path() + "|" + list.RootPath().data(), t / "zz|" + t / "zz");
  list.SetDriveRoot(t / "z");  // "zz" is not within "z"
  EXPECT_EQ(list.DriveRoot(), MountTable::Read(LocalSystem()).MountPointOf(t / "zz"));
  list.SetDriveRoot(t.path());
  EXPECT_EQ(list.DriveRoot(), t.path());

  FileListBox files(list);
  files.SetPath(t / "a");  // not where the list stands: read on its own
  EXPECT_EQ(files.Path() + " " + std::to_string(files.ListCount()), t / "a 1");
  files.SetPath(list.Path());
  EXPECT_EQ(files.Path() + " " + std::to_string(files.ListCount()), t / "zz 1");
  ListBox hidden;
  hidden.Show(list.CurrentShared());
  hidden.AddItem("x");  // from then on a list of its own
  ASSERT_EQ(hidden.ListCount(), 3u);
  const auto read = list.CurrentShared();  // no ordinary subdirectory: its slots are the hidden ones
  EXPECT_EQ(std::string(hidden.List(0)) + "," + std::string(hidden.List(1)) + "," + std::string(hidden.List(2)),
            std::string(read->Name(0)) + "," + std::string(read->Name(1)) + ",x");
  EXPECT_EQ(read->ordinaryCount, 0u);
  hidden.Clear();
  EXPECT_EQ(hidden.ListCount(), 0u);
}

TEST(System, LabelsAndRemovableFlagsWhereUdevAndSysfsPutThem) {
  // In a mount namespace of its own, where tmpfs over /dev and /sys hides the machine's.
  const auto hide = [] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("kvortest", "/dev", "tmpfs", 0, nullptr) != 0 || ::mount("kvortest", "/sys", "tmpfs", 0, nullptr) != 0)
      ::_exit(0);
  };
  const std::string out = RunInChild(hide, [] {
    for (const char* dir : {"/dev/disk", "/dev/disk/by-label", "/sys/dev", "/sys/dev/block", "/sys/d", "/sys/d/sda",
                            "/sys/d/sda/sda1", "/sys/d/sdb", "/sys/d/sr0"})
      MakeDir(dir);
    for (const char* dev : {"/dev/sda1", "/dev/sdb", "/dev/sr0"}) MakeFile(dev, 0);
    MakeSymlink("../../sda1", "/dev/disk/by-label/My\\x20Disk\\x2fA\\xZZ\\x4");
    MakeSymlink("/dev/sdb", "/dev/disk/by-label/Ab\\x3a\\x3A\\x7e\\x39\\x30\\x4F\\x4f\\x09");
    for (const auto& [link, to] : {std::pair{"8:1", "sda/sda1"}, {"8:16", "sdb"}, {"11:0", "sr0"}})
      MakeSymlink(std::string("../../d/") + to, std::string("/sys/dev/block/") + link);
    for (const auto& [file, text] : {std::pair{"/sys/d/sda/removable", "1\n"}, {"/sys/d/sda/sda1/partition", "1\n"},
                                     {"/sys/d/sda/sda1/removable", "0\n"}, {"/sys/d/sdb/removable", "0\n"},
                                     {"/sys/d/sr0/removable", "1"}})
      std::ofstream(file) << text;
    const System& sys = LocalSystem();
    std::string flags;
    for (const auto& [major, minor] : {std::pair{8u, 1u}, {8u, 16u}, {11u, 0u}, {9u, 9u}})
      flags += sys.IsRemovableDevice(major, minor) ? "1" : "0";
    return sys.VolumeLabel("/dev/sda1") + "|" + sys.VolumeLabel("/dev/sdb") + "|" + sys.VolumeLabel("/dev/sr0") +
           "|" + sys.VolumeLabel("/dev/none") + "|" + flags;
  });
  if (out.empty()) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(out, "My Disk/A\\xZZ\\x4|Ab::~90OO\t|||1010");
}

}  // namespace
}  // namespace kvor::platform
