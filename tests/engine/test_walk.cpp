// The walk over whole trees, checked against figures counted independently with readdir/lstat.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/formatsize.h"
#include "gate.h"
#include "scanfixture.h"

namespace kvor {
namespace {

using namespace test;
using platform::Picture;

std::string Size(int64_t bytes) { return FormatSize(static_cast<double>(bytes), '.'); }

// ---- the independent count -------------------------------------------------------------

struct Expected {
  std::vector<std::string> lines;
  int64_t files = 0, dirs = 0, bytes = 0;
};

// A directory's subdirectories (ordinary ones sorted, then hidden ones as read) and files.
struct Listed {
  std::vector<std::string> dirs;
  std::size_t hidden = 0;
  int64_t files = 0, bytes = 0, slack = 0;
};

Listed List(const std::string& path, int64_t cluster) {
  Listed l;
  std::vector<std::string> hidden;
  DIR* d = ::opendir(path.c_str());
  while (dirent* entry = ::readdir(d)) {
    const std::string name = entry->d_name;
    struct stat st;
    if (name == "." || name == ".." || ::lstat((path + "/" + name).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      (name[0] == '.' ? hidden : l.dirs).push_back(name);
    else
      ++l.files, l.bytes += st.st_size, l.slack += cluster > 0 && st.st_size % cluster ? cluster - st.st_size % cluster : 0;
  }
  ::closedir(d);
  std::sort(l.dirs.begin(), l.dirs.end());
  l.hidden = hidden.size();
  l.dirs.insert(l.dirs.end(), hidden.begin(), hidden.end());
  return l;
}

// Adds the line of `path` and those below it; returns its subtree's bytes and lost space.
std::pair<int64_t, int64_t> Visit(const std::string& path, const std::string& name, int depth, int64_t cluster,
                                  Expected& e) {
  const Listed l = List(path, cluster);
  const std::size_t line = e.lines.size();
  e.lines.emplace_back();
  e.files += l.files;
  e.dirs += static_cast<int64_t>(l.dirs.size());
  e.bytes += l.bytes;
  int64_t bytes = l.bytes, lost = l.slack + cluster;
  for (const auto& child : l.dirs) {
    const auto [b, s] = Visit(path + "/" + child, child, depth + 1, cluster, e);
    bytes += b, lost += s + cluster;
  }
  const std::string files = std::to_string(l.files);
  e.lines[line] = std::to_string(depth) + "|" + std::to_string(line) + "?" + path + "|" + name +
                  (l.hidden == 0 ? "     " + files + " file(s), [" : "    " + files + " files(s) [") + Size(bytes) +
                  "], Lost space [" + Size(lost) + "]";
  return {bytes, lost};
}

void ExpectMatchesCount(const ScanFixture& f, const std::string& root) {
  const int64_t cluster = f.s.gClusterSize, used = f.s.gUsedBytes;
  Expected e;
  Visit(root, root, 0, cluster, e);
  // The root's own line: its files only, the drive's used bytes, the space not explained.
  const Listed top = List(root, cluster);
  e.lines[0] = "0|0?" + root + "|" +
               (top.dirs.empty() ? "Root"
                                 : root + " " + std::to_string(top.files) + " file(s) [" + Size(used) +
                                       "], Lost space [" + Size(used - cluster * e.dirs - e.bytes) + "]");
  EXPECT_EQ(f.Lines(), e.lines);
  EXPECT_EQ(f.s.gTotalFiles, e.files);
  EXPECT_EQ(f.s.gTotalDirs, e.dirs);
  EXPECT_EQ(f.s.gTotalFileBytes, e.bytes);
  EXPECT_EQ(f.s.gNodeCounter, static_cast<int64_t>(f.store.size()));
  EXPECT_EQ(f.store.Expanded(0), !top.dirs.empty());
  EXPECT_EQ(f.scanner.dirList.Path(), root);  // back at the root after a full walk
  for (platform::NodeStore::Index n = 0; n < f.store.size(); ++n) {
    const bool hidden = n > 0 && f.store.Path(n)[f.store.Path(n).rfind('/') + 1] == '.';
    EXPECT_EQ(f.store.Image(n), hidden ? Picture::HClosed : Picture::Closed) << n;
    EXPECT_EQ(f.store.SelectedImage(n), hidden ? Picture::HOpen : Picture::Open) << n;
  }
}

// ---- whole trees ---------------------------------------------------------------------

TEST(Walk, TreesMatchAnIndependentCount) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    TempDir t;
    MakeTree(t.path(), seed, 120);
    // Seed 3: readers held until the walk is half way; it reads the first half itself.
    Gate late;
    ScanFixture f(seed == 3 ? 4 : Readers(), {.beforeOpen = [&](std::string_view) {
                    if (seed == 3) late.Wait();
                  }});
    f.progress.onDoEvents = [&](int n) {
      if (n == 60) late.Open();
    };
    f.system.figures = {1, 4096, 1000, 200000};
    f.Run(t.path());
    late.Open();
    ExpectMatchesCount(f, t.path());
    // A rescan sees what changed since.
    MakeFile(t / "new", 5);
    MakeDir(t / ".new");
    f.Run(t.path());
    ExpectMatchesCount(f, t.path());
  }
}

TEST(Walk, OneReadSplitsFilesDirectoriesAndHidden) {
  TempDir t;
  MakeFile(t / "a.txt", 100);
  MakeFile(t / ".hidden-file", 5000);
  MakeFile(t / "empty", 0);
  MakeSymlink("a.txt", t / "link");   // a file of its own length, 5
  MakeSymlink(t.path(), t / "loop");  // never a directory
  // Only "." and ".." are dot entries: ". " and "..." are hidden directories, " .." is not.
  for (const char* dir : {"zeta", "Alpha", " ..", ".git", ". ", "..."}) MakeDir(t / dir);
  for (const bool queryFails : {false, true}) {
    ScanFixture f;
    f.system.queryFails = queryFails;  // no cluster size: no lost space
    f.scanner.dirList.SetDriveRoot(t.path());
    f.scanner.ShowDiskInfo(1, t.path());
    ASSERT_TRUE(f.scanner.dirList.SetPath(t.path()));
    const int64_t loop = static_cast<int64_t>(t.path().size());
    EXPECT_EQ(f.s.gFileCount * 100 + f.s.gSubdirCount * 10 + f.s.gHiddenCount, 533);
    EXPECT_EQ(f.s.gDirBytes, 100 + 5000 + 5 + loop);
    EXPECT_EQ(f.s.gDirLostSpace, queryFails ? 0 : (4096 - 100) + (8192 - 5000) + (4096 - 5) + (4096 - loop));
    EXPECT_EQ(f.scanner.dirList.List(-1) + "|" + f.scanner.dirList.List(0) + "|" + f.scanner.dirList.List(2),
              t.path() + "|" + t / " ..|" + t / "zeta");
    // The listing itself holds the two dot entries, as hidden directories of no size.
    const auto& listing = f.scanner.dirList.LastListing();
    for (std::size_t i = 0, dots = 0; i < listing.EntryCount() || dots != 2; ++i) {
      ASSERT_LT(i, listing.EntryCount());
      const auto e = listing.Entry(i);
      if (e.cFileName != "." && e.cFileName != "..") continue;
      ++dots;
      EXPECT_EQ(e.dwFileAttributes, platform::FILE_ATTRIBUTE_DIRECTORY | platform::FILE_ATTRIBUTE_HIDDEN);
      EXPECT_EQ(e.nFileSize, 0u);
    }
    f.scanner.ScanDrive();
    ExpectMatchesCount(f, t.path());
  }
  TempDir flat;  // no subdirectory: the root stays "Root", and nothing yields
  MakeFile(flat / ".b", 20);
  ScanFixture f;
  f.Run(flat.path());
  ExpectMatchesCount(f, flat.path());
  EXPECT_EQ(f.progress.doEvents, 0);
}

TEST(Walk, SumsBeyondSixtyFourBitsStayExact) {
  // Two sparse files of 5e18 bytes: 1e19 in one directory, more than a signed 64-bit figure.
  TempDir t;
  MakeDir(t / "huge");
  MakeFile(t / "huge/one", 5000000000000000000ULL);
  MakeFile(t / "huge/two", 5000000000000000000ULL);
  ScanFixture f;
  f.system.figures = {1, 4096, 0, 1};  // the drive claims a single used cluster
  f.Run(t.path());
  const int64_t lost = 4096;  // 5e18 bytes are whole clusters
  EXPECT_EQ(f.store.Text(1), "huge     2 file(s), [" + FormatSize(1e19, '.') + "], Lost space [" + Size(lost) + "]");
  EXPECT_EQ(f.store.Text(0), t.path() + " 0 file(s) [4.00 KB], Lost space [" + FormatSize(-1e19, '.') + "]");
  // The scan state's 64-bit figures stop at their largest value, and the directories say so.
  EXPECT_EQ(f.s.gTotalFileBytes, INT64_MAX);
  EXPECT_EQ(f.s.gDirBytes, 0);  // back at the root, whose own bytes are 0
  for (const platform::NodeStore::Index n : {0u, 1u}) {
    EXPECT_EQ(f.store.Problems(n), platform::kSumTooLarge);
    EXPECT_EQ(f.store.Error(n), EOVERFLOW);
  }
  // The walk's text result carries the exact figures too.
  EXPECT_EQ(f.scanner.ScanDirectory(0, "0?" + t.path(), false), "10000000000000000000," + std::to_string(lost));
}

// ---- stopping -------------------------------------------------------------------------

TEST(Walk, StopAtAnyYieldAddsAndChangesNothingMore) {
  TempDir t;
  MakeTree(t.path(), 7, 25);
  ScanFixture full;
  full.Run(t.path());
  const int yields = full.progress.doEvents;
  ASSERT_GT(yields, 10);
  for (int stopAt = 1; stopAt <= yields; ++stopAt) {
    SCOPED_TRACE(stopAt);
    ScanFixture f;
    std::vector<std::string> linesAtStop;
    f.progress.onDoEvents = [&](int n) {
      if (n != stopAt) return;
      f.s.gAbort = true;
      linesAtStop = f.Lines();
    };
    f.Run(t.path());
    EXPECT_EQ(f.progress.doEvents, stopAt);  // no yield after the stop
    EXPECT_EQ(f.Lines(), linesAtStop);       // no node added, no text changed
    EXPECT_EQ(f.store.Text(0), "Root");
    EXPECT_FALSE(f.store.Expanded(0));
    // A new scan after the stop, from wherever the walk stood, shows the whole tree.
    f.s.gAbort = false;
    f.progress.onDoEvents = nullptr;
    f.Run(t.path());
    ASSERT_EQ(f.Lines(), full.Lines());
  }
}

// ---- bad input ------------------------------------------------------------------------

// Runs `body` in a child process after `prepare` (which may drop privileges or lower limits
// for good); returns what the body returned.
std::string RunInChild(const std::function<void()>& prepare, const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    prepare();
    const std::string out = body();
    ::_exit(::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 4);
  }
  ::close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return out;
}

std::string Report(const ScanFixture& f) {
  std::string text;
  for (const auto& line : f.Lines()) text += line + "\n";
  text += std::to_string(f.s.gTotalFiles) + " " + std::to_string(f.s.gTotalDirs) + " " +
          std::to_string(f.s.gTotalFileBytes) + "\n";
  for (platform::NodeStore::Index n = 0; n < f.store.size(); ++n)
    if (f.store.Problems(n) != 0)
      text += "problem " + std::to_string(n) + " " + std::to_string(f.store.Problems(n)) + " " +
              std::to_string(f.store.Error(n)) + "\n";
  return text;
}

TEST(Walk, WhatCannotBeReadIsMarkedAndTheWalkGoesOn) {
  TempDir t;
  for (const char* dir : {"a", "gone", "gone/inner", "listonly", "listonly/sub", "locked", "locked/inside", "m", "m/c"})
    MakeDir(t / dir);
  MakeFile(t / "listonly/big", 50000000);
  MakeFile(t / "locked/secret", 100);
  MakeFile(t / "m/f", 3);
  MakeFile(t / "top", 5);
  ::chmod((t / "locked").c_str(), 0);
  ::chmod((t / "listonly").c_str(), 0444);  // names there, sizes and the way in not
  for (const char* open : {"", "gone", "m"}) ::chmod((t / open).c_str(), 0777);
  const std::string out = RunInChild([] { if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3); }, [&] {
    ScanFixture f;
    f.progress.onShow = [&](const std::string& path) {
      if (path == t.path()) {  // listed with the root, gone before anyone reads it
        ::rmdir((t / "gone/inner").c_str());
        ::rmdir((t / "gone").c_str());
      } else if (path == t / "m/c") {
        MakeFile(t / "m/late", 1000);  // m shows as it was first read
      }
    };
    f.Run(t.path());
    return Report(f);
  });
  const std::string r = t.path(), empty = "     0 file(s), [0.00 Bytes], Lost space [4.00 KB]\n";
  EXPECT_EQ(out, "0|0?" + r + "|" + r + " 1 file(s) [" + Size(4096 * 99000) + "], Lost space [" +
                     Size(4096 * 99000 - (4096 * 7 + 8)) + "]\n" +
                     "1|1?" + r + "/a|a" + empty + "1|2?" + r + "/gone|gone" + empty +
                     "1|3?" + r + "/listonly|listonly     1 file(s), [0.00 Bytes], Lost space [12.00 KB]\n" +
                     "2|4?" + r + "/listonly/sub|sub" + empty + "1|5?" + r + "/locked|locked" + empty +
                     "1|6?" + r + "/m|m     1 file(s), [3.00 Bytes], Lost space [" + Size(4093 + 3 * 4096) + "]\n" +
                     "2|7?" + r + "/m/c|c" + empty + "3 7 8\n" +
                     "problem 2 1 " + std::to_string(ENOENT) + "\nproblem 3 4 " + std::to_string(EACCES) +
                     "\nproblem 4 1 " + std::to_string(EACCES) + "\nproblem 5 1 " + std::to_string(EACCES) + "\n");
}

TEST(Walk, DeepCombOnASmallStackWithFewDescriptors) {
  // 3,000 levels of "d", paths beyond PATH_MAX; each level also holds "s" with a one-byte file,
  // entered only after the chain below has returned, past the window of open descriptors.
  // Walked on 256 KiB of stack (a walk that recursed would need several times that) with
  // 32 descriptors in all.
  TempDir t;
  const int depth = 3000;
  int fd = ::open(t.path().c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(::mkdirat(fd, "s", 0755) | ::mkdirat(fd, "d", 0755), 0);
    const int file = ::openat(fd, "s/f", O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::write(file, "x", 1), 1);
    const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ::close(file), ::close(fd);
    fd = next;
  }
  ::close(fd);
  const std::string out = RunInChild(
      [] {
        const rlimit r{32, 32};
        if (::setrlimit(RLIMIT_NOFILE, &r) != 0) ::_exit(3);
      },
      [&] {
        ScanFixture f;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 256 << 10);
        pthread_t thread;
        std::pair<ScanFixture*, std::string> job{&f, t.path()};
        pthread_create(&thread, &attr, [](void* arg) -> void* {
            auto* j = static_cast<std::pair<ScanFixture*, std::string>*>(arg);
            j->first->Run(j->second);
            return nullptr;
          }, &job);
        pthread_join(thread, nullptr);
        return std::to_string(f.store.size()) + " " + f.store.Key(depth) + "\n" + f.store.Text(1) + "\n" +
               Report(f).substr(Report(f).rfind('\n', Report(f).size() - 2) + 1);
      });
  std::string deepest = t.path();
  for (int i = 0; i < depth; ++i) deepest += "/d";
  EXPECT_EQ(out, "6001 3000?" + deepest + "\nd     0 file(s), [2.93 KB], Lost space [" +
                     Size(4096 + (depth - 1) * int64_t{4095 + 4 * 4096}) + "]\n3000 6000 3000\n");

  // No descriptor to spare at all: the first directory cannot be entered, and says why
  // (had it been read ahead, it could be).
  const std::string starved = RunInChild([] {}, [&] {
    ScanFixture f(0);
    f.progress.onShow = [&](const std::string& path) {
      if (path != t / "d") return;
      const rlimit r{static_cast<rlim_t>(OpenDescriptors()), static_cast<rlim_t>(OpenDescriptors())};
      ::setrlimit(RLIMIT_NOFILE, &r);
      while (::dup(0) >= 0) {
      }  // and the gaps below the limit filled
    };
    f.Run(t.path());
    return f.store.Text(1) + "|" + std::to_string(f.store.Problems(1)) + " " + std::to_string(f.store.Error(1));
  });
  EXPECT_EQ(starved, "d     0 file(s), [0.00 Bytes], Lost space [4.00 KB]|1 " + std::to_string(EMFILE));
}

TEST(Walk, NeverEntersAnotherMountedFileSystem) {
  if (!CanMount()) GTEST_SKIP() << "mounting is not permitted here";
  TempDir t;
  for (const char* dir : {"a", "a/mnt", "a/.hmnt", "a/bind", "a/late", "src"}) MakeDir(t / dir);
  MakeFile(t / "a/f", 5);
  MakeFile(t / "src/g", 7);
  for (const char* point : {"a/mnt", "a/.hmnt"})
    ASSERT_EQ(::mount("kvortest", (t / point).c_str(), "tmpfs", 0, "size=256k"), 0);
  // The same file system seen a second time: one device, caught by the mount table.
  ASSERT_EQ(::mount((t / "src").c_str(), (t / "a/bind").c_str(), nullptr, MS_BIND, nullptr), 0);
  MakeFile(t / "a/mnt/big", 100000);
  // Mounted after the scan read the mount table: caught by its device (a directory read
  // ahead before the mount would count as it was read).
  ScanFixture f(0);
  f.progress.onShow = [&](const std::string& path) {
    if (path == t / "a") ::mount("kvortest", (t / "a/late").c_str(), "tmpfs", 0, "size=256k");
  };
  f.Run(t.path());
  for (const char* point : {"a/mnt", "a/.hmnt", "a/bind", "a/late"}) ::umount2((t / point).c_str(), MNT_DETACH);
  EXPECT_EQ(f.Lines(), (std::vector<std::string>{
                           "0|0?" + t.path() + "|" + t.path() + " 0 file(s) [" + Size(4096 * 99000) + "], Lost space [" +
                               Size(4096 * 99000 - 2 * 4096 - 12) + "]",
                           "1|1?" + t.path() + "/a|a     1 file(s), [5.00 Bytes], Lost space [" + Size(4091 + 4096) + "]",
                           "1|2?" + t.path() + "/src|src     1 file(s), [7.00 Bytes], Lost space [" +
                               Size(4089 + 4096) + "]"}));
  EXPECT_EQ(f.s.gNodeCounter, 3);
}

}  // namespace
}  // namespace kvor
