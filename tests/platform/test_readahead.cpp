// The read-ahead alone, under a walker that behaves as the scan's does: it takes what was read
// ahead and reads the rest itself. Whatever the readers do, the walker must see exactly what
// reading every directory itself shows, and every summary handed over must equal a read of
// that directory made then through the walker's own descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "gate.h"
#include "platform/readahead.h"
#include "tempdrive.h"

namespace kvor::platform {
namespace {

using namespace test;

// The directory open at `fd` as "files bytes lost problems ordinary: names", or null.
std::shared_ptr<const DirSummary> ReadHere(int fd) {
  DirListing listing;
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || listing.Read(fd, nullptr, nullptr) != DirListing::Status::Ok) return nullptr;
  return std::make_shared<const DirSummary>(Summarize(listing, 4096, st.st_dev, st.st_ino));
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
  ReadAhead& ahead;
  std::function<void(const std::string&)> onEntered = [](const std::string&) {};
  bool verify = true;
  std::vector<std::string> lines = {};

  void Run(const std::string& root) {
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto summary = ReadHere(fd);
    Visit(ahead.Start(fd, MountTable(), root, summary), fd, *summary, "");
    ::close(fd);
  }

  void Visit(ReadAhead::Dir dir, int fd, const DirSummary& s, const std::string& path) {
    lines.push_back(path + " " + Describe(s));
    onEntered(path);
    for (std::size_t slot = 0; slot < s.SlotCount(); ++slot) {
      const std::string name(s.Name(slot)), childPath = path.empty() ? name : path + "/" + name;
      const ReadAhead::Taken taken = ahead.Enter(dir, slot);
      const int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      const auto here = ReadHere(child);
      std::shared_ptr<const DirSummary> use = taken.summary;
      if (use == nullptr && here != nullptr)
        ahead.Adopt(taken.dir, use = here);
      else if (use != nullptr && verify) {  // the read of this very directory, made now
        EXPECT_EQ(Describe(*use) + std::to_string(use->inode), here ? Describe(*here) + std::to_string(here->inode) : "")
            << childPath;
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

std::vector<std::string> Reference(const std::string& root) {
  ReadAhead none({.readers = 0});
  Walker w{none};
  w.Run(root);
  return w.lines;
}

TEST(ReadAhead, WalkSeesTheSameTreeWhateverTheReaders) {
  TempDir t;
  MakeTree(t.path(), 5, 150);
  const std::vector<std::string> expected = Reference(t.path());
  const uint64_t dirs = expected.size() - 1;
  const struct {
    ReadAhead::Options options;
    uint64_t held;  // 0: racing the walk; else readers done first, with at most this many read
  } cases[] = {{{.readers = 1}, 0}, {{.readers = 8}, 0}, {{.readers = 3}, dirs}, {{.readers = 4, .maxDirs = 2}, 2},
               {{.readers = 4, .maxBytes = 1}, 4}, {{.readers = 2, .maxPath = 20}, dirs}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held);
    ReadAhead ahead(c.options);
    Walker w{ahead, [&](const std::string& path) {
               if (!path.empty() || c.held == 0) return;
               ahead.WaitIdle();
               EXPECT_LE(ahead.GetStats().read, c.held);
               EXPECT_GT(ahead.GetStats().read, 0u);
             }};
    w.Run(t.path());
    EXPECT_EQ(w.lines, expected);
    EXPECT_EQ(ahead.GetStats().handedOver + ahead.GetStats().notReady, dirs);
    if (c.held == dirs && c.options.maxPath > 20) {
      EXPECT_EQ(ahead.GetStats().handedOver, dirs);
    }
  }
}

TEST(ReadAhead, StopLeavesReadersStuckInAReadBehind) {
  TempDir t;
  MakeTree(t.path(), 6, 150);
  const std::vector<std::string> expected = Reference(t.path());
  Gate never;
  {
    ReadAhead ahead({.readers = 4}, {.beforeOpen = [&](std::string_view) { never.Wait(); }});
    Walker w{ahead, [&](const std::string& path) {
               if (path.empty()) never.AwaitWaiter();  // a reader is in the middle of a read
             }};
    w.Run(t.path());
    EXPECT_EQ(w.lines, expected);
    EXPECT_EQ(ahead.GetStats().handedOver, 0u);
    ahead.Stop();  // leaving scope must not wait for readers stuck in a read
  }
  never.Open();
  ReadAhead::WaitAllReadersGone();
}

TEST(ReadAhead, TreeChangedUnderTheReaders) {
  TempDir t, outside;
  MakeDir(outside / "x");
  MakeFile(outside / "x/decoy", 12345);
  for (const char* dir : {"swap", "swap/x", "gone", "grow", "parent", "parent/x"}) MakeDir(t / dir);
  MakeFile(t / "swap/x/f", 10);
  MakeFile(t / "parent/x/f", 20);
  Gate walkerInParent;
  // One reader, so the order of its reads is known: gone, grow, grow/new, parent, then
  // parent/x held until the walker stands in parent, then swap and swap/x.
  ReadAhead ahead({.readers = 1}, {.beforeOpen = [&](std::string_view path) {
                    if (path == "swap/x") {  // swapped for a symlink out of the drive
                      ::rename((t / "swap/x").c_str(), (t / "swap/x.away").c_str());
                      MakeSymlink(outside / "x", t / "swap/x");
                    } else if (path == "gone") {
                      ::rmdir((t / "gone").c_str());
                    } else if (path == "grow") {
                      MakeDir(t / "grow/new");
                    } else if (path == "parent/x") {
                      // Once the walker stands in the parent: the parent renamed, another one put
                      // in its place. The walker goes on in the one it stands in.
                      walkerInParent.Wait();
                      ::rename((t / "parent").c_str(), (t / "parent.old").c_str());
                      for (const char* dir : {"parent", "parent/x"}) MakeDir(t / dir);
                      MakeFile(t / "parent/x/decoy", 12345);
                    }
                  }});
  Walker w{ahead, [&](const std::string& path) {
             if (path.empty()) walkerInParent.AwaitWaiter();
             if (path == "parent") walkerInParent.Open(), ahead.WaitIdle();
           }, false};  // swap changes after its read, by design
  w.Run(t.path());
  // The tree as the walker found it, step by step, through its own descriptors.
  EXPECT_EQ(w.lines, (std::vector<std::string>{" 0 0 0 0 4: gone grow parent swap", "gone cannot be entered",
                                               "grow 0 0 0 0 1: new", "grow/new 0 0 0 0 0:", "parent 0 0 0 0 1: x",
                                               "parent/x 1 20 4076 0 0:", "swap 0 0 0 0 1: x",
                                               "swap/x cannot be entered"}));
  EXPECT_EQ(ahead.GetStats().handedOver, 4u);  // grow, grow/new, parent, swap
}

TEST(ReadAhead, OutOfDescriptorsReadersWaitAndTryAgain) {
  TempDir t;
  MakeTree(t.path(), 7, 150);
  const std::vector<std::string> expected = Reference(t.path());
  rlimit saved;
  ::getrlimit(RLIMIT_NOFILE, &saved);
  const rlimit low{static_cast<rlim_t>(OpenDescriptors() + 64), saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::mutex mutex;
  std::vector<int> hoard;  // every descriptor left, taken before the first read
  bool filled = false;
  ReadAhead ahead({.readers = 4}, {.beforeOpen = [&](std::string_view) {
                                     std::lock_guard lock(mutex);
                                     for (int fd; !filled && (fd = ::dup(0)) >= 0;) hoard.push_back(fd);
                                     filled = true;
                                   },
                                   .outOfDescriptors = [&](std::string_view) {
                                     std::lock_guard lock(mutex);
                                     for (const int fd : hoard) ::close(fd);
                                     hoard.clear();
                                   }});
  Walker w{ahead, [&](const std::string& path) {
             if (path.empty()) ahead.WaitIdle();
           }};
  w.Run(t.path());
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(w.lines, expected);
  EXPECT_GE(ahead.GetStats().retries, 1u);
  EXPECT_EQ(ahead.GetStats().handedOver, expected.size() - 1);  // nothing lost to the shortage
}

// Readers beyond the first start only while most reads wait on the disk.
TEST(ReadAhead, ReadersGrowWhileReadsWait) {
  TempDir t;
  MakeTree(t.path(), 9, 150);
  const std::vector<std::string> expected = Reference(t.path());
  for (const int waitEvery : {0, 10, 1}) {
    SCOPED_TRACE(waitEvery);
    std::atomic<int> reads = 0;
    ReadAhead ahead({.readers = 4, .firstReaders = 1}, {.waitedOnDisk = [&](std::string_view) {
                      return waitEvery > 0 && ++reads % waitEvery == 0;
                    }});
    Walker w{ahead, [&](const std::string& path) {
               if (path.empty()) ahead.WaitIdle();
             }};
    w.Run(t.path());
    EXPECT_EQ(w.lines, expected);
    EXPECT_EQ(ahead.GetStats().readers, waitEvery == 1 ? 4u : 1u);
  }
}

}  // namespace
}  // namespace kvor::platform
