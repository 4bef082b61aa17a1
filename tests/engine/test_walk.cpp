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
#include <random>
#include <string>
#include <vector>

#include "engine/formatsize.h"
#include "gate.h"
#include "scanfixture.h"

namespace kvor {
namespace {

using test::MakeDir;
using test::MakeFile;
using test::MakeSymlink;
using test::Gate;
using test::TempDir;

std::string Size(int64_t bytes) { return FormatSize(static_cast<double>(bytes), '.'); }

// ---- the independent count -------------------------------------------------------------

struct Expected {
  std::vector<std::string> lines;
  int64_t totalFiles = 0;
  int64_t totalDirs = 0;
  int64_t totalFileBytes = 0;
};

struct Pair {
  int64_t bytes;
  int64_t lost;
};

int64_t Slack(int64_t size, int64_t cluster) {
  return cluster <= 0 || size % cluster == 0 ? 0 : cluster - size % cluster;
}

Pair Visit(const std::string& path, const std::string& name, int depth, int64_t cluster, Expected& e) {
  std::vector<std::string> ordinary, hidden;
  int64_t files = 0, bytes = 0, lost = 0;
  DIR* d = ::opendir(path.c_str());
  while (dirent* entry = ::readdir(d)) {
    const std::string child = entry->d_name;
    if (child == "." || child == "..") continue;
    struct stat st;
    ::lstat((path + "/" + child).c_str(), &st);
    if (S_ISDIR(st.st_mode)) {
      (child[0] == '.' ? hidden : ordinary).push_back(child);
    } else {
      ++files;
      bytes += st.st_size;
      lost += Slack(st.st_size, cluster);
    }
  }
  ::closedir(d);
  std::sort(ordinary.begin(), ordinary.end());

  const std::size_t line = e.lines.size();
  e.lines.emplace_back();
  const std::string key = std::to_string(line) + "?" + path;
  e.totalFiles += files;
  e.totalDirs += static_cast<int64_t>(ordinary.size() + hidden.size());
  Pair sum{bytes, lost + cluster};
  for (const auto* list : {&ordinary, &hidden})
    for (const auto& child : *list) {
      const Pair p = Visit(path + "/" + child, child, depth + 1, cluster, e);
      sum.bytes += p.bytes;
      sum.lost += p.lost + cluster;
    }
  e.totalFileBytes += bytes;
  const std::string form = hidden.empty() ? "     " + std::to_string(files) + " file(s), ["
                                          : "    " + std::to_string(files) + " files(s) [";
  e.lines[line] = std::to_string(depth) + "|" + key + "|" + name + form + Size(sum.bytes) +
                  "], Lost space [" + Size(sum.lost) + "]";
  return sum;
}

// What a scan of `root` must show, the drive reporting `used` bytes in `cluster`-byte clusters.
Expected Count(const std::string& root, int64_t cluster, int64_t used) {
  Expected e;
  Visit(root, root, 0, cluster, e);
  // The root's own line differs: its files only, the drive's used bytes, unexplained space.
  DIR* d = ::opendir(root.c_str());
  int64_t rootFiles = 0, rootBytes = 0;
  bool anySubdir = false;
  while (dirent* entry = ::readdir(d)) {
    const std::string child = entry->d_name;
    if (child == "." || child == "..") continue;
    struct stat st;
    ::lstat((root + "/" + child).c_str(), &st);
    if (S_ISDIR(st.st_mode))
      anySubdir = true;
    else
      ++rootFiles, rootBytes += st.st_size;
  }
  ::closedir(d);
  (void)rootBytes;
  e.lines[0] = "0|0?" + root + "|" +
               (anySubdir ? root + " " + std::to_string(rootFiles) + " file(s) [" + Size(used) +
                                "], Lost space [" +
                                Size(used - (cluster * e.totalDirs + e.totalFileBytes)) + "]"
                          : std::string("Root"));
  return e;
}

void ExpectMatchesCount(test::ScanFixture& f, const std::string& root) {
  const Expected e = Count(root, f.s.gClusterSize, f.s.gUsedBytes);
  EXPECT_EQ(f.Lines(), e.lines);
  EXPECT_EQ(f.s.gTotalFiles, e.totalFiles);
  EXPECT_EQ(f.s.gTotalDirs, e.totalDirs);
  EXPECT_EQ(f.s.gTotalFileBytes, e.totalFileBytes);
}

// A seeded tree: nested ordinary and hidden directories, files of many sizes, symlinks.
void Generate(const std::string& root, unsigned seed, int directories) {
  std::mt19937 rng(seed);
  std::vector<std::string> dirs{root};
  for (int i = 0; i < directories; ++i) {
    const std::string& parent = dirs[rng() % dirs.size()];
    const bool hidden = rng() % 5 == 0;
    const std::string dir = parent + "/" + (hidden ? "." : "") + "d" + std::to_string(i);
    MakeDir(dir);
    dirs.push_back(dir);
  }
  for (int i = 0; i < directories * 4; ++i) {
    const std::string& parent = dirs[rng() % dirs.size()];
    const uint64_t size = rng() % 7 == 0 ? rng() % 100000 : rng() % 9000;
    MakeFile(parent + "/" + (rng() % 6 == 0 ? ".f" : "f") + std::to_string(i), size);
  }
  // Names with blanks, "?", ",", "\\", control bytes and bytes that are not UTF-8.
  for (const char* odd : {"with blank", "what?", "a,b", "back\\slash", "new\nline", "tab\there",
                          "\xff\xfe-\xe9", " lead", "trail ", "a [b]", ". "}) {
    MakeDir(dirs[rng() % dirs.size()] + "/" + odd);
  }
  // Symlinks, loops among them, are files of their own length and never followed.
  MakeSymlink(root, dirs[rng() % dirs.size()] + "/up");
  MakeSymlink("..", dirs[rng() % dirs.size()] + "/parent");
  MakeSymlink("self", dirs[rng() % dirs.size()] + "/self");
  MakeSymlink("missing-target", dirs[rng() % dirs.size()] + "/dangling");
}

// ---- whole trees ---------------------------------------------------------------------

TEST(Walk, GeneratedTreesMatchAnIndependentCount) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    TempDir t;
    Generate(t.path(), seed, 120);
    test::ScanFixture f;
    f.system.figures = {1, 4096, 1000, 200000};
    f.Run(t.path());
    SCOPED_TRACE(seed);
    ExpectMatchesCount(f, t.path());
    EXPECT_TRUE(f.store.Expanded(0));
    EXPECT_EQ(f.s.gNodeCounter, static_cast<int64_t>(f.store.size()));
    EXPECT_EQ(f.scanner.dirList.Path(), t.path());  // back at the root after a full walk
  }
}

TEST(Walk, SmallTreeShowsEveryTextForm) {
  TempDir t;
  MakeDir(t / "Docs");
  MakeDir(t / "Docs/Old");
  MakeDir(t / "Docs/.trash");
  MakeFile(t / "Docs/a", 1000);
  MakeFile(t / "Docs/Old/b", 5000);
  MakeDir(t / ".config");
  MakeFile(t / "top", 10);
  test::ScanFixture f;
  f.system.figures = {1, 4096, 0, 100};  // 409,600 bytes used
  f.Run(t.path());
  const std::string r = t.path();
  // Docs: 1000 + 5000 bytes; lost 3096 + 4096 (own), + (3192 + 4096) + 4096 for Old
  // + 4096 + 4096 for .trash.
  EXPECT_EQ(f.Lines(),
            (std::vector<std::string>{
                "0|0?" + r + "|" + r + " 1 file(s) [400.00 KB], Lost space [" +
                    Size(409600 - (4096 * 4 + 6010)) + "]",
                "1|1?" + r + "/Docs|Docs    1 files(s) [5.86 KB], Lost space [26.14 KB]",
                "2|2?" + r + "/Docs/Old|Old     1 file(s), [4.88 KB], Lost space [7.12 KB]",
                "2|3?" + r + "/Docs/.trash|.trash     0 file(s), [0.00 Bytes], Lost space [4.00 KB]",
                "1|4?" + r + "/.config|.config     0 file(s), [0.00 Bytes], Lost space [4.00 KB]",
            }));
  EXPECT_EQ(f.store.Image(1), platform::Picture::Closed);
  EXPECT_EQ(f.store.SelectedImage(1), platform::Picture::Open);
  EXPECT_EQ(f.store.Image(3), platform::Picture::HClosed);
  EXPECT_EQ(f.store.SelectedImage(3), platform::Picture::HOpen);
  EXPECT_EQ(f.store.Image(0), platform::Picture::Closed);
  EXPECT_EQ(f.store.SelectedImage(0), platform::Picture::Open);
}

TEST(Walk, RootWithoutSubdirectoriesStaysRoot) {
  TempDir t;
  MakeFile(t / "a", 100);
  MakeFile(t / ".b", 20);
  test::ScanFixture f;
  f.Run(t.path());
  EXPECT_EQ(f.Lines(), (std::vector<std::string>{"0|0?" + t.path() + "|Root"}));
  EXPECT_FALSE(f.store.Expanded(0));
  EXPECT_EQ(f.s.gTotalFiles, 2);
  EXPECT_EQ(f.s.gTotalDirs, 0);
  EXPECT_EQ(f.s.gTotalFileBytes, 120);
  EXPECT_EQ(f.progress.doEvents, 0);  // nothing to yield for
}

TEST(Walk, FiguresBeyondThirtyTwoBitsAndBelowZero) {
  TempDir t;
  MakeDir(t / "big");
  MakeFile(t / "big/one", 3000000000ULL);
  MakeFile(t / "big/two", 3000000001ULL);
  test::ScanFixture f;
  f.system.figures = {1, 4096, 0, 1};  // the drive claims a single used cluster
  f.Run(t.path());
  EXPECT_EQ(f.s.gTotalFileBytes, 6000000001LL);
  const int64_t lost = Slack(3000000000LL, 4096) + Slack(3000000001LL, 4096) + 4096;
  EXPECT_EQ(f.store.Text(1), "big     2 file(s), [5.59 GB], Lost space [" + Size(lost) + "]");
  EXPECT_EQ(f.store.Text(0), t.path() + " 0 file(s) [4.00 KB], Lost space [-6000000001.00 Bytes]");
}

TEST(Walk, SumsBeyondSixtyFourBitsStayExact) {
  // Two sparse files of 5e18 bytes: 1e19 in one directory, more than a signed 64-bit figure.
  TempDir t;
  MakeDir(t / "huge");
  MakeFile(t / "huge/one", 5000000000000000000ULL);
  MakeFile(t / "huge/two", 5000000000000000000ULL);
  test::ScanFixture f;
  f.system.figures = {1, 4096, 0, 1};
  f.Run(t.path());
  const int64_t slack = Slack(5000000000000000000LL, 4096);
  EXPECT_EQ(f.store.Text(1), "huge     2 file(s), [" + FormatSize(1e19, '.') + "], Lost space [" +
                                 Size(2 * slack + 4096) + "]");
  EXPECT_EQ(f.store.Text(0), t.path() + " 0 file(s) [4.00 KB], Lost space [" + FormatSize(-1e19, '.') + "]");
  // The scan state's 64-bit figures stop at their largest value, and the directories say so.
  EXPECT_EQ(f.s.gTotalFileBytes, INT64_MAX);
  EXPECT_EQ(f.s.gDirBytes, 0);  // back at the root, whose own bytes are 0
  EXPECT_EQ(f.store.Problems(0), platform::kSumTooLarge);
  EXPECT_EQ(f.store.Problems(1), platform::kSumTooLarge);
  EXPECT_EQ(f.store.Error(1), EOVERFLOW);
  // The walk's text result carries the exact figures too.
  EXPECT_EQ(f.scanner.ScanDirectory(0, "0?" + t.path(), false),
            "10000000000000000000," + std::to_string(2 * slack + 4096));
}

// ---- stopping -------------------------------------------------------------------------

TEST(Walk, StopAtAnyYieldAddsAndChangesNothingMore) {
  TempDir t;
  Generate(t.path(), 7, 25);
  test::ScanFixture full;
  full.Run(t.path());
  const int yields = full.progress.doEvents;
  ASSERT_GT(yields, 10);

  for (int stopAt = 1; stopAt <= yields; ++stopAt) {
    test::ScanFixture f;
    std::size_t nodesAtStop = 0;
    std::vector<std::string> linesAtStop;
    f.progress.onDoEvents = [&](int n) {
      if (n != stopAt) return;
      f.s.gAbort = true;
      nodesAtStop = f.store.size();
      linesAtStop = f.Lines();
    };
    f.Run(t.path());
    SCOPED_TRACE(stopAt);
    EXPECT_EQ(f.progress.doEvents, stopAt);   // no yield after the stop
    EXPECT_EQ(f.store.size(), nodesAtStop);
    EXPECT_EQ(f.Lines(), linesAtStop);         // no text changed either
    EXPECT_EQ(f.store.Text(0), "Root");
    EXPECT_FALSE(f.store.Expanded(0));
    if (stopAt == 1) {  // before the first directory is entered: the root's own figures only
      EXPECT_EQ(f.s.gTotalFiles, f.s.gFileCount);
      EXPECT_EQ(f.s.gTotalFileBytes, f.s.gDirBytes);
      EXPECT_EQ(f.s.gTotalDirs, f.s.gSubdirCount + f.s.gHiddenCount);
    }
  }
}

TEST(Walk, ReadersHeldBackChangeNothingAndAStopLeavesThemBehind) {
  TempDir t;
  Generate(t.path(), 8, 60);
  Gate late, never;
  {
    // Held until the walk is half way: it reads the first half itself and overtakes them.
    test::ScanFixture f(4, {.beforeOpen = [&](std::string_view) { late.Wait(); }});
    f.progress.onDoEvents = [&](int n) {
      if (n == 60) late.Open();
    };
    f.Run(t.path());
    ExpectMatchesCount(f, t.path());
  }
  {
    // Stopped while every reader is held: the scan ends without them.
    test::ScanFixture f(4, {.beforeOpen = [&](std::string_view) { never.Wait(); }});
    f.progress.onDoEvents = [&](int n) {
      if (n != 5) return;
      never.AwaitWaiter();
      f.s.gAbort = true;
    };
    f.Run(t.path());
    EXPECT_EQ(f.store.Text(0), "Root");
  }
  late.Open();
  never.Open();
  platform::ReadAhead::WaitAllReadersGone();
}

// ---- bad input ------------------------------------------------------------------------

TEST(Walk, DirectoryThatVanishesBeforeItIsEntered) {
  TempDir t;
  MakeDir(t / "a");
  MakeDir(t / "gone");
  MakeDir(t / "gone/inner");
  MakeDir(t / "z");
  MakeFile(t / "z/f", 1);
  test::ScanFixture f(0);  // read ahead before it vanished, it would count as read
  f.progress.onShow = [&](const std::string& path) {
    if (path == t / "gone") {
      ::rmdir((t / "gone/inner").c_str());
      ::rmdir((t / "gone").c_str());
    }
  };
  f.Run(t.path());
  const auto lines = f.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "1|2?" + t.path() + "/gone|gone     0 file(s), [0.00 Bytes], Lost space [4.00 KB]");
  EXPECT_EQ(lines[3], "1|3?" + t.path() + "/z|z     1 file(s), [1.00 Bytes], Lost space [8.00 KB]");
  EXPECT_EQ(f.s.gTotalDirs, 3);  // as the root's listing counted it
  EXPECT_EQ(f.s.gTotalFiles, 1);
}

// Runs `body` in a child process after `prepare` (which may drop privileges or lower limits
// for good); returns what the body returned.
std::string RunInChild(const std::function<void()>& prepare, const std::function<std::string()>& body) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return "pipe failed";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeFds[0]);
    prepare();
    const std::string out = body();
    const ssize_t written = ::write(pipeFds[1], out.data(), out.size());
    ::_exit(written == static_cast<ssize_t>(out.size()) ? 0 : 4);
  }
  ::close(pipeFds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return out;
}

// Without root's power to read anything.
std::string RunUnprivileged(const std::function<std::string()>& body) {
  return RunInChild([] { if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3); },
                    body);
}

std::string ProblemLines(const test::ScanFixture& f) {
  std::string text;
  for (platform::NodeStore::Index n = 0; n < f.store.size(); ++n)
    if (f.store.Problems(n) != 0)
      text += "problem " + std::to_string(n) + " " + std::to_string(f.store.Problems(n)) + " " +
              std::to_string(f.store.Error(n)) + "\n";
  return text;
}

TEST(Walk, UnreadableDirectoryIsAnEmptyLeafAndTheWalkGoesOn) {
  TempDir t;
  MakeDir(t / "a");
  MakeDir(t / "locked");
  MakeDir(t / "locked/inside");
  MakeFile(t / "locked/secret", 100);
  MakeDir(t / "m");
  MakeFile(t / "m/f", 3);
  MakeFile(t / "top", 5);
  ::chmod((t / "locked").c_str(), 0);
  const std::string out = RunUnprivileged([&] {
    test::ScanFixture f;
    f.Run(t.path());
    std::string text;
    for (const auto& line : f.Lines()) text += line + "\n";
    text += std::to_string(f.s.gTotalFiles) + " " + std::to_string(f.s.gTotalDirs) + " " +
            std::to_string(f.s.gTotalFileBytes) + "\n";
    return text + ProblemLines(f);
  });
  const std::string r = t.path();
  EXPECT_EQ(out, "0|0?" + r + "|" + r + " 1 file(s) [" + Size(4096 * 99000) + "], Lost space [" +
                     Size(4096 * 99000 - (4096 * 3 + 8)) + "]\n" +
                     "1|1?" + r + "/a|a     0 file(s), [0.00 Bytes], Lost space [4.00 KB]\n" +
                     "1|2?" + r + "/locked|locked     0 file(s), [0.00 Bytes], Lost space [4.00 KB]\n" +
                     "1|3?" + r + "/m|m     1 file(s), [3.00 Bytes], Lost space [8.00 KB]\n" +
                     "2 3 8\n" +
                     "problem 2 1 " + std::to_string(EACCES) + "\n");  // marked, with the reason
}

TEST(Walk, RootThatCannotBeOpenedIsMarkedNotEmpty) {
  TempDir t;
  test::ScanFixture f;
  f.Run(t.path() + "/gone");
  EXPECT_EQ(ProblemLines(f), "problem 0 1 " + std::to_string(ENOENT) + "\n");
}

TEST(Walk, ListedButNotEnteredIsMarkedAndItsTextsStay) {
  // Mode 0444: the names are there; 50 MB of sizes and the subdirectory are not.
  TempDir t;
  MakeDir(t / "listonly");
  MakeDir(t / "listonly/sub");
  MakeFile(t / "listonly/big", 50000000);
  ::chmod((t / "listonly").c_str(), 0444);
  const std::string out = RunUnprivileged([&] {
    test::ScanFixture f;
    f.Run(t.path());
    std::string text;
    for (const auto& line : f.Lines()) text += line + "\n";
    return text + ProblemLines(f);
  });
  const std::string r = t.path();
  EXPECT_EQ(out, "0|0?" + r + "|" + r + " 0 file(s) [" + Size(4096 * 99000) + "], Lost space [" +
                     Size(4096 * 99000 - 4096 * 2) + "]\n" +
                     "1|1?" + r + "/listonly|listonly     1 file(s), [0.00 Bytes], Lost space [12.00 KB]\n" +
                     "2|2?" + r + "/listonly/sub|sub     0 file(s), [0.00 Bytes], Lost space [4.00 KB]\n" +
                     "problem 1 4 " + std::to_string(EACCES) + "\n" +
                     "problem 2 1 " + std::to_string(EACCES) + "\n");
}

TEST(Walk, DeepChainLongerThanPathMax) {
  // 2,000 levels of "ddd": about 8,000 bytes of path. Every 100th level also holds a file and
  // a sibling "e", entered after the chain returns, past the window of open descriptors.
  TempDir t;
  const int depth = 2000;
  int fd = ::open(t.path().c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < depth; ++i) {
    if (i % 100 == 0) {
      ASSERT_EQ(::mkdirat(fd, "e", 0755), 0);
      const int file = ::openat(fd, "f", O_WRONLY | O_CREAT, 0644);
      ASSERT_EQ(::write(file, "x", 1), 1);
      ::close(file);
    }
    ASSERT_EQ(::mkdirat(fd, "ddd", 0755), 0);
    const int next = ::openat(fd, "ddd", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  ::close(fd);
  test::ScanFixture f;
  f.Run(t.path());
  ASSERT_EQ(f.store.size(), static_cast<std::size_t>(depth + depth / 100 + 1));
  EXPECT_EQ(f.s.gTotalDirs, depth + depth / 100);
  EXPECT_EQ(f.s.gTotalFiles, depth / 100);
  EXPECT_EQ(f.s.gTotalFileBytes, depth / 100);
  std::string deepest = t.path();
  for (int i = 0; i < depth; ++i) deepest += "/ddd";
  ASSERT_GT(deepest.size(), 4096u);
  EXPECT_EQ(f.store.Key(depth), std::to_string(depth) + "?" + deepest);
  EXPECT_EQ(f.store.Text(1), "ddd     0 file(s), [19.00 Bytes], Lost space [" +
                                 Size(19 * 4095 + 4096 + 2 * 4096 * int64_t{depth - 1 + 19}) + "]");
}

// Makes `depth` levels of "d" below `root`; with `comb`, each level also holds a side
// directory "s" with a one-byte file, entered only after the chain below has returned.
void MakeChain(const std::string& root, int depth, bool comb) {
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < depth; ++i) {
    if (comb) {
      ASSERT_EQ(::mkdirat(fd, "s", 0755), 0);
      const int file = ::openat(fd, "s/f", O_WRONLY | O_CREAT, 0644);
      ASSERT_EQ(::write(file, "x", 1), 1);
      ::close(file);
    }
    ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
    const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  ::close(fd);
}


TEST(Walk, DepthCostsNoCallStack) {
  // 20,000 levels walked on a thread of 1 MiB of stack: a walk that recursed would need
  // several times that. Every figure exact, the deepest key whole.
  TempDir t;
  const int depth = 20000;
  MakeChain(t.path(), depth, false);
  test::ScanFixture f;
  struct Job {
    test::ScanFixture* f;
    std::string root;
  } job{&f, t.path()};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1 << 20);
  pthread_t thread;
  ASSERT_EQ(::pthread_create(&thread, &attr,
                             [](void* arg) -> void* {
                               auto* j = static_cast<Job*>(arg);
                               j->f->Run(j->root);
                               return nullptr;
                             },
                             &job),
            0);
  ::pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  ASSERT_EQ(f.store.size(), static_cast<std::size_t>(depth + 1));
  EXPECT_EQ(f.s.gTotalDirs, depth);
  std::string deepest = t.path();
  for (int i = 0; i < depth; ++i) deepest += "/d";
  EXPECT_EQ(f.store.Key(depth), std::to_string(depth) + "?" + deepest);
  EXPECT_EQ(f.store.Text(depth), "d     0 file(s), [0.00 Bytes], Lost space [4.00 KB]");
  EXPECT_EQ(f.store.Text(1), "d     0 file(s), [0.00 Bytes], Lost space [" + Size(4096 * (2 * int64_t{depth} - 1)) + "]");
  EXPECT_EQ(f.scanner.dirList.Path(), t.path());
}

TEST(Walk, DescriptorsStayFewAndRunningOutIsAnError) {
  // A comb 3,000 deep: each side directory is entered after the chain below it has returned.
  TempDir t;
  const int depth = 3000;
  MakeChain(t.path(), depth, true);
  const auto scan = [&](int limit) {
    return RunInChild(
        [&] {
          if (limit == 0) return;
          const rlimit r{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
          if (::setrlimit(RLIMIT_NOFILE, &r) != 0) ::_exit(3);
        },
        [&] {
          test::ScanFixture f;
          const int before = test::OpenDescriptors();
          int most = 0;
          f.progress.onShow = [&](const std::string&) { most = std::max(most, test::OpenDescriptors() - before); };
          f.Run(t.path());
          return std::to_string(f.s.gTotalFiles) + " " + std::to_string(f.s.gTotalDirs) + " " +
                 std::to_string(f.s.gTotalFileBytes) + " " + std::to_string(f.store.size()) + " " +
                 ProblemLines(f) +
                 // The walk's window, a few of its own, and one for each reader (and its root).
                 (most <= 64 + 4 + static_cast<int>(test::Readers()) + 1 ? "few" : "many: " + std::to_string(most));
        });
  };
  const std::string exact = "3000 6000 3000 6001 few";
  EXPECT_EQ(scan(0), exact);
  EXPECT_EQ(scan(32), exact);

  // No descriptor to spare at all: the first directory cannot be entered, and says why
  // (had it been read ahead, it could be).
  const std::string starved = RunInChild([] {}, [&] {
    test::ScanFixture f(0);
    f.progress.onShow = [&](const std::string& path) {
      if (path != t / "d") return;
      const rlimit r{static_cast<rlim_t>(test::OpenDescriptors()), static_cast<rlim_t>(test::OpenDescriptors())};
      ::setrlimit(RLIMIT_NOFILE, &r);
      while (::dup(0) >= 0) {
      }  // and the gaps below the limit filled
    };
    f.Run(t.path());
    return f.store.Text(1) + "|" + std::to_string(f.store.Problems(1)) + " " + std::to_string(f.store.Error(1));
  });
  EXPECT_EQ(starved, "d     0 file(s), [0.00 Bytes], Lost space [4.00 KB]|1 " + std::to_string(EMFILE));
}

TEST(Walk, ParentIsShownAsFirstReadWhileItChangesDuringTheWalk) {
  TempDir t;
  MakeDir(t / "p");
  MakeDir(t / "p/c1");
  MakeDir(t / "p/c2");
  MakeFile(t / "p/f", 10);
  test::ScanFixture f;
  f.progress.onShow = [&](const std::string& path) {
    if (path == t / "p/c1") MakeFile(t / "p/late", 1000);  // appears after p was read
  };
  f.Run(t.path());
  EXPECT_EQ(f.store.Text(1), "p     1 file(s), [10.00 Bytes], Lost space [" +
                                 Size(4086 + 4096 + 2 * 2 * 4096) + "]");
  EXPECT_EQ(f.s.gTotalFiles, 1);
}

TEST(Walk, RescanSeesChangesMadeSinceTheLastOne) {
  TempDir t;
  MakeDir(t / "a");
  MakeFile(t / "one", 1);
  test::ScanFixture f;
  f.Run(t.path());
  EXPECT_EQ(f.s.gTotalFiles, 1);
  MakeFile(t / "two", 1);
  MakeFile(t / "a/three", 1);
  f.Run(t.path());
  EXPECT_EQ(f.s.gTotalFiles, 3);
  EXPECT_EQ(f.store.Key(0), "0?" + t.path());
  EXPECT_EQ(f.store.size(), 2u);
}

TEST(Walk, NeverEntersAnotherMountedFileSystem) {
  if (!test::CanMount()) GTEST_SKIP() << "mounting is not permitted here";
  TempDir t;
  MakeDir(t / "a");
  MakeDir(t / "a/mnt");
  MakeDir(t / "a/.hmnt");
  MakeDir(t / "a/bind");
  MakeDir(t / "a/late");
  MakeFile(t / "a/f", 5);
  MakeDir(t / "src");
  MakeFile(t / "src/g", 7);
  ASSERT_EQ(::mount("kvortest", (t / "a/mnt").c_str(), "tmpfs", 0, "size=256k"), 0);
  ASSERT_EQ(::mount("kvortest", (t / "a/.hmnt").c_str(), "tmpfs", 0, "size=256k"), 0);
  // The same file system seen a second time: one device, caught by the mount table.
  ASSERT_EQ(::mount((t / "src").c_str(), (t / "a/bind").c_str(), nullptr, MS_BIND, nullptr), 0);
  MakeDir(t / "a/mnt/inside");
  MakeFile(t / "a/mnt/inside/big", 100000);
  // Mounted after the scan read the mount table: caught by its device (a directory read
  // ahead before the mount would count as it was read).
  test::ScanFixture f(0);
  f.progress.onShow = [&](const std::string& path) {
    if (path == t / "a") ::mount("kvortest", (t / "a/late").c_str(), "tmpfs", 0, "size=256k");
  };
  f.Run(t.path());
  for (const char* point : {"a/mnt", "a/.hmnt", "a/bind", "a/late"}) ::umount2((t / point).c_str(), MNT_DETACH);
  EXPECT_EQ(f.store.size(), 3u);
  EXPECT_EQ(f.s.gTotalDirs, 2);
  EXPECT_EQ(f.s.gTotalFileBytes, 12);
  EXPECT_EQ(f.s.gNodeCounter, 3);
  EXPECT_EQ(f.store.Text(1), "a     1 file(s), [5.00 Bytes], Lost space [" + Size(4091 + 4096) + "]");
  EXPECT_EQ(f.store.Key(2), "2?" + t.path() + "/src");
}

// ---- text helpers -------------------------------------------------------------------------

TEST(PathText, LeafParentAndPairFields) {
  EXPECT_EQ(PathLeaf("/usr/share/doc"), "doc");
  EXPECT_EQ(PathLeaf("/usr/"), "");
  EXPECT_EQ(PathLeaf("plain"), "plain");
  EXPECT_EQ(PathParent("/usr/share/doc"), "/usr/share");
  EXPECT_EQ(PathParent("/usr"), "");  // the bare drive, which becomes "/" before use
  EXPECT_EQ(PairField("123,456", 1), 123);
  EXPECT_EQ(PairField("123,456", 2), 456);
  EXPECT_EQ(PairField("123,456", 0), 456);
  EXPECT_EQ(PairField("6000000001,12288", 1), 6000000001LL);
  EXPECT_EQ(platform::SlackOf(0, 4096), 0);
  EXPECT_EQ(platform::SlackOf(4096, 4096), 0);
  EXPECT_EQ(platform::SlackOf(4097, 4096), 4095);
  EXPECT_EQ(platform::SlackOf(100, 0), 0);
}

}  // namespace
}  // namespace kvor
