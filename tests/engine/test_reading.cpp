// The directory reading: what one read of a directory leaves in the scan state and the lists.
#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "scanfixture.h"

namespace kvor {
namespace {

using test::MakeDir;
using test::MakeFile;
using test::MakeSymlink;
using test::TempDir;

// Reads `dir` as the report tool reads a drive's root.
void ReadRoot(test::ScanFixture& f, const std::string& dir) {
  f.scanner.dirList.SetDriveRoot(dir);
  f.scanner.ShowDiskInfo(1, dir);
  ASSERT_TRUE(f.scanner.dirList.SetPath(dir));
}

std::vector<std::string> HiddenList(const platform::ListBox& list) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < list.ListCount(); ++i) out.emplace_back(list.List(i));
  return out;
}

TEST(DirectoryReading, EmptyDirectoryHasNothing) {
  TempDir t;
  test::ScanFixture f;
  ReadRoot(f, t.path());
  EXPECT_EQ(f.s.gDirBytes, 0);
  EXPECT_EQ(f.s.gDirLostSpace, 0);
  EXPECT_EQ(f.s.gFileCount, 0);
  EXPECT_EQ(f.s.gSubdirCount, 0);
  EXPECT_EQ(f.s.gHiddenCount, 0);
  EXPECT_EQ(f.scanner.lstHidden.ListCount(), 0u);
  // The enumeration itself still holds the two dot entries, as directories that are hidden.
  const auto& listing = f.scanner.dirList.LastListing();
  ASSERT_EQ(listing.EntryCount(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const auto e = listing.Entry(i);
    EXPECT_TRUE(e.cFileName == "." || e.cFileName == "..");
    EXPECT_EQ(e.dwFileAttributes, platform::FILE_ATTRIBUTE_DIRECTORY | platform::FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(e.nFileSize, 0u);
  }
}

TEST(DirectoryReading, SplitsEntriesIntoFilesDirectoriesAndHidden) {
  TempDir t;
  MakeFile(t / "a.txt", 100);
  MakeFile(t / ".hidden-file", 5000);
  MakeFile(t / "empty", 0);
  MakeSymlink("a.txt", t / "link");           // a file of its own length, 5
  MakeSymlink(t.path(), t / "loop");          // never a directory
  MakeDir(t / "zeta");
  MakeDir(t / "Alpha");
  MakeDir(t / "beta");
  MakeDir(t / ".git");
  MakeDir(t / ".cache");
  test::ScanFixture f;
  f.system.figures = {1, 4096, 10, 100};
  ReadRoot(f, t.path());

  EXPECT_EQ(f.s.gFileCount, 5);
  EXPECT_EQ(f.s.gSubdirCount, 3);
  EXPECT_EQ(f.s.gHiddenCount, 2);
  const int64_t linkToRoot = static_cast<int64_t>(t.path().size());
  EXPECT_EQ(f.s.gDirBytes, 100 + 5000 + 0 + 5 + linkToRoot);
  // Slack of each non-empty entry up to whole 4096-byte clusters; directories add nothing.
  EXPECT_EQ(f.s.gDirLostSpace, (4096 - 100) + (8192 - 5000) + (4096 - 5) + (4096 - linkToRoot));
  // Ordinary subdirectories in byte order; hidden ones as the file system gave them.
  EXPECT_EQ(f.scanner.dirList.List(0), t / "Alpha");
  EXPECT_EQ(f.scanner.dirList.List(1), t / "beta");
  EXPECT_EQ(f.scanner.dirList.List(2), t / "zeta");
  EXPECT_EQ(f.scanner.dirList.List(-1), t.path());

  std::vector<std::string> readdirOrder;
  DIR* d = ::opendir(t.path().c_str());
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == ".git" || name == ".cache") readdirOrder.push_back(name);
  }
  ::closedir(d);
  EXPECT_EQ(HiddenList(f.scanner.lstHidden), readdirOrder);
}

TEST(DirectoryReading, NamesThatOnlyLookLikeDotEntriesAreDirectories) {
  TempDir t;
  MakeDir(t / ". ");
  MakeDir(t / " ..");
  MakeDir(t / "...");
  test::ScanFixture f;
  ReadRoot(f, t.path());
  // ". " and "..." are hidden directories; " .." is an ordinary one.
  EXPECT_EQ(f.s.gHiddenCount, 2);
  EXPECT_EQ(f.s.gSubdirCount, 1);
  auto hidden = HiddenList(f.scanner.lstHidden);
  std::sort(hidden.begin(), hidden.end());
  EXPECT_EQ(hidden, (std::vector<std::string>{". ", "..."}));
}

TEST(DirectoryReading, HugeSparseFileCountsInFullAndAddsItsSlack) {
  TempDir t;
  MakeFile(t / "big", 5000000000ULL);
  test::ScanFixture f;
  ReadRoot(f, t.path());
  EXPECT_EQ(f.s.gDirBytes, 5000000000LL);
  EXPECT_EQ(f.s.gDirLostSpace, 4096 - 5000000000LL % 4096);

  test::ScanFixture unknownCluster;  // a failed space query: no cluster, no lost space
  unknownCluster.system.queryFails = true;
  ReadRoot(unknownCluster, t.path());
  EXPECT_EQ(unknownCluster.s.gDirBytes, 5000000000LL);
  EXPECT_EQ(unknownCluster.s.gDirLostSpace, 0);
}

TEST(DirectoryReading, MoreEntriesThanSixteenBitListsHold) {
  TempDir t;
  for (int i = 0; i < 33000; ++i) MakeDir(t / ("d" + std::to_string(i)));
  for (int i = 0; i < 34000; ++i) MakeFile(t / ("f" + std::to_string(i)), 1);
  for (int i = 0; i < 32800; ++i) MakeDir(t / (".h" + std::to_string(i)));
  test::ScanFixture f;
  ReadRoot(f, t.path());
  EXPECT_EQ(f.s.gSubdirCount, 33000);
  EXPECT_EQ(f.s.gFileCount, 34000);
  EXPECT_EQ(f.s.gHiddenCount, 32800);
  EXPECT_EQ(f.s.gDirBytes, 34000);
  EXPECT_EQ(f.scanner.dirList.List(32999), t / "d9999");  // byte order: d9999 sorts last
}

TEST(DirectoryReading, GoToRootMovesToTheDriveRootAndReadsIt) {
  TempDir t;
  MakeDir(t / "a");
  MakeDir(t / "a/b");
  MakeFile(t / "root-file", 7);
  test::ScanFixture f;
  ReadRoot(f, t.path());
  ASSERT_TRUE(f.scanner.dirList.SetPath(t / "a"));
  ASSERT_TRUE(f.scanner.dirList.SetPath(t / "a/b"));
  EXPECT_EQ(f.s.gFileCount, 0);

  f.s.gGoToRoot = true;
  f.scanner.dirList_Change();
  EXPECT_FALSE(f.s.gGoToRoot);
  EXPECT_EQ(f.scanner.dirList.Path(), t.path());
  EXPECT_EQ(f.s.gFileCount, 1);
  EXPECT_EQ(f.s.gDirBytes, 7);
  EXPECT_EQ(f.s.gSubdirCount, 1);

  // A rescan: the list already stands at the root, so no change event; the handler is run
  // directly and must read the root as it is now, not as kept from the last read.
  MakeFile(t / "new-file", 2);
  f.s.gGoToRoot = true;
  f.scanner.dirList_Change();
  EXPECT_EQ(f.s.gFileCount, 2);
  EXPECT_EQ(f.s.gDirBytes, 9);
}

TEST(DirectoryReading, FailedMovesLeaveTheListWhereItWas) {
  TempDir t;
  MakeDir(t / "a");
  MakeFile(t / "a/f", 1);
  test::ScanFixture f;
  ReadRoot(f, t.path());
  EXPECT_FALSE(f.scanner.dirList.SetPath(t / "missing"));
  EXPECT_FALSE(f.scanner.dirList.SetPath(t / "a/f"));  // a file, not a directory
  // A directory swapped for a symlink after it was listed is not followed.
  MakeDir(t / "elsewhere");
  std::remove((t / "a/f").c_str());
  ::rmdir((t / "a").c_str());
  MakeSymlink(t / "elsewhere", t / "a");
  EXPECT_FALSE(f.scanner.dirList.SetPath(t / "a"));
  EXPECT_EQ(f.scanner.dirList.Path(), t.path());
  EXPECT_EQ(f.s.gSubdirCount, 1);
}

}  // namespace
}  // namespace kvor
