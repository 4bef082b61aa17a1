// The walk while another thread changes the tree under it: directories created, removed,
// renamed, moved and swapped for symlinks, whole subtrees deleted. Seeded and bounded in
// rounds; what is checked is what must hold whatever the interleaving.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "scanfixture.h"

namespace kvor {
namespace {

void Mutate(const std::vector<std::string>& dirs, unsigned seed, const std::atomic<bool>& stop) {
  std::mt19937 rng(seed);
  std::error_code ec;
  for (int n = 0; !stop.load(std::memory_order_relaxed); ++n) {
    const std::string& a = dirs[1 + rng() % (dirs.size() - 1)];
    const std::string& b = dirs[1 + rng() % (dirs.size() - 1)];
    const std::string fresh = "/m" + std::to_string(seed) + "-" + std::to_string(n);
    switch (rng() % 6) {
      case 0:  // a new directory with a file in it
        ::mkdir((a + fresh).c_str(), 0755);
        ::close(::open((a + fresh + "/f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        break;
      case 1:  // renamed in place, and back
        ::rename(a.c_str(), (a + ".r").c_str());
        ::rename((a + ".r").c_str(), a.c_str());
        break;
      case 2:  // moved below another directory (refused when b lies inside a)
        ::rename(a.c_str(), (b + fresh).c_str());
        break;
      case 3:  // swapped for a symlink that leads out of the drive
        if (::rename(a.c_str(), (a + ".away").c_str()) == 0) (void)!::symlink("/", a.c_str());
        break;
      case 4:  // a whole subtree removed
        if (rng() % 8 == 0) std::filesystem::remove_all(a, ec);
        break;
      default:  // files come and go
        ::unlink((a + "/f" + std::to_string(rng() % 16000)).c_str());
    }
  }
}

TEST(ChangeDuringScan, NoCrashNoLeakNoImpossibleFigure) {
  // About 20,000 entries: a fifth directories, the rest files, some hidden.
  test::TempDir t;
  const std::string root = t.path();
  const std::vector<std::string> dirs = test::MakeTree(root, 11, 4000);
  for (unsigned round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const int before = test::OpenDescriptors();
    test::ScanFixture f;
    std::atomic<bool> stop = false;
    std::thread mutator(Mutate, std::cref(dirs), 100 + round, std::cref(stop));
    f.Run(root);
    stop = true;
    mutator.join();
    EXPECT_EQ(test::OpenDescriptors(), before + 1);  // the root's, held while the list stands there
    EXPECT_EQ(f.scanner.dirList.Path(), root);
    EXPECT_GE(std::min({f.s.gTotalFiles, f.s.gTotalDirs, f.s.gTotalFileBytes}), 0);
    ASSERT_EQ(f.s.gNodeCounter, static_cast<int64_t>(f.store.size()));
    EXPECT_LE(static_cast<int64_t>(f.store.size()) - 1, f.s.gTotalDirs);
    for (platform::NodeStore::Index n = 0; n < f.store.size(); ++n) {
      const std::string path = f.store.Path(n);
      ASSERT_TRUE(path == root || path.compare(0, root.size() + 1, root + "/") == 0) << path;
      ASSERT_EQ(f.store.Key(n), std::to_string(n) + "?" + path);
      ASSERT_EQ(f.store.Text(n).find("[-"), std::string::npos) << f.store.Text(n);
    }
  }
}

}  // namespace
}  // namespace kvor
