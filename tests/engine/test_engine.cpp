// The scan engine: the walk over whole trees, checked against figures counted independently
// with readdir/statx, and the figures it shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <tuple>

#include "engine/estimate.h"
#include "engine/formatsize.h"
#include "engine/scanner.h"
#include "platform/detached.h"
#include "gate.h"
#include "tempdrive.h"

namespace kvor {
namespace {

using namespace test;
using Form = NodeStore::Form;

// Readers that read ahead of the walk: the program's count, or none when the suite runs a
// second time to show that they change nothing (KVOR_TEST_READERS=0).
unsigned Readers() {
  const char* given = std::getenv("KVOR_TEST_READERS");
  return given != nullptr ? static_cast<unsigned>(std::atoi(given)) : platform::DirCursor::kReaders;
}

// A node's figures: path, own files, subtree bytes and lost space, form, hidden, problems, errno.
using Row = std::tuple<std::string, int64_t, int64_t, int64_t, int, bool, int, int>;

// A scan of a temporary directory as a drive, as the report tool runs it, with hooks into
// the progress calls so tests can stop the walk or change the tree at exact points.
struct ScanFixture : ScanProgress {
  ScanResult scan;
  FakeSystem system;
  std::atomic<bool> cancel = false;
  unsigned readers;
  Scanner scanner;
  int doEvents = 0;
  std::function<void(const std::string&)> onShow;
  std::function<void(int)> onDoEvents;  // gets the 1-based count of calls so far
  std::optional<DriveHolds> holds;
  std::vector<std::pair<int64_t, int64_t>> shown;  // names and blocks read, at each directory

  explicit ScanFixture(unsigned r = Readers(), Scanner::Options o = {})
      : readers(r), scanner(system, *this, cancel, (o.readers = r, o.firstReaders = r, std::move(o))) {}

  // Reaches the "drive"'s root, queries and reads it, and walks it, as the start-up does.
  Scanner::Reach Run(const std::string& root) {
    const Scanner::Reach reach = scanner.ReachDrive(root, scan);
    return scanner.ScanDrive(scan), reach;
  }

  void Measure(const DriveHolds& h) override { holds = h, shown.clear(); }
  void ShowCurrentDir(std::string_view path, const WalkCounts& counts) override {
    shown.emplace_back(counts.entries, counts.allocated);
    if (onShow) onShow(std::string(path));
  }
  void DoEvents() override { if (++doEvents; onDoEvents) onDoEvents(doEvents); }

  // The rows as the window reads the tree: each directory, then its children in turn.
  std::vector<Row> Rows(NodeStore::Index parent = NodeStore::kNone, std::vector<Row> out = {}) const {
    for (std::size_t row = 0; row < scan.tree.ChildCount(parent); ++row) {
      const NodeStore::Index n = scan.tree.Child(parent, row);
      const NodeStore::Node& x = scan.tree[n];
      out.emplace_back(scan.tree.Path(n), x.files, Saturate(x.bytes), Saturate(x.lost), int(x.form), x.hidden,
                       x.problems, x.error);
      out = Rows(n, std::move(out));
    }
    return out;
  }
};

// ---- the independent count -------------------------------------------------------------

struct Expected {
  std::vector<Row> rows;
  // Names and blocks read before each directory, in walk order (the root's name first), and at the end.
  std::vector<std::pair<int64_t, int64_t>> read{{1, 0}};
  int64_t files = 0, dirs = 0, bytes = 0;

  Expected(const std::string& root, int64_t cluster) { Visit(root, true, cluster); }
  // Adds the row of `path` and those below it; returns its subtree's bytes and lost space.
  std::pair<int64_t, int64_t> Visit(const std::string& path, bool root, int64_t cluster) {
    std::vector<std::string> subdirs, hidden;
    int64_t own = 0, sum = 0, lost = cluster, names = 0, blocks = 0;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {  // in the order readdir gives
      const std::string child = entry.path().filename();
      struct statx st {};
      if (::statx(AT_FDCWD, entry.path().c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &st) != 0) continue;
      ++names;
      if ((st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) continue;  // other mounts are left out, as the walk does
      const auto size = static_cast<int64_t>(st.stx_size);
      if (S_ISDIR(st.stx_mode))
        (child[0] == '.' ? hidden : subdirs).push_back(child);
      else
        ++own, sum += size, blocks += static_cast<int64_t>(st.stx_blocks), lost += cluster > 0 && size % cluster ? cluster - size % cluster : 0;
    }
    std::sort(subdirs.begin(), subdirs.end());  // ordinary ones by bytes, then hidden ones as read
    const Form form = root ? (subdirs.empty() && hidden.empty() ? Form::Root : Form::RootWalked)
                           : hidden.empty() ? Form::Ordinary : Form::HiddenChild;
    subdirs.insert(subdirs.end(), hidden.begin(), hidden.end());
    const auto at = static_cast<std::ptrdiff_t>(rows.size());
    read.emplace_back(read.back().first + names, read.back().second + blocks);
    files += own, dirs += static_cast<int64_t>(subdirs.size()), bytes += sum;
    for (const auto& child : subdirs) {
      const auto [b, l] = Visit(path + "/" + child, false, cluster);
      sum += b, lost += l + cluster;
    }
    rows.insert(rows.begin() + at, Row(path, own, sum, lost, int(form), !root && path[path.rfind('/') + 1] == '.', 0, 0));
    return {sum, lost};
  }
};

// Runs the scan of `root` and checks what it found against the independent count.
Scanner::Reach ExpectScanMatchesCount(ScanFixture& f, const std::string& root) {
  const Scanner::Reach reach = f.Run(root);
  const Expected e(root, f.system.queryFails ? 0 : f.system.figures.blockSize);  // the cluster the query gave
  EXPECT_EQ(f.Rows(), e.rows);
  EXPECT_EQ(std::tuple(f.scan.gTotalFiles, f.scan.gTotalDirs, f.scan.gTotalFileBytes), std::tuple(e.files, e.dirs, e.bytes));
  // What the progress is measured by: every name read (a mount point's too) and block, the root's
  // name first. Without readers, before each directory what was read before it; with them, what
  // readers read ahead counts once, never again when the walk takes it.
  const auto all = e.read.back();
  std::vector<std::pair<int64_t, int64_t>> shown = f.shown, before(e.read.begin(), e.read.end() - 1);
  for (auto* counts : {&shown, &before}) counts->erase(std::unique(counts->begin(), counts->end()), counts->end());
  EXPECT_EQ(shown, f.readers == 0 ? before : shown);
  for (const auto& [names, blocks] : f.shown) EXPECT_TRUE(names <= all.first && blocks <= all.second);
  struct statx st {};  // the drive's figures measure a mount's root, not a folder
  ::statx(AT_FDCWD, root.c_str(), 0, 0, &st);
  EXPECT_TRUE(f.holds && f.holds->wholeDrive == ((st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0));
  return reach;
}

// ---- whole trees ---------------------------------------------------------------------

// What goes wrong while a walk reads, made to happen at one directory: just before the walk
// (or a reader ahead of it) reads it, or inside its listing. Whatever it is, the directory
// says what and why, the walk goes on, and the totals are the nodes'. A directory replaced
// counts once: read as it now is, or marked; one read ahead is entered as it was read.
TEST(Walk, FaultsAreMarkedWhereTheyHappen) {
  enum Fault { kRemove, kLate, kLink, kFile, kSwap, kLocked, kListingFails, kSizesGone, kNoDescriptors };
  // Each fault made just before the read of each directory `at`, also before a reader's read
  // ahead of the walk where `readAhead`; what is `marked`: each directory's path below the root,
  // problems (1 cannot enter, 4 sizes unreadable, 16 changed) and errno as Linux numbers them; the totals and lost space against the tree
  // as it was. Those that need a process of their own come first, before any thread has started.
  const struct { Fault fault; std::vector<std::string> at; bool readAhead; std::string marked;
                 int64_t files, dirs, bytes, lost; } cases[] = {
      {kLocked, {}, false, "listonly 4 13 listonly/sub 1 13 locked 1 13 ", -1, -1, -50000100, -16156},
      {kNoDescriptors, {"thin/last"}, false, "thin/last 1 24 ", 0, 0, 0, 0},
      {kRemove, {""}, false, "gone 1 2 ", 0, -1, 0, -8192}, {kLate, {"m/c"}, true, "", 0, 0, 0, 0},  // "m" counts as read
      {kLink, {"s"}, true, "s 16 20 ", -2, -1, -50, -16334}, {kFile, {"s"}, true, "s 16 20 ", -2, -1, -50, -16334},
      {kSwap, {"p/q"}, true, "", 0, 0, 0, 0}, {kSwap, {"p/q2"}, true, "p/q2 16 0 ", -1, -1, -3, -12285},
      {kSwap, {"p/q", "p/q2"}, true, "p/q2 16 0 ", -1, -2, -2, -20478},
      {kListingFails, {}, false, "m 1 5 part 2 5 ", -133, -1, -135, -552825}, {kSizesGone, {}, false, "", -10, 0, -50000, -31920}};
  for (const auto& c : cases)
    for (const bool byReader : {false, c.readAhead}) {
      SCOPED_TRACE(std::to_string(&c - cases) + (byReader ? " read ahead" : ""));
      TempDir t;
      for (const char* dir : {"gone/inner", "listonly/sub", "locked/inside", "m/c", "p/q/r/s", "p/q2/new", "part", "s/inner", "thin/last"})
        std::filesystem::create_directories(t / dir);
      for (const auto& [file, size] : {std::pair{"top", 10}, {"listonly/big", 50000000}, {"locked/secret", 100},
                                       {"m/f", 3}, {"p/q/qf", 2}, {"p/q2/n1", 3}, {"s/f", 20}, {"s/inner/g", 30}})
        MakeFile(t / file, size);
      for (int i = 0; i < 300; ++i) MakeFile(t / ("part/f" + std::to_string(i)), 1);
      for (int i = 0; i < 10; ++i) MakeFile(t / ("thin/keep" + std::to_string(i)), 100 + i), MakeFile(t / ("thin/gone" + std::to_string(i)), 5000);
      const Expected e(t.path(), 4096);
      // Read ahead, one reader reads the tree while the walk waits; it goes on once the reader
      // has made the last change.
      Gate last;
      const auto change = [&](const std::string& at) {
        if (std::find(c.at.begin(), c.at.end(), at) == c.at.end()) return;
        if (c.fault == kRemove) std::filesystem::remove_all(t / "gone");
        if (c.fault == kLate) MakeFile(t / "m/late", 1000);
        if (c.fault == kSwap) ::renameat2(AT_FDCWD, (t / "p/q").c_str(), AT_FDCWD, (t / "p/q2").c_str(), RENAME_EXCHANGE);
        if (c.fault == kLink || c.fault == kFile) ::rename((t / "s").c_str(), (t / "s.away").c_str());
        c.fault == kLink ? std::filesystem::create_symlink("/", t / "s") : c.fault == kFile ? MakeFile(t / "s", 7) : void();
        const auto open = static_cast<rlim_t>(OpenDescriptors());
        if (const rlimit r{open, open}; c.fault == kNoDescriptors && ::setrlimit(RLIMIT_NOFILE, &r) == 0)
          while (::dup(0) >= 0) {}  // and the gaps below the limit filled
        if (at == c.at.back()) last.Open();
      };
      // Inside the listing of "part", an error after the first batch, of "m" at the first; in
      // "thin", entries gone between the listing and the reading of their sizes.
      Scanner::Options hooks;
      if (c.fault == kListingFails)
        hooks.listing.getdents = [&](int fd, char* buffer, std::size_t size) -> long {
          static thread_local int calls = 0;
          const std::filesystem::path at = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
          if (at != t / "part") return at == t / "m" ? (errno = EIO, -1) : ::syscall(SYS_getdents64, fd, buffer, size);
          return calls++ % 2 == 1 ? (errno = EIO, -1) : ::syscall(SYS_getdents64, fd, buffer, 4096);
        };
      if (c.fault == kSizesGone)
        hooks.listing.lstatat = [&](int fd, const char* name, struct stat* st) {
          return std::string_view(name).starts_with("gone") ? (errno = ENOENT, -1) : ::fstatat(fd, name, st, AT_SYMLINK_NOFOLLOW);
        };
      if (byReader) hooks.beforeOpen = [&](std::string_view path) { change(std::string(path)); };
      const auto prepare = [&] {
        ::close(0);  // and no standard input: the root's descriptor may be 0
        if (c.fault != kLocked) return;
        for (const auto& [dir, mode] : {std::pair{"locked", 0}, {"listonly", 0444}, {"", 0777}}) ::chmod((t / dir).c_str(), mode);
        DropPrivileges();
      };
      const auto walk = [&] {
        ScanFixture f(byReader ? 1 : 0, hooks);
        f.onShow = [&](const std::string& path) {
          const std::string at = path.substr(std::min(path.size(), t.path().size() + 1));
          byReader ? at == c.at.front().substr(0, c.at.front().find('/')) ? last.Wait() : void() : change(at);
        };
        f.Run(t.path());
        std::string got;
        for (const auto& [path, own, bytes, lost, form, hidden, problems, error] : f.Rows())
          if (problems != 0) got += path.substr(t.path().size() + 1) + " " + Text(problems, error);
        return got + Text(f.scan.gTotalFiles, f.scan.gTotalDirs, f.scan.gTotalFileBytes, std::get<3>(f.Rows()[0]));
      };
      const std::string out = c.fault == kLocked || c.fault == kNoDescriptors ? RunInChild(prepare, walk) : walk();
      EXPECT_EQ(out, c.marked + Text(e.files + c.files, e.dirs + c.dirs, e.bytes + c.bytes, std::get<3>(e.rows[0]) + c.lost));
    }
}

TEST(Walk, TreesMatchAnIndependentCount) {
  for (const unsigned seed : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    TempDir t;
    seed > 0 ? MakeTree(t.path(), seed, 120) : MakeFile(t / ".f", 20);  // seed 0: no subdirectory
    if (seed == 1) {  // a directory wide enough to have its sizes read in slices
      MakeDir(t / "wide"), MakeDir(t / "wide/.in"), MakeDir(t / "wide/in");
      for (int i = 0; i < 5000; ++i) MakeFile(t / ("wide/" + std::to_string(i)), uint64_t(i) * 7919 % 20000);
      for (int i = 0; i < 400; ++i) MakeDir(t / ("wide/in/" + std::to_string(i) + std::string(200, 'n')));  // names beyond 64 KiB
    }
    // Seed 2: no cluster size (a failed query), so nothing is lost. Seed 3: readers held until
    // the walk is half way; it reads the first half itself.
    Gate late;
    ScanFixture f(seed == 3 ? 4 : Readers(), {.beforeOpen = [&](std::string_view) { if (seed == 3) late.Wait(); }});
    f.onDoEvents = [&](int n) {
      if (n == 60) late.Open();
      f.Rows();  // the tree read as it grows, as the window does
    };
    f.system.queryFails = seed == 2;
    if (seed == 1) f.system.figures = {4096, 3LL << 28, 1LL << 32};  // bytes beyond 32 bits
    const int open = OpenDescriptors();
    const bool notQueried = ExpectScanMatchesCount(f, t.path()) == Scanner::Reach::NotQueried;
    late.Open();
    // Once its readers are gone (one may outlive the scan by the time it waits for them), a scan
    // holds only the root, for the next; a rescan sees what changed since.
    const auto closed = [&] {
      return platform::detached::WaitUntil([&] { return OpenDescriptors() == open + 1; }, std::chrono::seconds(10));
    };
    EXPECT_TRUE(closed());
    const platform::SpaceFigures s = seed == 2 ? platform::SpaceFigures{} : f.system.figures;  // still walked
    EXPECT_EQ(std::tuple(notQueried, f.scan.gClusterSize, f.scan.gFreeBytes, f.scan.gUsedBytes, f.scan.gTotalBytes),
              std::tuple(seed == 2, s.blockSize, s.blockSize * s.freeBlocks, s.blockSize * (s.totalBlocks - s.freeBlocks),
                         s.blockSize * s.totalBlocks));
    MakeFile(t / "new", 5);
    MakeDir(t / ".new");
    ExpectScanMatchesCount(f, t.path());
    EXPECT_TRUE(closed());
    // One of a root that is gone marks it, never shows an empty drive.
    f.Run(t / "gone");
    EXPECT_EQ(f.Rows(), std::vector<Row>{Row(t / "gone", 0, 0, 0, int(Form::Root), false, platform::kCannotEnter, ENOENT)});
  }
}

TEST(Walk, SumsBeyondSixtyFourBitsStayExact) {
  // Two sparse files of 5e18 bytes (whole clusters): 1e19 in one directory, beyond 64 bits.
  TempDir t;
  MakeDir(t / "huge");
  for (const char* file : {"huge/one", "huge/two"}) MakeFile(t / file, 5000000000000000000ULL);
  ScanFixture f;
  f.system.figures = {4096, 0, 1};  // the drive claims a single used cluster
  f.Run(t.path());
  // The 64-bit total stops at its largest value, and the directories say so; the nodes keep
  // the exact figures, and what the analysis finds is the total as it stopped.
  EXPECT_EQ(std::pair(f.scan.gTotalFileBytes, FoundBytes(f.scan) == Int128{4096} + INT64_MAX), std::pair(INT64_MAX, true));
  for (const NodeStore::Index n : {0u, 1u})
    EXPECT_EQ(std::tuple(f.scan.tree[n].problems, f.scan.tree[n].error, f.scan.tree[n].bytes, f.scan.tree[n].lost),
              std::tuple(platform::kSumTooLarge, EOVERFLOW, Int128{10000000000000000000ULL}, Int128{4096} * (3 - 2 * n)));
}

TEST(Walk, StopAtAnyYieldAddsAndChangesNothingMore) {
  TempDir t;
  MakeTree(t.path(), 7, 25);
  ScanFixture full;
  full.Run(t.path());
  ASSERT_GT(full.doEvents, 10);
  // Stopped at each yield in turn, or (0) while a directory is listed: that cuts its read short,
  // and nothing is added for it either.
  for (int stopAt = 0; stopAt <= full.doEvents; ++stopAt) {
    SCOPED_TRACE(stopAt);
    std::vector<Row> atStop;
    int yields = -1;  // at the stop
    const auto stop = [&](ScanFixture& f) { if (yields < 0) f.cancel = true, atStop = f.Rows(), yields = f.doEvents; };
    ScanFixture f(stopAt == 0 ? 0 : Readers(), {.listing = {.getdents = [&](int fd, char* buffer, std::size_t size) {
                                                  if (stopAt == 0 && f.scan.tree.size() > 3) stop(f);
                                                  return ::syscall(SYS_getdents64, fd, buffer, size);
                                                }}});
    f.onDoEvents = [&](int n) { if (n == stopAt) stop(f); };
    f.Run(t.path());
    // No yield after the stop, no node added, no figure changed.
    EXPECT_EQ(std::tuple(f.doEvents, f.Rows(), f.scan.tree[0].form, f.scan.end),
              std::tuple(yields, atStop, Form::Root, ScanResult::End::Stopped));
    // A new scan after the stop, from wherever the walk stood, shows the whole tree.
    f.cancel = false;
    f.Run(t.path());
    ASSERT_EQ(f.Rows(), full.Rows());
  }
}

TEST(Walk, DeepCombOnASmallStackWithFewDescriptors) {
  // 3,000 levels of "d", paths beyond PATH_MAX; each level also holds "s" with a one-byte file,
  // entered only after the chain below has returned, past the window of open descriptors.
  // Walked on 256 KiB of stack (a walk that recursed would need several times that) with
  // 32 descriptors in all.
  TempDir t, other;
  const int depth = 3000;
  // Built from within, a level at a time: its paths soon grow too long to name.
  const int start = ::open(".", O_RDONLY | O_DIRECTORY);
  std::string deepest = t.path(), level100;
  ASSERT_EQ(::chdir(t.path().c_str()), 0);
  for (int i = 0; i < depth; ++i) {
    MakeDir("s"), MakeFile("s/f", 1), MakeDir("d"), deepest += "/d";
    if (i == 99) level100 = deepest;
    ASSERT_EQ(::chdir("d"), 0);
  }
  ASSERT_EQ(::fchdir(start) + ::close(start), 0);
  // Once the walk is at the bottom, an ancestor far beyond the window is renamed, or renamed
  // and replaced by a decoy: the walk goes back up the directories it read, never the decoy.
  // Or on its way up, the level it stands in is moved under another parent: it climbs back to
  // the parent it came from.
  enum { kRenamed, kReplaced, kMovedOut };
  for (const int change : {kRenamed, kReplaced, kMovedOut}) {
    const std::string from = change == kMovedOut ? level100 : t / "d/d/d";
    const std::string to = change == kMovedOut ? other / "x" : t / "d/d/moved";
    const std::string out = RunInChild([] {
      const rlimit r{32, 32};
      pthread_attr_t attr;  // for every thread from now on
      if (::setrlimit(RLIMIT_NOFILE, &r) != 0 || pthread_attr_init(&attr) != 0 ||
          pthread_attr_setstacksize(&attr, 256 << 10) != 0 || pthread_setattr_default_np(&attr) != 0)
        ::_exit(3);
    }, [&] {
      ScanFixture f;
      f.onShow = [&, done = false](const std::string& path) mutable {
        if (path == t.path()) ::close(0);  // no standard input: a level's descriptor may be 0
        if (done || !path.ends_with("/s") || (change == kMovedOut && path != level100 + "/s")) return;
        done = true;
        ::rename(from.c_str(), to.c_str());
        if (change == kReplaced) MakeDir(from), MakeFile(from + "/decoy", 12345);
      };
      std::thread([&] { f.Run(t.path()); }).join();
      const auto marked = std::ranges::count_if(f.Rows(), [](const Row& r) { return std::get<6>(r) != 0; });
      const auto [d, files, bytes, lost, form, hidden, problems, error] = f.Rows().at(1);
      return Text(f.scan.tree.Path(depth) == deepest && d == t / "d", bytes, lost, marked, f.scan.gTotalFiles, f.scan.gTotalDirs);
    });
    EXPECT_EQ(out, Text(1, depth - 1, 4096 + (depth - 1) * int64_t{4095 + 4 * 4096}, 0, 3000, 6000)) << change;
    if (change == kReplaced) std::filesystem::remove_all(from);
    ::rename(to.c_str(), from.c_str());
  }
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
  // Where the kernel has no openat2 (here refused), statx tells a mount's root before it is opened.
  for (const unsigned readers : {0u, 1u, 2u}) {
    Gate read;
    Scanner::Options o{.beforeOpen = [&](std::string_view path) { if (path == "src") read.Open(); }};
    if (readers == 2) o.listing.openOnMount = [](int, const char*) { return errno = ENOSYS, -1; };
    ScanFixture f(readers % 2, o);
    const auto mountLate = [&] { ::mount("kvortest", (t / "a/late").c_str(), "tmpfs", 0, "size=256k"); };
    if (readers == 1) mountLate();
    f.onShow = [&](const std::string& path) { if (path == t / "a") readers == 1 ? read.Wait() : mountLate(); };
    ExpectScanMatchesCount(f, t.path());
    ::umount2((t / "a/late").c_str(), MNT_DETACH);
  }
  // A root given as a symlink: followed there once, the mounts below its target left out all the
  // same. The roots of mounts as drives: measured by the drive's figures, a bind mount's too.
  std::filesystem::create_symlink(t / "a", t / "link");
  for (const char* root : {"link", "a/mnt", "a/bind"}) {
    ScanFixture f;
    ExpectScanMatchesCount(f, t / root);
  }
  for (const char* point : {"a/mnt", "a/.hmnt", "a/bind"}) ::umount2((t / point).c_str(), MNT_DETACH);
}

// A btrfs drive as distributions install it: subvolumes (one nested and hidden), a snapshot of
// them, a hard link. Subvolumes are the drive's own directories; a bind mount of one and a tmpfs
// are other mounts, left out. All of it the same whether /proc is mounted or not, with openat2 or not.
TEST(Walk, BtrfsSubvolumesAreWalkedMountsLeftOutWithOrWithoutProc) {
  TempDir t;
  const std::string mnt = t / "mnt";
  const auto sh = [&](const std::string& script) {
    return std::system(("{ set -e; cd '" + t.path() + "'; " + script + "; } >/dev/null 2>&1").c_str()) == 0;
  };
  if (!sh("mkdir mnt; truncate -s 128M img; mkfs.btrfs -q img; mount -o loop img mnt"))
    GTEST_SKIP() << "cannot mount a btrfs image here (root, btrfs-progs, loop devices, btrfs in the kernel)";
  const bool made = sh(
      "cd mnt; mkdir -p d/e bind tmp; btrfs subvolume create sv; btrfs subvolume create sv/.nested;"
      "mkdir sv/x sv/.nested/deep; head -c 5000 /dev/zero >sv/x/f; ln sv/x/f sv/x/hard; printf abc >sv/.nested/g;"
      "head -c 100 /dev/zero >d/e/f; printf 1234567 >top; btrfs subvolume snapshot sv snap;"
      "mount --bind sv bind; mount -t tmpfs kvortest tmp; printf z >tmp/z; sync");
  // Hidden from the machine's /proc, in a mount namespace of the scan's own.
  const auto scan = [&](bool hideProc, bool noOpenat2 = false) {
    return RunInChild([&] {
      if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          (hideProc && ::umount2("/proc", MNT_DETACH) != 0))
        ::_exit(0);
    }, [&] {
      Scanner::Options o;
      if (noOpenat2) o.listing.openOnMount = [](int, const char*) { return errno = ENOSYS, -1; };
      ScanFixture f(noOpenat2 ? 0 : Readers(), o);
      ExpectScanMatchesCount(f, mnt);  // what it finds wrong is written from the child
      return std::to_string(std::filesystem::exists("/proc/self")) + (testing::Test::HasFailure() ? " wrong " : " ");
    });
  };
  const std::string scans = scan(false) + scan(true) + scan(true, true);
  const Expected e(mnt, 4096);
  ::umount2(mnt.c_str(), MNT_DETACH);  // and everything mounted below it
  if (scans.empty()) GTEST_SKIP() << "no mount namespace here";
  // Dirs d d/e sv sv/x sv/.nested sv/.nested/deep snap snap/x snap/.nested; files at each name.
  EXPECT_EQ(std::tuple(made, scans, e.files, e.dirs, e.bytes), std::tuple(true, "1 0 0 ", 7, 9, 20110));
}

TEST(Progress, LongPathsKeepTheirEndsWithoutCuttingACharacter) {
  // 4,096 bytes kept of a longer path: the cut moves off a sequence of 2, 3 or 4 bytes that
  // straddles it, at either end; a path that fits stays whole.
  const std::string e2 = "\xc3\xa9", e3 = "\xe2\x82\xac", e4 = "\xf0\x9f\x98\x80";
  const struct { std::string path; std::size_t head, tail; } cases[] = {
      {std::string(4096, 'a'), 4096, 0},
      {std::string(2047, 'a') + e2 + std::string(3000, 'b'), 2047, 2048},
      {std::string(2045, 'a') + e4 + std::string(3000, 'b'), 2045, 2048},
      {std::string(3000, 'a') + e3 + std::string(2046, 'b'), 2048, 2046},
      {std::string(3000, 'a') + std::string(6, '\x80') + std::string(2042, 'b'), 2048, 2045}};  // not UTF-8
  for (const auto& c : cases) {
    std::string out = "old";
    ShortenPath(c.path, 2048, out);
    EXPECT_EQ(out, c.path.substr(0, c.head) + (c.tail == 0 ? "" : "\u2026" + c.path.substr(c.path.size() - c.tail))) << &c - cases;
  }
}

TEST(FormatSize, UnitsRoundingAndSeparator) {
  const std::pair<double, const char*> cases[] = {
      {1023, "1023.00 Bytes"}, {1024, "1.00 KB"}, {1536, "1.50 KB"}, {1048575, "1024.00 KB"}, {1048576, "1.00 MB"},
      {1073741823, "1024.00 MB"}, {1073741824, "1.00 GB"}, {5 * 1099511627776.0, "5120.00 GB"}, {9.0e18, "8381903171.54 GB"},
      // Exactly 1.125: half rounds away from zero. 2.005 is not exact: it lies below.
      {1152, "1.13 KB"}, {1024 * 2.005, "2.00 KB"}, {1.0 / 0.0, "inf GB"}, {-1.0 / 0.0, "-inf Bytes"},
      // Negative counts stay in bytes, down to the most negative 64-bit figure.
      {-0.5, "-0.50 Bytes"}, {-2.125, "-2.13 Bytes"}, {-0x1p63, "-9223372036854775808.00 Bytes"}};
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

// ---- progress ---------------------------------------------------------------------------

// A walk that reads `rate(t)` names a second, replayed ten times a second through the
// estimator of `holds`; the estimates in order.
std::vector<Estimate> Replay(const DriveHolds& holds, double seconds, const std::function<double(double)>& rate) {
  ProgressEstimator estimator(holds);
  std::vector<Estimate> out;
  double entries = 1;
  for (int tick = 0; tick <= static_cast<int>(seconds * 10); ++tick) {
    entries += rate(tick / 10.0) / 10;
    const auto read = static_cast<int64_t>(entries);
    out.push_back(estimator.Update({.dirs = read / 10, .entries = read, .allocated = read * 8}, tick / 10.0));
  }
  return out;
}

TEST(Estimate, MeasuredByInodesElseBlocksElseNothing) {
  using B = Estimate::Basis;
  // 400 inodes in use, 4,096,000 bytes; the walk has read 100 names and 2,000 blocks (a quarter).
  const struct { platform::SpaceFigures space; bool mountRoot; B basis; int64_t ofAbout; double fraction; } cases[] = {
      {{4096, 100, 1100, 1000, 600}, true, B::Entries, 400, 0.25},
      {{4096, 100, 1100, 0, 0}, true, B::Blocks, 0, 0.25},     // no inode count (btrfs, FUSE)
      {{4096, 1100, 1100, 0, 0}, true, B::Unknown, 0, 0},      // nothing in use either (or a failed query)
      {{4096, 100, 1100, 1000, 600}, false, B::Unknown, 0, 0}};  // a folder: the figures are not its
  for (const auto& c : cases) {
    const Estimate e = ProgressEstimator(HoldsOf(c.space, c.mountRoot)).Update({.dirs = 10, .entries = 100, .allocated = 2000}, 1);
    EXPECT_EQ(std::tuple(e.basis, e.read, e.ofAbout, e.fraction), std::tuple(c.basis, int64_t{100}, c.ofAbout, c.fraction));
  }
}

TEST(Estimate, NeverGoesBackNorReachesTheEndBeforeTheWalk) {
  // Names beyond the inodes in use (hard links, a drive that grows while read), at a steady
  // rate and at one that falls to nothing; by names and by blocks.
  for (const int64_t inodes : {int64_t{1000}, int64_t{0}})
    for (const double beyond : {1.0, 3.0}) {
      const auto e = Replay({.inodesInUse = inodes, .usedBytes = 1000 * 8 * 512, .wholeDrive = true}, 200,
                            [&](double t) { return t < 100 * beyond ? 10 : 0; });
      EXPECT_TRUE(std::ranges::is_sorted(e, {}, &Estimate::fraction) && e.back().fraction < 0.99);
      EXPECT_NEAR(e[500].fraction, 0.5, 0.01);  // true to the figures before the knee
      // Near the end by then; stalled, or past all there was: no time left said.
      EXPECT_EQ(std::pair(e.back().fraction > (beyond > 1 ? 0.985 : 0.94), e.back().secondsLeft), std::pair(true, int64_t{-1}));
    }
}

TEST(Estimate, TimeLeftFollowsTheRecentRateWithoutSwinging) {
  // 100 names a second, jittery (bursts and pauses), then 200 from 60 s, or 50.
  for (const double after : {200.0, 50.0}) {
    const auto e = Replay({.inodesInUse = 20000, .usedBytes = 0, .wholeDrive = true}, 150,
                          [&](double t) { return (t < 60 ? 100 : after) * (static_cast<int>(t * 10) % 7 < 3 ? 2.3 : 0); });
    EXPECT_EQ(e[29].secondsLeft, -1);  // nothing in the first seconds
    EXPECT_NEAR(static_cast<double>(e[300].secondsLeft), 170, 170 * 0.1);
    // Once the new rate has held a while the figure agrees with it.
    const double left = (20000 - (6000 + after * 30)) / after;  // at 90 s
    EXPECT_NEAR(static_cast<double>(e[900].secondsLeft), left, left * 0.15);
    // From one second to the next it moves by little more than the second that passed.
    for (std::size_t i = 40; i + 10 < e.size() && e[i + 10].secondsLeft >= 0; i += 10)
      EXPECT_LE(std::abs(e[i + 10].secondsLeft - e[i].secondsLeft), 1 + e[i].secondsLeft / 8) << i;
  }
}

TEST(Estimate, WordsReadAtAGlance) {
  const std::pair<int64_t, const char*> cases[] = {
      {9, "a few seconds left"}, {10, "about 10 seconds left"}, {44, "about 40 seconds left"}, {45, "about 50 seconds left"},
      {55, "about a minute left"}, {90, "about 2 minutes left"}, {3599, "about 1 hour left"}, {5400, "about 2 hours left"}};
  for (const auto& [seconds, text] : cases) EXPECT_EQ(TimeLeftText(seconds), text) << seconds;
  EXPECT_EQ(std::tuple(FiguresText({Estimate::Basis::Entries, 12345, 1000000, 0.01, 200}),
                       FiguresText({Estimate::Basis::Unknown, 999, 0, 0, -1}), GroupedNumber(-1234567)),
            std::tuple("12,345 of about 1,000,000 items, about 3 minutes left", "999 items read", "-1,234,567"));
}

}  // namespace
}  // namespace kvor
