// The scan engine: the walk over whole trees, checked against figures counted independently
// with readdir/statx, and the figures and texts it shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <tuple>

#include "engine/diskspace.h"
#include "engine/estimate.h"
#include "engine/formatsize.h"
#include "engine/rowtext.h"
#include "engine/scanner.h"
#include "gate.h"
#include "tempdrive.h"

namespace kvor {
namespace {

using namespace test;

// Readers that read ahead of the walk: the program's count, or none when the suite runs a
// second time to show that they change nothing (KVOR_TEST_READERS=0).
unsigned Readers() {
  const char* given = std::getenv("KVOR_TEST_READERS");
  return given != nullptr ? static_cast<unsigned>(std::atoi(given)) : platform::DirCursor::kReaders;
}

// A scan of a temporary directory as a drive, as the report tool runs it, with hooks into
// the progress calls so tests can stop the walk or change the tree at exact points.
struct ScanFixture : ScanProgress {
  ScanResult scan;
  FakeSystem system;
  std::atomic<bool> cancel = false;
  Scanner scanner;
  int doEvents = 0;
  std::function<void(const std::string&)> onShow;
  std::function<void(int)> onDoEvents;  // gets the 1-based count of calls so far
  std::optional<DriveHolds> holds;
  std::vector<int64_t> entriesShown;

  explicit ScanFixture(unsigned readers = Readers(), Scanner::Options o = {})
      : scanner(system, *this, cancel, (o.readers = readers, o.firstReaders = readers, std::move(o))) {}

  // Reaches the "drive"'s root, queries and reads it, and walks it, as the start-up does.
  void Run(const std::string& root) { scanner.ReachDrive(root, scan), scanner.ScanDrive(scan); }

  void Measure(const DriveHolds& h) override { holds = h, entriesShown.clear(); }
  void ShowCurrentDir(std::string_view path, const WalkCounts& counts) override {
    entriesShown.push_back(counts.entries);
    if (onShow) onShow(std::string(path));
  }
  void DoEvents() override { if (++doEvents; onDoEvents) onDoEvents(doEvents); }

  std::string Text(NodeStore::Index node) const { return RowText(scan, node, '.'); }
  // Nodes in display order as "depth|key|text", and " !problems error" where a node is marked.
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    std::vector<int> depth;
    for (NodeStore::Index node = 0; node < scan.tree.size(); ++node) {
      const NodeStore::Node& n = scan.tree[node];
      depth.push_back(node == 0 ? 0 : depth[n.parent] + 1);
      out.push_back(std::to_string(depth.back()) + "|" + std::to_string(node) + "?" + scan.tree.Path(node) + "|" + Text(node) +
                    (n.problems == 0 ? "" : " !" + std::to_string(n.problems) + " " + std::to_string(n.error)));
    }
    return out;
  }
};

std::string Size(int64_t bytes) { return FormatSize(static_cast<double>(bytes), '.'); }

// ---- the independent count -------------------------------------------------------------

struct Expected {
  std::vector<std::string> lines;
  int64_t files = 0, dirs = 0, bytes = 0, blocks = 0, mounts = 0;
};

// Adds the line of `path` and those below it; returns its subtree's bytes and lost space.
std::pair<int64_t, int64_t> Visit(const std::string& path, int depth, int64_t cluster, Expected& e) {
  std::vector<std::string> dirs, hidden;
  int64_t files = 0, bytes = 0, lost = cluster;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {  // in the order readdir gives
    const std::string child = entry.path().filename();
    struct statx st {};
    if (::statx(AT_FDCWD, entry.path().c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_SIZE | STATX_BLOCKS, &st) != 0)
      continue;
    if ((st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {  // other mounts are left out, as the walk does
      ++e.mounts;
      continue;
    }
    const auto size = static_cast<int64_t>(st.stx_size);
    if (S_ISDIR(st.stx_mode))
      (child[0] == '.' ? hidden : dirs).push_back(child);
    else
      ++files, bytes += size, e.blocks += static_cast<int64_t>(st.stx_blocks), lost += cluster > 0 && size % cluster ? cluster - size % cluster : 0;
  }
  std::sort(dirs.begin(), dirs.end());  // ordinary ones by bytes, then hidden ones as read
  const std::string form = hidden.empty() ? "     " + std::to_string(files) + " file(s), ["
                                          : "    " + std::to_string(files) + " files(s) [";
  dirs.insert(dirs.end(), hidden.begin(), hidden.end());
  const std::size_t line = e.lines.size();
  e.lines.emplace_back(depth == 0 && !dirs.empty() ? std::to_string(files) : "Root");
  e.files += files, e.dirs += static_cast<int64_t>(dirs.size()), e.bytes += bytes;
  for (const auto& child : dirs) {
    const auto [b, l] = Visit(path + "/" + child, depth + 1, cluster, e);
    bytes += b, lost += l + cluster;
  }
  if (depth > 0)
    e.lines[line] = std::to_string(depth) + "|" + std::to_string(line) + "?" + path + "|" +
                    path.substr(path.rfind('/') + 1) + form + Size(bytes) + "], Lost space [" + Size(lost) + "]";
  return {bytes, lost};
}

Expected Count(const std::string& root, int64_t cluster, int64_t used) {
  Expected e;
  Visit(root, 0, cluster, e);
  // The root's own line: its files only, the drive's used bytes, the space not explained.
  const bool walked = e.lines[0] != "Root";
  e.lines[0] = "0|0?" + root + "|" + (walked ? root + " " + e.lines[0] + " file(s) [" + Size(used) + "], Lost space [" +
                                                   Size(used - cluster * e.dirs - e.bytes) + "]"
                                             : "Root");
  return e;
}

void ExpectMatchesCount(const ScanFixture& f, const std::string& root) {
  const Expected e = Count(root, f.scan.gClusterSize, f.scan.gUsedBytes);
  EXPECT_EQ(f.Lines(), e.lines);
  EXPECT_EQ(std::vector<int64_t>({f.scan.gTotalFiles, f.scan.gTotalDirs, f.scan.gTotalFileBytes}),
            std::vector<int64_t>({e.files, e.dirs, e.bytes}));
  // What the progress is measured by: every name read (a mount point's too) and block, the root's name too; the root
  // shown with its own name only. A folder is not its file system's root, so the drive's figures do not measure it.
  const WalkCounts& c = f.scanner.Counts();
  EXPECT_EQ(std::vector<int64_t>({c.dirs, c.entries, c.allocated}),
            std::vector<int64_t>({e.dirs + 1, e.files + e.dirs + e.mounts + 1, e.blocks}));
  // What readers read ahead counts once, never again when the walk takes it.
  EXPECT_TRUE(f.entriesShown.front() == 1 && *std::max_element(f.entriesShown.begin(), f.entriesShown.end()) <= c.entries);
  EXPECT_TRUE(f.holds && !f.holds->wholeDrive);
  for (NodeStore::Index n = 0; n < f.scan.tree.size(); ++n) {  // the root's leaf is not hidden
    const std::string path = f.scan.tree.Path(n);
    EXPECT_EQ(f.scan.tree[n].hidden, n > 0 && path[path.rfind('/') + 1] == '.') << path;
  }
}

// ---- whole trees ---------------------------------------------------------------------

TEST(Walk, TreesMatchAnIndependentCount) {
  for (const unsigned seed : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    TempDir t;
    seed > 0 ? MakeTree(t.path(), seed, 120) : MakeFile(t / ".f", 20);  // seed 0: no subdirectory
    if (seed == 1) {  // a directory wide enough to have its sizes read in slices
      MakeDir(t / "wide"), MakeDir(t / "wide/.in"), MakeDir(t / "wide/in");
      for (int i = 0; i < 5000; ++i) MakeFile(t / ("wide/" + std::to_string(i)), uint64_t(i) * 7919 % 20000);
    }
    // Seed 2: no cluster size (a failed query), so nothing is lost. Seed 3: readers held until
    // the walk is half way; it reads the first half itself.
    Gate late;
    ScanFixture f(seed == 3 ? 4 : Readers(), {.beforeOpen = [&](std::string_view) { if (seed == 3) late.Wait(); }});
    f.onDoEvents = [&](int n) { if (n == 60) late.Open(); };
    f.system.queryFails = seed == 2;
    f.Run(t.path());
    late.Open();
    ExpectMatchesCount(f, t.path());
    EXPECT_EQ(f.doEvents > 0, seed > 0);  // a root alone: nothing to yield for
    // A rescan sees what changed since.
    MakeFile(t / "new", 5);
    MakeDir(t / ".new");
    f.Run(t.path());
    ExpectMatchesCount(f, t.path());
  }
}

TEST(Walk, EntersWhatWasReadAheadWithoutAReadOfItsOwn) {
  // One reader reads "x", then "x/y"; a file added to "x" in between stays unseen.
  TempDir t;
  for (const char* dir : {"x", "x/y"}) MakeDir(t / dir);
  MakeFile(t / "x/f", 1);
  Gate read;
  ScanFixture f(1, {.beforeOpen = [&](auto at) { if (at == "x/y") MakeFile(t / "x/late", 1), read.Open(); }});
  f.onShow = [&](const std::string& path) { if (path == t / "x") read.Wait(); };
  f.Run(t.path());
  EXPECT_EQ(f.scan.gTotalFiles, 1);
}

TEST(Walk, SumsBeyondSixtyFourBitsStayExact) {
  // Two sparse files of 5e18 bytes (whole clusters): 1e19 in one directory, beyond 64 bits.
  TempDir t;
  MakeDir(t / "huge");
  for (const char* file : {"huge/one", "huge/two"}) MakeFile(t / file, 5000000000000000000ULL);
  ScanFixture f;
  f.system.figures = {4096, 0, 1};  // the drive claims a single used cluster
  f.Run(t.path());
  EXPECT_EQ(f.Text(1), "huge     2 file(s), [" + FormatSize(1e19, '.') + "], Lost space [4.00 KB]");
  // The 64-bit total stops at its largest value, and the directories say so; the nodes keep
  // the exact figures. The root's lost space is the drive's used space less what the totals
  // account for (one directory's cluster and the total as it stopped), as the analysis says.
  EXPECT_EQ(f.scan.gTotalFileBytes, INT64_MAX);
  EXPECT_EQ(f.Text(0), t.path() + " 0 file(s) [4.00 KB], Lost space [" + Size(4096 - 4096 - INT64_MAX) + "]");
  EXPECT_TRUE(FoundBytes(f.scan) == Int128{4096} + INT64_MAX);
  for (const NodeStore::Index n : {0u, 1u}) {
    EXPECT_EQ(f.scan.tree[n].problems * 1000 + f.scan.tree[n].error, platform::kSumTooLarge * 1000 + EOVERFLOW);
    EXPECT_TRUE(f.scan.tree[n].bytes == Int128{10000000000000000000ULL});
  }
}

TEST(Walk, StopAtAnyYieldAddsAndChangesNothingMore) {
  TempDir t;
  MakeTree(t.path(), 7, 25);
  ScanFixture full;
  full.Run(t.path());
  ASSERT_GT(full.doEvents, 10);
  for (int stopAt = 1; stopAt <= full.doEvents; ++stopAt) {
    SCOPED_TRACE(stopAt);
    ScanFixture f;
    std::vector<std::string> linesAtStop;
    f.onDoEvents = [&](int n) { if (n == stopAt) f.cancel = true, linesAtStop = f.Lines(); };
    f.Run(t.path());
    EXPECT_EQ(f.doEvents, stopAt);  // no yield after the stop
    EXPECT_EQ(f.Lines(), linesAtStop);       // no node added, no text changed
    EXPECT_EQ(f.Text(0), "Root");
    EXPECT_EQ(f.scan.end, ScanResult::End::Stopped);
    // A new scan after the stop, from wherever the walk stood, shows the whole tree.
    f.cancel = false;
    f.onDoEvents = nullptr;
    f.Run(t.path());
    ASSERT_EQ(f.Lines(), full.Lines());
  }
}

// The tree, then the totals, as text.
std::string Report(const ScanFixture& f) {
  std::string text;
  for (const auto& line : f.Lines()) text += line + "\n";
  return text + std::to_string(f.scan.gTotalFiles) + " " + std::to_string(f.scan.gTotalDirs) + " " +
         std::to_string(f.scan.gTotalFileBytes) + "\n";
}

TEST(Walk, WhatCannotBeReadIsMarkedAndTheWalkGoesOn) {
  TempDir t;
  for (const char* dir : {"a", "gone", "gone/inner", "listonly", "listonly/sub", "locked", "locked/inside", "m", "m/c"})
    MakeDir(t / dir);
  for (const auto& [file, size] : {std::pair{"listonly/big", 50000000}, {"locked/secret", 100}, {"m/f", 3}, {"top", 5}})
    MakeFile(t / file, size);
  // "listonly": names there, sizes and the way in not.
  for (const auto& [dir, mode] : {std::pair{"locked", 0}, {"listonly", 0444}, {"", 0777}, {"gone", 0777}, {"m", 0777}})
    ::chmod((t / dir).c_str(), mode);
  const std::string out = RunInChild(DropPrivileges, [&] {
    ScanFixture f;
    f.onShow = [&](const std::string& path) {
      // "gone": listed with the root, gone before anyone reads it; "m" shows as it was first read.
      if (path == t.path()) std::filesystem::remove_all(t / "gone");
      if (path == t / "m/c") MakeFile(t / "m/late", 1000);
    };
    f.Run(t.path());
    return Report(f);
  });
  const std::string r = t.path(), empty = "     0 file(s), [0.00 Bytes], Lost space [4.00 KB]";
  const std::string denied = empty + " !1 " + std::to_string(EACCES) + "\n";
  EXPECT_EQ(out, "0|0?" + r + "|" + r + " 1 file(s) [" + Size(4096 * 99000) + "], Lost space [" +
                     Size(4096 * 99000 - (4096 * 7 + 8)) + "]\n1|1?" + r + "/a|a" + empty + "\n1|2?" + r +
                     "/gone|gone" + empty + " !1 " + std::to_string(ENOENT) + "\n1|3?" + r +
                     "/listonly|listonly     1 file(s), [0.00 Bytes], Lost space [12.00 KB] !4 " +
                     std::to_string(EACCES) + "\n2|4?" + r + "/listonly/sub|sub" + denied + "1|5?" + r +
                     "/locked|locked" + denied + "1|6?" + r + "/m|m     1 file(s), [3.00 Bytes], Lost space [" +
                     Size(4093 + 3 * 4096) + "]\n2|7?" + r + "/m/c|c" + empty + "\n3 7 8\n");
  ScanFixture gone;  // a root that cannot be opened is marked, not shown as an empty drive
  gone.Run(t / "nothing");
  EXPECT_EQ(Report(gone), "0|0?" + t / "nothing|Root !1 " + std::to_string(ENOENT) + "\n0 0 0\n");
}

// The totals are always what the nodes show.
void ExpectTotalsOfTheNodes(const ScanFixture& f) {
  int64_t files = 0;
  for (NodeStore::Index n = 0; n < f.scan.tree.size(); ++n) files += static_cast<int64_t>(f.scan.tree[n].files);
  EXPECT_EQ(std::pair(f.scan.gTotalFiles, f.scan.gTotalDirs), std::pair(files, int64_t(f.scan.tree.size()) - 1));
}

// A directory replaced after its parent's listing, before its own read by the walk or by a
// reader ahead of it: a symlink out of the drive or a file takes its name, or it is exchanged
// with its sibling before the first sibling's read, the second's, or both. It counts once:
// read as it now is (the tree is then the drive as it now is), or marked; the totals are the
// nodes'.
TEST(Walk, ADirectoryReplacedAfterItsListingCountsOnce) {
  TempDir t, outside;
  for (const char* dir : {"p", "p/q", "p/q/r", "p/q/r/s", "p/q2", "p/q2/new", "s", "s/inner"}) MakeDir(t / dir);
  for (const auto& [file, size] : {std::pair{"top", 10}, {"p/q/qf", 2}, {"p/q2/n1", 3}, {"s/f", 20}, {"s/inner/g", 30}})
    MakeFile(t / file, size);
  MakeDir(outside / "x"), MakeFile(outside / "x/decoy", 12345);
  enum Change { kLink, kFile, kExchange };
  using Marked = std::tuple<std::string, int, int>;  // path below the root, problems, error
  const int changed = platform::kChanged;
  const struct {
    Change change;
    std::vector<std::string> at;   // made just before the read of each
    std::vector<Marked> marked;    // none: the tree is the drive as it now is
    std::tuple<int64_t, int64_t, int64_t> totals;  // files, directories, bytes
  } cases[] = {{kLink, {"s"}, {{"s", changed, ENOTDIR}}, {3, 7, 15}},
               {kFile, {"s"}, {{"s", changed, ENOTDIR}}, {3, 7, 15}},
               {kExchange, {"p/q"}, {}, {5, 8, 65}},
               {kExchange, {"p/q2"}, {{"p/q2", changed, 0}}, {4, 7, 62}},
               {kExchange, {"p/q", "p/q2"}, {{"p/q2", changed, 0}}, {4, 6, 63}}};
  for (const auto& c : cases)
    for (const bool byReader : {false, true}) {
      SCOPED_TRACE(std::to_string(&c - cases) + (byReader ? " read ahead" : " read by the walk"));
      int exchanges = 0;
      const auto change = [&](const std::string& at) {
        if (std::find(c.at.begin(), c.at.end(), at) == c.at.end()) return;
        if (c.change == kExchange) {
          ASSERT_EQ(::renameat2(AT_FDCWD, (t / "p/q").c_str(), AT_FDCWD, (t / "p/q2").c_str(), RENAME_EXCHANGE), 0);
          ++exchanges;
          return;
        }
        ASSERT_EQ(::rename((t / "s").c_str(), (t / "s.away").c_str()), 0);
        c.change == kLink ? std::filesystem::create_symlink(outside / "x", t / "s") : MakeFile(t / "s", 7);
      };
      // One reader reads the tree depth first while the walk waits; it goes on once the
      // reader has made the last change.
      Gate last;
      ScanFixture f(byReader ? 1 : 0, {.beforeOpen = [&](std::string_view path) {
                      if (!byReader) return;
                      change(std::string(path));
                      if (path == c.at.back()) last.Open();
                    }});
      f.onShow = [&](const std::string& path) {
        if (byReader && path == t / "p") last.Wait();
        if (!byReader && path.size() > t.path().size()) change(path.substr(t.path().size() + 1));
      };
      f.Run(t.path());
      ExpectTotalsOfTheNodes(f);
      std::vector<Marked> marked;
      for (NodeStore::Index n = 0; n < f.scan.tree.size(); ++n)
        if (const NodeStore::Node& node = f.scan.tree[n]; node.problems != 0)
          marked.emplace_back(f.scan.tree.Path(n).substr(t.path().size() + 1), node.problems, node.error);
      EXPECT_EQ(marked, c.marked);
      EXPECT_EQ(std::tuple(f.scan.gTotalFiles, f.scan.gTotalDirs, f.scan.gTotalFileBytes), c.totals);
      if (c.marked.empty()) ExpectMatchesCount(f, t.path());
      if (exchanges % 2 == 1) ::renameat2(AT_FDCWD, (t / "p/q").c_str(), AT_FDCWD, (t / "p/q2").c_str(), RENAME_EXCHANGE);
      if (c.change != kExchange) ::unlink((t / "s").c_str()), ::rename((t / "s.away").c_str(), (t / "s").c_str());
    }
}

// What goes wrong inside a listing, made to happen where a test wants it: a directory whose
// listing fails part way keeps what came before and says so; entries removed between the
// listing and the reading of their sizes are left out, whatever lies around them.
TEST(Walk, ListingsThatFailPartWayOrLoseEntries) {
  TempDir t;
  for (const char* dir : {"part", "thin"}) MakeDir(t / dir);
  for (int i = 0; i < 300; ++i) MakeFile(t / ("part/f" + std::to_string(i)), 1);
  for (int i = 0; i < 10; ++i) MakeFile(t / ("thin/keep" + std::to_string(i)), 100 + i), MakeFile(t / ("thin/gone" + std::to_string(i)), 5000);
  const auto in = [](int fd, const std::string& dir) {
    return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)) == dir;
  };
  Scanner::Options hooks{.listing = {
      .getdents = [&](int fd, char* buffer, std::size_t size) -> long {
        static thread_local int calls = 0;  // per listing of "part": the first batch, then an error
        if (!in(fd, t / "part")) return ::syscall(SYS_getdents64, fd, buffer, size);
        if (calls++ % 2 == 1) return errno = EIO, -1;
        return ::syscall(SYS_getdents64, fd, buffer, 4096);
      },
      .lstatat = [&](int fd, const char* name, struct stat* st) {
        if (std::string_view(name).starts_with("gone")) return errno = ENOENT, -1;
        return ::fstatat(fd, name, st, AT_SYMLINK_NOFOLLOW);
      }}};
  ScanFixture f(Readers(), hooks);
  f.Run(t.path());
  ExpectTotalsOfTheNodes(f);
  const NodeStore::Node& part = f.scan.tree[1];
  EXPECT_EQ(std::pair(int(part.problems), int(part.error)), std::pair(int(platform::kListedInPart), EIO));
  EXPECT_TRUE(part.files > 0 && part.files < 300 && part.bytes == Int128(part.files)) << part.files;
  EXPECT_EQ(f.Text(2), "thin     10 file(s), [" + Size(1045) + "], Lost space [" + Size(10 * 4096 - 1045 + 4096) + "]");
}

TEST(Walk, DeepCombOnASmallStackWithFewDescriptors) {
  // 3,000 levels of "d", paths beyond PATH_MAX; each level also holds "s" with a one-byte file,
  // entered only after the chain below has returned, past the window of open descriptors.
  // Walked on 256 KiB of stack (a walk that recursed would need several times that) with
  // 32 descriptors in all.
  TempDir t;
  const int depth = 3000;
  // Built from within, a level at a time: its paths soon grow too long to name.
  const int start = ::open(".", O_RDONLY | O_DIRECTORY);
  std::string deepest = t.path();
  ASSERT_EQ(::chdir(t.path().c_str()), 0);
  for (int i = 0; i < depth; ++i) {
    MakeDir("s"), MakeFile("s/f", 1), MakeDir("d"), deepest += "/d";
    ASSERT_EQ(::chdir("d"), 0);
  }
  ASSERT_EQ(::fchdir(start) + ::close(start), 0);
  const auto limit = [] {
    const rlimit r{32, 32};
    pthread_attr_t attr;  // for every thread from now on
    if (::setrlimit(RLIMIT_NOFILE, &r) != 0 || pthread_attr_init(&attr) != 0 ||
        pthread_attr_setstacksize(&attr, 256 << 10) != 0 || pthread_setattr_default_np(&attr) != 0)
      ::_exit(3);
  };
  const std::string out = RunInChild(limit, [&] {
    ScanFixture f;
    std::thread([&] { f.Run(t.path()); }).join();
    const std::string report = Report(f);  // no node marked, and the totals
    return f.scan.tree.Path(depth) + "\n" + f.Text(1) + "\n" + std::to_string(report.find(" !")) +
           report.substr(report.rfind("\n3000 "));
  });
  EXPECT_EQ(out, deepest + "\nd     0 file(s), [2.93 KB], Lost space [" +
                     Size(4096 + (depth - 1) * int64_t{4095 + 4 * 4096}) + "]\n" + std::to_string(std::string::npos) +
                     "\n3000 6000 3000\n");

  // No descriptor to spare at all: the first directory cannot be entered, and says why
  // (had it been read ahead, it could be).
  const std::string starved = RunInChild([] {}, [&] {
    ScanFixture f(0);
    f.onShow = [&](const std::string& path) {
      const auto open = static_cast<rlim_t>(path == t / "d" ? OpenDescriptors() : 0);
      if (const rlimit r{open, open}; open > 0 && ::setrlimit(RLIMIT_NOFILE, &r) == 0)
        while (::dup(0) >= 0) {}  // and the gaps below the limit filled
    };
    f.Run(t.path());
    return f.Lines().at(1);
  });
  EXPECT_EQ(starved, "1|1?" + t / "d|d     0 file(s), [0.00 Bytes], Lost space [4.00 KB] !1 " + std::to_string(EMFILE));
}

TEST(Walk, NeverEntersAnotherMountedFileSystem) {
  TempDir t;
  for (const char* dir : {"a", "a/mnt", "a/.hmnt", "a/bind", "a/late", "src"}) MakeDir(t / dir);
  for (const auto& [file, size] : {std::pair{"a/f", 5}, {"src/g", 7}}) MakeFile(t / file, size);
  if (::mount("kvortest", (t / "a/mnt").c_str(), "tmpfs", 0, "size=256k") != 0) GTEST_SKIP() << "cannot mount";
  ::mount("kvortest", (t / "a/.hmnt").c_str(), "tmpfs", 0, "size=256k");
  // The same file system seen a second time: one device, another mount.
  ::mount((t / "src").c_str(), (t / "a/bind").c_str(), nullptr, MS_BIND, nullptr);
  MakeFile(t / "a/mnt/big", 100000);
  // With none read ahead, one mounted once the walk has started (a directory read ahead before
  // the mount would count as it was read).
  // With one reader, the walk enters "a" only once the reader has gone on from it to "src".
  for (const unsigned readers : {0u, 1u}) {
    Gate read;
    ScanFixture f(readers, {.beforeOpen = [&](std::string_view path) { if (path == "src") read.Open(); }});
    if (readers > 0) ::mount("kvortest", (t / "a/late").c_str(), "tmpfs", 0, "size=256k");
    f.onShow = [&](const std::string& path) {
      if (path == t / "a" && readers == 0) ::mount("kvortest", (t / "a/late").c_str(), "tmpfs", 0, "size=256k");
      if (path == t / "a" && readers > 0) read.Wait();
    };
    f.Run(t.path());
    ExpectMatchesCount(f, t.path());
    EXPECT_EQ(f.scan.gTotalDirs, 2);
    ::umount2((t / "a/late").c_str(), MNT_DETACH);
  }
  // One look at a root tells a mount's root from a folder.
  for (const auto& [dir, root] : {std::pair{"a/mnt", true}, {"a/bind", true}, {"a", false}}) {
    const int fd = ::open((t / dir).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(platform::LocalSystem().IsMountRoot(fd), root) << dir;
    ::close(fd);
  }
  for (const char* point : {"a/mnt", "a/.hmnt", "a/bind"}) ::umount2((t / point).c_str(), MNT_DETACH);
}

// A btrfs drive as distributions install it: subvolumes (one nested and hidden), a snapshot of
// them, a hard link. Subvolumes are the drive's own directories; a bind mount of one and a tmpfs
// are other mounts, left out. All of it the same whether /proc is mounted or not.
TEST(Walk, BtrfsSubvolumesAreWalkedMountsLeftOutWithOrWithoutProc) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a btrfs image needs root";
  TempDir t;
  const std::string mnt = t / "mnt";
  const auto sh = [&](const std::string& script) {
    return std::system(("{ set -e; cd '" + t.path() + "'; " + script + "; } >/dev/null 2>&1").c_str()) == 0;
  };
  if (!sh("mkdir mnt; truncate -s 128M img; mkfs.btrfs -q img; mount -o loop img mnt"))
    GTEST_SKIP() << "cannot mount a btrfs image here (btrfs-progs, loop devices, btrfs in the kernel)";
  const bool made = sh(
      "cd mnt; mkdir -p d/e bind tmp; btrfs subvolume create sv; btrfs subvolume create sv/.nested;"
      "mkdir sv/x sv/.nested/deep; head -c 5000 /dev/zero >sv/x/f; ln sv/x/f sv/x/hard; printf abc >sv/.nested/g;"
      "head -c 100 /dev/zero >d/e/f; printf 1234567 >top; btrfs subvolume snapshot sv snap;"
      "mount --bind sv bind; mount -t tmpfs kvortest tmp; printf z >tmp/z; sync");
  // Hidden from the machine's /proc, in a mount namespace of the scan's own.
  const auto scan = [&](bool hideProc) {
    return RunInChild(
        [&] {
          if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
              (hideProc && ::umount2("/proc", MNT_DETACH) != 0))
            ::_exit(0);
        },
        [&] {
          ScanFixture f;
          f.Run(mnt);
          return std::to_string(std::filesystem::exists("/proc/self")) + "\n" + Report(f);
        });
  };
  const std::string withProc = scan(false), withoutProc = scan(true);
  const Expected e = Count(mnt, 4096, 4096 * (100000 - 1000));  // FakeSystem's figures
  ::umount2(mnt.c_str(), MNT_DETACH);  // and everything mounted below it
  ASSERT_TRUE(made);
  if (withoutProc.empty()) GTEST_SKIP() << "no mount namespace here";
  std::string counted;
  for (const auto& line : e.lines) counted += line + "\n";
  // Dirs d d/e sv sv/x sv/.nested sv/.nested/deep snap snap/x snap/.nested; files at each name.
  EXPECT_EQ(std::tuple(e.files, e.dirs, e.bytes), std::tuple(7, 9, 5000 * 4 + 100 + 7 + 3));
  counted += std::to_string(e.files) + " " + std::to_string(e.dirs) + " " + std::to_string(e.bytes) + "\n";
  EXPECT_EQ(withProc, "1\n" + counted);
  EXPECT_EQ(withoutProc, "0\n" + counted);
}

TEST(FormatSize, UnitsRoundingAndSeparator) {
  const std::pair<double, const char*> cases[] = {
      {0, "0.00 Bytes"}, {1023, "1023.00 Bytes"}, {1024, "1.00 KB"}, {1536, "1.50 KB"},
      {1152, "1.13 KB"},          // exactly 1.125: half rounds away from zero
      {1024 * 2.005, "2.00 KB"},  // 2.005 is not exact: it lies below
      {1048575, "1024.00 KB"}, {1048576, "1.00 MB"}, {1073741823, "1024.00 MB"}, {1073741824, "1.00 GB"},
      {5 * 1099511627776.0, "5120.00 GB"}, {9.0e18, "8381903171.54 GB"},
      // Negative counts stay in bytes, down to the most negative 64-bit figure.
      {-0.5, "-0.50 Bytes"}, {-2.125, "-2.13 Bytes"}, {-5e9, "-5000000000.00 Bytes"},
      {-9007199254740993.0, "-9007199254740992.00 Bytes"}, {-0x1p63, "-9223372036854775808.00 Bytes"},
      {1.0 / 0.0, "inf GB"}, {-1.0 / 0.0, "-inf Bytes"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatSize(bytes, '.'), text) << bytes;
  EXPECT_EQ(FormatSize(1536, ',') + FormatSize(-1e17, ','), "1,50 KB-100000000000000000,00 Bytes");
  for (const auto& [value, text] : {std::pair{32.0, "32"}, {0.5, "0,5"}, {0.0, "0"}, {1048576.0, "1048576"},
                                     {3.0 / 1024, "0,0029296875"}})
    EXPECT_EQ(FormatGeneral(value, ','), text);
  const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE.UTF-8 locale";
  EXPECT_EQ(FormatSize(1536), "1,50 KB");  // the locale's separator
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(FormatSize(1536), "1.50 KB");
}

TEST(GetDiskSpace, FiguresFromClustersOfTheQuery) {
  const struct { platform::SpaceFigures space; int64_t cluster, free, used, total; } cases[] = {
      {{32768, 10000, 65000}, 32768, 327680000, 1802240000, 2129920000},
      {{4096, 3LL << 28, 1LL << 32}, 4096, 3LL << 40, 13LL << 40, 1LL << 44},  // beyond 32 bits
      {{}, 0, 0, 0, 0}};                                                        // a failed query
  for (const auto& c : cases) {
    ScanFigures s;
    const std::vector<int64_t> got{GetDiskSpace(s, c.space, "free"), GetDiskSpace(s, c.space, "FREE"), s.gClusterSize,
                                   GetDiskSpace(s, c.space, "USED"), GetDiskSpace(s, c.space, "TOTAL")};
    EXPECT_EQ(got, (std::vector<int64_t>{0, c.free, c.cluster, c.used, c.total}));  // "free": kinds are exact
  }
  // A drive whose space cannot be queried is still walked, with no cluster to lose.
  TempDir t;
  MakeFile(t / "f", 10);
  ScanFixture f;
  f.system.queryFails = true;
  EXPECT_EQ(f.scanner.ReachDrive(t.path(), f.scan), Scanner::Reach::NotQueried);
  f.scanner.ScanDrive(f.scan);
  EXPECT_EQ(std::tuple(f.scan.gTotalBytes, f.scan.gClusterSize, f.scan.gTotalFiles, f.scan.gTotalFileBytes),
            std::tuple(int64_t{0}, int64_t{0}, int64_t{1}, int64_t{10}));
}

TEST(NodeStore, ChildrenInOrderAddedPathsAndKeys) {
  NodeStore store;
  const auto root = store.AddRoot("/srv/data");
  const auto b = store.Add(root, "b c", false);
  const auto d = store.Add(b, "d e", true);
  const auto a = store.Add(root, "a", false);
  const auto x = store.Add(d, "x", false);
  EXPECT_EQ((std::vector<std::size_t>{store.ChildCount(NodeStore::kNone), store.ChildCount(root), store.Child(root, 1),
                                       store[a].row, store[x].parent, store.Child(b, 0), store.ChildCount(x)}),
            (std::vector<std::size_t>{1, 2, a, 1, d, d, 0}));
  EXPECT_EQ(store.Path(x) + "|" + store.Path(a) + "|" + store.Path(root), "/srv/data/b c/d e/x|/srv/data/a|/srv/data");
  // Children asked for, then more added: the index follows.
  EXPECT_EQ(store.Child(root, 0), b);
  const auto late = store.Add(root, "z", false);
  EXPECT_EQ(std::pair(store.ChildCount(root), store.Child(root, 2)), std::pair(std::size_t{3}, late));
  // Below "/" no doubled separator; names of every length, across the chunks names are kept in.
  NodeStore top;
  top.AddRoot("/");
  std::vector<std::string> names;
  for (int i = 0; i < 600; ++i) names.push_back(std::string(static_cast<std::size_t>(i % 256), char('a' + i % 26)));
  for (const auto& name : names) top.Add(0, name, false);
  for (NodeStore::Index i = 1; i <= names.size(); ++i) ASSERT_EQ(top.Name(i), names[i - 1]) << i;
  EXPECT_EQ(top.Path(27), "/" + names[26]);
  top.Clear();
  EXPECT_EQ(top.size() + top.ChildCount(NodeStore::kNone), 0u);
}

// ---- progress ---------------------------------------------------------------------------

// A walk that reads `rate(t)` names a second, replayed ten times a second through the
// estimator of `holds`; the estimates in order.
std::vector<Estimate> Replay(const DriveHolds& holds, double seconds, const std::function<double(double)>& rate) {
  ProgressEstimator estimator(holds);
  std::vector<Estimate> out;
  double entries = 1;
  for (int tick = 0; tick <= static_cast<int>(seconds * 10); ++tick) {
    const double t = tick / 10.0;
    entries += rate(t) / 10;
    const auto read = static_cast<int64_t>(entries);
    out.push_back(estimator.Update({.dirs = read / 10, .entries = read, .allocated = read * 8}, t));
  }
  return out;
}

TEST(Estimate, MeasuredByInodesElseBlocksElseNothing) {
  using B = Estimate::Basis;
  // 400 inodes in use, 4,096,000 bytes; the walk has read 100 names and 2,000 blocks (a quarter).
  const struct { platform::SpaceFigures space; bool mountRoot; B basis; int64_t ofAbout; double fraction; } cases[] = {
      {{4096, 100, 1100, 1000, 600}, true, B::Entries, 400, 0.25},
      {{4096, 100, 1100, 0, 0}, true, B::Blocks, 0, 0.25},     // no inode count (btrfs, FUSE)
      {{4096, 1100, 1100, 0, 0}, true, B::Unknown, 0, 0},      // nothing in use either
      {{4096, 100, 1100, 1000, 600}, false, B::Unknown, 0, 0}, // a folder: the figures are not its
      {{}, true, B::Unknown, 0, 0}};                           // a failed query
  for (const auto& c : cases) {
    ProgressEstimator estimator(HoldsOf(c.space, c.mountRoot));
    const Estimate e = estimator.Update({.dirs = 10, .entries = 100, .allocated = 2000}, 1);
    EXPECT_EQ(std::tuple(e.basis, e.read, e.ofAbout, e.fraction), std::tuple(c.basis, int64_t{100}, c.ofAbout, c.fraction));
  }
}

TEST(Estimate, NeverGoesBackNorReachesTheEndBeforeTheWalk) {
  // Names beyond the inodes in use (hard links, a drive that grows while read), at a steady
  // rate and at one that falls to nothing; by names and by blocks.
  for (const int64_t inodes : {int64_t{1000}, int64_t{0}}) {
    for (const double beyond : {1.0, 3.0}) {
      const DriveHolds holds{.inodesInUse = inodes, .usedBytes = 1000 * 8 * 512, .wholeDrive = true};
      const auto e = Replay(holds, 200, [&](double t) { return t < 100 * beyond ? 10 : 0; });
      double last = 0;
      for (const Estimate& x : e) {
        EXPECT_TRUE(x.fraction >= last && x.fraction < 0.99) << x.fraction;
        last = x.fraction;
      }
      EXPECT_NEAR(e[500].fraction, 0.5, 0.01);  // true to the figures before the knee
      EXPECT_GT(last, beyond > 1 ? 0.985 : 0.94);
      EXPECT_EQ(e.back().secondsLeft, -1);  // stalled, or past all there was: nothing said
    }
  }
}

TEST(Estimate, TimeLeftFollowsTheRecentRateWithoutSwinging) {
  const DriveHolds holds{.inodesInUse = 20000, .usedBytes = 0, .wholeDrive = true};
  // 100 names a second, jittery (bursts and pauses), then 200 from 60 s, or 50.
  for (const double after : {200.0, 50.0}) {
    const auto e = Replay(holds, 150, [&](double t) {
      return (t < 60 ? 100 : after) * (static_cast<int>(t * 10) % 7 < 3 ? 2.3 : 0);
    });
    EXPECT_EQ(e[29].secondsLeft, -1);  // nothing in the first seconds
    EXPECT_NEAR(static_cast<double>(e[300].secondsLeft), 170, 170 * 0.1);
    // Once the new rate has held a while the figure agrees with it.
    const double at = 90, left = (20000 - (6000 + after * (at - 60))) / after;
    if (left > 0) {
      EXPECT_NEAR(static_cast<double>(e[900].secondsLeft), left, left * 0.15);
    }
    // From one second to the next it moves by little more than the second that passed.
    for (std::size_t i = 40; i + 10 < e.size() && e[i + 10].secondsLeft >= 0; i += 10)
      EXPECT_LE(std::abs(e[i + 10].secondsLeft - e[i].secondsLeft), 1 + e[i].secondsLeft / 8) << i;
  }
}

TEST(Estimate, WordsReadAtAGlance) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "a few seconds left"},       {9, "a few seconds left"},      {10, "about 10 seconds left"},
      {44, "about 40 seconds left"},   {45, "about 50 seconds left"},  {55, "about a minute left"},
      {90, "about 2 minutes left"},    {200, "about 3 minutes left"},  {3599, "about 1 hour left"},
      {5300, "about 1 hour left"},     {5400, "about 2 hours left"}};
  for (const auto& [seconds, text] : cases) EXPECT_EQ(TimeLeftText(seconds), text) << seconds;
  EXPECT_EQ(FiguresText({Estimate::Basis::Entries, 12345, 1000000, 0.01, 200}),
            "12,345 of about 1,000,000 items, about 3 minutes left");
  EXPECT_EQ(FiguresText({Estimate::Basis::Unknown, 999, 0, 0, -1}), "999 items read");
  EXPECT_EQ(GroupedNumber(-1234567), "-1,234,567");
}

}  // namespace
}  // namespace kvor
