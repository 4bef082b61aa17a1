// The read-ahead alone, under a walker that behaves as the scan's does: it takes what was read
// ahead and reads the rest itself. Whatever the readers do, the walker must see exactly what
// reading every directory itself shows, and every summary handed over must equal a read of
// that directory made then through the walker's own descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "platform/readahead.h"
#include "gate.h"
#include "tempdrive.h"

namespace kvor::platform {
namespace {

using test::MakeDir;
using test::MakeFile;
using test::MakeSymlink;
using test::Gate;
using test::TempDir;

constexpr int64_t kCluster = 4096;

std::shared_ptr<const DirSummary> ReadHere(int fd) {
  DirListing listing;
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || listing.Read(fd, nullptr, nullptr) != DirListing::Status::Ok)
    return nullptr;
  return std::make_shared<const DirSummary>(Summarize(listing, kCluster, st.st_dev, st.st_ino));
}

std::string Describe(const DirSummary& s) {
  std::string text = std::to_string(s.fileCount) + " " + std::to_string(static_cast<int64_t>(s.bytes)) + " " +
                     std::to_string(static_cast<int64_t>(s.lostSpace)) + " " + std::to_string(s.problems) + " " +
                     std::to_string(s.ordinaryCount) + ":";
  for (std::size_t i = 0; i < s.SlotCount(); ++i) text.append(" ").append(s.Name(i));
  return text;
}

// Walks as the scan does, depth first, each directory entered through its parent's descriptor.
struct Walker {
  explicit Walker(ReadAhead& a) : ahead(a) {}
  ReadAhead& ahead;
  std::vector<std::string> lines;
  std::function<void(const std::string&)> onEntered;
  bool verify = true;

  void Run(const std::string& root) {
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto summary = ReadHere(fd);
    ASSERT_NE(summary, nullptr);
    MountTable none;
    Visit(ahead.Start(fd, none, root, summary), fd, *summary, "");
    ::close(fd);
  }

  void Visit(ReadAhead::Dir dir, int fd, const DirSummary& s, const std::string& path) {
    lines.push_back(path + " " + Describe(s));
    if (onEntered) onEntered(path);
    for (std::size_t slot = 0; slot < s.SlotCount(); ++slot) {
      const std::string name(s.Name(slot));
      const std::string childPath = path.empty() ? name : path + "/" + name;
      const ReadAhead::Taken taken = ahead.Enter(dir, slot);
      const int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      const auto here = ReadHere(child);
      std::shared_ptr<const DirSummary> use = taken.summary;
      if (use == nullptr && here != nullptr) {
        ahead.Adopt(taken.dir, here);
        use = here;
      } else if (use != nullptr && verify) {
        // One read of this very directory: the one made now through the walker's descriptors.
        EXPECT_NE(here, nullptr) << childPath;
        if (here != nullptr) {
          EXPECT_EQ(Describe(*use), Describe(*here)) << childPath;
          EXPECT_EQ(use->inode, here->inode) << childPath;
        }
      }
      if (use != nullptr)
        Visit(taken.dir, child, *use, childPath);
      else
        lines.push_back(childPath + " cannot be entered");
      if (child >= 0) ::close(child);
      ahead.Leave(taken.dir);
    }
  }
};

// A seeded tree: ordinary and hidden directories several levels deep, files, symlinks to
// directories (never entered), a chain deeper than the tests' shortest path limit.
void Generate(const std::string& root, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::string> dirs{root};
  for (int i = 0; i < 150; ++i) {
    const std::string dir = dirs[rng() % dirs.size()] + (rng() % 5 == 0 ? "/.h" : "/d") + std::to_string(i);
    MakeDir(dir);
    dirs.push_back(dir);
  }
  for (int i = 0; i < 400; ++i)
    MakeFile(dirs[rng() % dirs.size()] + (rng() % 6 == 0 ? "/.f" : "/f") + std::to_string(i), rng() % 9000);
  MakeSymlink(root, dirs[rng() % dirs.size()] + "/up");
  MakeSymlink("/", dirs[rng() % dirs.size()] + "/out");
  std::string chain = root;
  for (int i = 0; i < 12; ++i) MakeDir(chain += "/chain-level");
}

std::vector<std::string> Reference(const std::string& root) {
  ReadAhead none({.readers = 0});
  Walker w(none);
  w.Run(root);
  return w.lines;
}

TEST(ReadAhead, WalkSeesTheSameTreeWhateverTheReaders) {
  TempDir t;
  Generate(t.path(), 5);
  const std::vector<std::string> expected = Reference(t.path());
  ASSERT_GT(expected.size(), 150u);
  const std::size_t dirs = expected.size() - 1;
  struct Case {
    const char* what;
    ReadAhead::Options options;
    bool waitFirst;   // readers done before the walk starts
    bool everything;  // then every directory is handed over
  };
  const Case cases[] = {
      {"one reader, racing the walk", {.readers = 1}, false, false},
      {"eight readers, racing the walk", {.readers = 8}, false, false},
      {"all read ahead first", {.readers = 3}, true, true},
      {"budget of two directories", {.readers = 4, .maxDirs = 2}, true, false},
      {"budget of a few bytes", {.readers = 4, .maxBytes = 1}, true, false},
      {"short paths only", {.readers = 2, .maxPath = 20}, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ReadAhead ahead(c.options);
    Walker w(ahead);
    if (c.waitFirst)
      w.onEntered = [&](const std::string& path) {
        if (!path.empty()) return;
        ahead.WaitIdle();
        // The budget bounds what is held: what was made so far is all held.
        EXPECT_LE(ahead.GetStats().read, std::min<uint64_t>(c.options.maxDirs, c.options.maxBytes > 1 ? SIZE_MAX : c.options.readers));
      };
    w.Run(t.path());
    EXPECT_EQ(w.lines, expected);
    const ReadAhead::Stats stats = ahead.GetStats();
    EXPECT_EQ(stats.handedOver + stats.notReady, dirs);
    if (c.everything) {
      EXPECT_EQ(stats.handedOver, dirs);
    }
    if (c.waitFirst) {
      EXPECT_GT(stats.handedOver, 0u);
    }
  }
}

TEST(ReadAhead, WalkOvertakesReadersHeldBackAndStopLeavesThemBehind) {
  TempDir t;
  Generate(t.path(), 6);
  for (const char* dir : {"!first", "!first/a", "!first/a/b", "!first/c"}) MakeDir(t / dir);  // entered first
  const std::vector<std::string> expected = Reference(t.path());
  Gate gate;
  {
    // Let go once the walker has read its first directory itself: what lies below that read
    // is read ahead from it, and only that one directory was the walker's to read.
    Gate late;
    ReadAhead ahead({.readers = 4}, {.beforeOpen = [&](std::string_view) { late.Wait(); }});
    Walker w(ahead);
    w.onEntered = [&](const std::string& path) {
      if (path.empty()) late.AwaitWaiter();
      if (path != "!first") return;
      late.Open();
      ahead.WaitIdle();
    };
    w.Run(t.path());
    EXPECT_EQ(w.lines, expected);
    EXPECT_EQ(ahead.GetStats().notReady, 1u);
  }
  {
    ReadAhead ahead({.readers = 4}, {.beforeOpen = [&](std::string_view) { gate.Wait(); }});
    Walker w(ahead);
    w.onEntered = [&](const std::string& path) {
      if (path.empty()) gate.AwaitWaiter();  // a reader is in the middle of a read
    };
    w.Run(t.path());
    EXPECT_EQ(w.lines, expected);
    EXPECT_EQ(ahead.GetStats().handedOver, 0u);
    ahead.Stop();
    // Leaving scope must not wait for readers stuck in a read.
  }
  gate.Open();
  ReadAhead::WaitAllReadersGone();
}

TEST(ReadAhead, TreeChangedUnderTheReaders) {
  TempDir t;
  TempDir outside;
  MakeDir(outside / "x");
  MakeFile(outside / "x/decoy", 12345);
  for (const char* dir : {"swap", "swap/x", "gone", "grow", "parent", "parent/x"}) MakeDir(t / dir);
  MakeFile(t / "swap/x/f", 10);
  MakeFile(t / "parent/x/f", 20);
  Gate walkerInParent;
  const auto mutate = [&](std::string_view path) {
    if (path == "swap/x") {  // a directory swapped for a symlink out of the drive
      ::rename((t / "swap/x").c_str(), (t / "swap/x.away").c_str());
      MakeSymlink(outside / "x", t / "swap/x");
    } else if (path == "gone") {
      ::rmdir((t / "gone").c_str());
    } else if (path == "grow") {
      MakeDir(t / "grow/new");
    } else if (path == "parent/x") {
      // Once the walker stands in the parent: the parent renamed, another one put in its
      // place with a child of the same name. The walker goes on in the one it stands in.
      walkerInParent.Wait();
      ::rename((t / "parent").c_str(), (t / "parent.old").c_str());
      MakeDir(t / "parent");
      MakeDir(t / "parent/x");
      MakeFile(t / "parent/x/decoy", 12345);
    }
  };
  // One reader, so the order of its reads is known: gone, grow, grow/new, parent, then
  // parent/x held until the walker stands in parent, then swap and swap/x.
  ReadAhead ahead({.readers = 1}, {.beforeOpen = mutate});
  Walker w(ahead);
  w.verify = false;  // swap changes after its read, by design
  w.onEntered = [&](const std::string& path) {
    if (path.empty()) {
      walkerInParent.AwaitWaiter();
    } else if (path == "parent") {
      walkerInParent.Open();
      ahead.WaitIdle();
    }
  };
  w.Run(t.path());
  // The tree as the walker found it, step by step, through its own descriptors.
  for (const std::string& line : w.lines) EXPECT_EQ(line.find("decoy"), std::string::npos) << line;
  EXPECT_EQ(w.lines, (std::vector<std::string>{
                         " 0 0 0 0 4: gone grow parent swap",
                         "gone cannot be entered",
                         "grow 0 0 0 0 1: new",
                         "grow/new 0 0 0 0 0:",
                         "parent 0 0 0 0 1: x",
                         "parent/x 1 20 4076 0 0:",
                         "swap 0 0 0 0 1: x",
                         "swap/x cannot be entered",
                     }));
  EXPECT_EQ(ahead.GetStats().handedOver, 4u);  // grow, grow/new, parent, swap
}

TEST(ReadAhead, OutOfDescriptorsReadersWaitAndTryAgain) {
  TempDir t;
  Generate(t.path(), 7);
  const std::vector<std::string> expected = Reference(t.path());
  rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlimit low{static_cast<rlim_t>(test::OpenDescriptors() + 64), saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::mutex mutex;
  const int base = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  std::vector<int> hoard;
  bool filled = false;
  ReadAhead ahead({.readers = 4}, {.beforeOpen =
                                       [&](std::string_view) {
                                         std::lock_guard lock(mutex);
                                         if (filled) return;
                                         filled = true;
                                         for (int fd; (fd = ::dup(base)) >= 0;) hoard.push_back(fd);
                                       },
                                   .outOfDescriptors =
                                       [&](std::string_view) {
                                         std::lock_guard lock(mutex);
                                         for (const int fd : hoard) ::close(fd);
                                         hoard.clear();
                                       }});
  Walker w(ahead);
  w.onEntered = [&](const std::string& path) {
    if (path.empty()) ahead.WaitIdle();
  };
  w.Run(t.path());
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ::close(base);
  EXPECT_EQ(w.lines, expected);
  const ReadAhead::Stats stats = ahead.GetStats();
  EXPECT_GE(stats.retries, 1u);
  EXPECT_EQ(stats.handedOver, expected.size() - 1);  // nothing lost to the shortage

  // The walker short of descriptors: readers give theirs back and open no more.
  ReadAhead second({.readers = 4});
  Walker w2(second);
  int entered = 0;
  w2.onEntered = [&](const std::string&) {
    if (++entered == 3) {
      EXPECT_TRUE(second.GiveBackDescriptors());
    }
  };
  w2.Run(t.path());
  EXPECT_EQ(w2.lines, expected);
}

// Readers beyond the first start only while most reads wait on the disk.
TEST(ReadAhead, ReadersGrowWhileReadsWait) {
  TempDir t;
  Generate(t.path(), 9);
  const std::vector<std::string> expected = Reference(t.path());
  for (const int waitEvery : {0, 10, 1}) {
    SCOPED_TRACE(waitEvery);
    const bool waits = waitEvery == 1;
    std::atomic<int> reads = 0;
    ReadAhead ahead({.readers = 4, .firstReaders = 1}, {.waitedOnDisk = [&](std::string_view) {
                      return waitEvery > 0 && ++reads % waitEvery == 0;
                    }});
    Walker w(ahead);
    w.onEntered = [&](const std::string& path) {
      if (path.empty()) ahead.WaitIdle();
    };
    w.Run(t.path());
    EXPECT_EQ(w.lines, expected);
    EXPECT_EQ(ahead.GetStats().readers, waits ? 4u : 1u);
  }
}

}  // namespace
}  // namespace kvor::platform
