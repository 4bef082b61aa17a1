// The read-ahead under the walk's cursor, as the scan walks: whatever the readers do, the walk
// must see exactly what reading every directory itself shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "gate.h"
#include "platform/cursor.h"
#include "platform/detached.h"
#include "platform/sizehelpers.h"
#include "tempdrive.h"

namespace kvor::platform {
namespace {

using namespace test;

// The process's limit on descriptors, and one at which every open fails for want of them.
const rlimit kLimit = [] { rlimit limit; return ::getrlimit(RLIMIT_NOFILE, &limit), limit; }();
const rlimit kNone{0, kLimit.rlim_max};

// A read as "(files, bytes, lost, problems, ordinary)" and the names.
std::string Line(const DirSummary& s) {
  std::string line = testing::PrintToString(std::tuple(s.fileCount, long(s.bytes), long(s.lostSpace), int(s.problems),
                                                       s.ordinaryCount));
  for (std::size_t slot = 0; slot < s.SlotCount(); ++slot) line += " " + std::string(s.Name(slot));
  return line;
}

// Walks depth first in slot order, each directory as its path and Line.
struct Walk {
  DirCursor list;
  std::function<void(const std::string&)> onEntered = [](const std::string&) {};
  std::vector<std::string> lines = {};

  explicit Walk(ReadAhead::Options options, ReadAhead::Hooks hooks = {})
      : list(nullptr, {.readAhead = options, .hooks = std::move(hooks)}) {}

  const std::vector<std::string>& Run(const std::string& root) {
    EXPECT_EQ(list.Open(root), 0);
    const auto read = list.ReadRoot(4096);
    list.StartReadAhead();
    Visit("", *read);
    return lines;
  }
  void Visit(const std::string& path, const DirSummary& s) {
    lines.push_back(path + " " + Line(s));
    onEntered(path);
    for (std::size_t slot = 0; slot < s.SlotCount(); ++slot) {
      const std::string name(s.Name(slot)), childPath = path.empty() ? name : path + "/" + name;
      const DirCursor::Step step = list.Enter(slot);
      lines.push_back(childPath + " cannot be entered");
      if (step.move == DirCursor::Move::Entered) lines.pop_back(), Visit(childPath, *step.read), list.Leave();
    }
  }
};

TEST(ReadAhead, WalkSeesTheSameTreeWhateverTheReaders) {
  TempDir t;
  MakeTree(t.path(), 5, 150);
  const std::vector<std::string> expected = Walk({.readers = 0}).Run(t.path());
  const uint64_t dirs = expected.size() - 1;
  // Readers race the walk, are done first (with too few descriptors too: nothing is lost for
  // want of them), are stuck in a read, one runs out of memory in the third read (it stops, and
  // no other starts), or start only once the walk's own reads wait on the disk (from its first
  // sample, its third, never), where the walk stands.
  enum Held { kRacing, kIdle, kFewDescriptors, kStuck, kStarved, kLate };
  const struct {
    ReadAhead::Options options;
    Held held;
    int waitFrom = 1000;  // the first sample of the walk's reads that waited
  } cases[] = {{{.readers = 1}, kRacing}, {{.readers = 8}, kRacing}, {{.readers = 2, .limits = {.maxPath = 20}}, kRacing},
               {{.readers = 3}, kIdle}, {{.readers = 4}, kFewDescriptors}, {{.readers = 4, .firstReaders = 3}, kStuck},
               {{.readers = 1}, kStarved}, {{.readers = 8, .firstReaders = 3}, kStarved},
               {{.readers = 2, .firstReaders = 0}, kLate, 1}, {{.readers = 2, .firstReaders = 0}, kLate, 3},
               {{.readers = 2, .firstReaders = 0}, kLate}};
  Gate never;
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    std::atomic<int> reads = 0, samples = 0, entered = 0, readers = 0;
    Gate reading;
    ReadAhead::Ready ready;  // what the progress counts as read before the walk takes it
    Walk w(c.options, {.beforeOpen = [&](std::string_view) {
                         static thread_local bool counted = false;  // each reader is a thread of its own
                         if (!std::exchange(counted, true)) ++readers, readers.notify_all();
                         if (c.held == kStuck) never.Wait();
                         // Out of memory in the third read; the walk goes on once it is.
                         if (c.held == kStarved && ++reads == 3) reading.Open(), throw std::bad_alloc();
                         if (c.held == kFewDescriptors && ++reads == 1) ::setrlimit(RLIMIT_NOFILE, &kNone);
                         if (c.held == kRacing || c.held == kLate) reading.Open();  // the walk goes on once one began
                       },
                       .outOfDescriptors = [](std::string_view) { ::setrlimit(RLIMIT_NOFILE, &kLimit); },
                       .blocksRead = [&] { return 64L * std::max(0, ++samples - c.waitFrom); }});
    w.onEntered = [&](const std::string& path) {
      const bool late = c.held == kLate && ++entered == c.waitFrom * int(DiskWaits::kReadsPerSample) + 1;
      if (late || (path.empty() && (c.held == kRacing || c.held == kStarved))) reading.Wait();
      // Every reader started is in the middle of a read.
      for (int n; path.empty() && c.held == kStuck && (n = readers) < int(c.options.firstReaders);) readers.wait(n);
      if (path.empty() && (c.held == kIdle || c.held == kFewDescriptors)) {
        w.list.ReadingAhead()->WaitIdle();
        ready = w.list.ReadingAhead()->ReadyToTake();
      }
    };
    EXPECT_EQ(w.Run(t.path()), expected);
    // Readers start as many as asked for at first, more only as reads wait (the walk waits for
    // one to read once they should have started), none when they never do.
    EXPECT_LE(readers, c.waitFrom < 1000 ? c.options.readers : std::min(c.options.readers, c.options.firstReaders));
    if (c.held == kLate) continue;
    // Every directory followed but those deeper than readers go; retries only when short of
    // descriptors; a lone reader out of memory stops after its two good reads. All read while
    // the walk waited is taken (and counted as read before), nothing stuck is; none is left
    // counted once the walk is done.
    const ReadAhead::Stats stats = w.list.ReadingAhead()->GetStats();
    const ReadAhead::Ready left = w.list.ReadingAhead()->ReadyToTake();
    const bool lone = c.held == kStarved && c.options.readers == 1, idle = c.held == kIdle || c.held == kFewDescriptors;
    const uint64_t taken = idle ? dirs : c.held == kStuck ? 0 : stats.handedOver;  // else any
    EXPECT_EQ(std::tuple(stats.handedOver + stats.notReady == dirs, stats.retries > 0, lone && stats.read != 2,
                         stats.handedOver, ready.names > 0, ready.blocks > 0, left.names, left.blocks),
              std::tuple(c.options.limits.maxPath > 20, c.held == kFewDescriptors, false, taken, idle, idle, 0, 0));
    w.list.StopReadAhead();  // must not wait for readers stuck in a read
  }
  never.Open();
  detached::WaitAllGone();
}

// A wide directory's sizes, read in slices by helpers beside the lister, are what one thread
// reads: whatever entries go or turn into directories meanwhile, a cancel while a helper is
// stuck in a read, and no descriptor to lend the helpers.
TEST(SizeHelpers, SlicesReadWhatOneThreadReads) {
  TempDir t;
  MakeDir(t / "w");
  for (int i = 0; i < 9000; ++i) MakeFile(t / ("w/" + std::string(i % 97 == 0 ? ".h" : "f") + std::to_string(i)), i * 37 % 10000);
  for (const char* dir : {"w/d0", "w/.d1", "w/d2", "w/x"}) MakeDir(t / dir);
  const int fd = OpenDirectory(t / "w");
  const auto read = [&](SizeHelpers* helpers, const ListingCalls* calls = nullptr, const std::atomic<bool>* cancel = nullptr) {
    ::lseek(fd, 0, SEEK_SET);
    DirListing l;
    const auto status = l.Read(fd, {.cancel = cancel, .calls = calls, .clusterSize = 4096, .helpers = helpers});
    return status == DirListing::Status::Ok ? Line(Summarize(l, 0, 0)) : "not read";
  };
  SizeHelpers helpers(4);
  const std::string alone = read(nullptr);
  // Two entries gone and one a directory by the time their sizes are read (on whichever thread).
  const ListingCalls changing{.lstatat = [&](int at, const char* name, struct stat* st) {
    if (std::string_view(name) == "f17" || std::string_view(name) == "f4000") return errno = ENOENT, -1;
    return ::fstatat(at, std::string_view(name) == "f42" ? "d0" : name, st, AT_SYMLINK_NOFOLLOW);
  }};
  const std::string changed = read(nullptr, &changing);
  EXPECT_TRUE(changed.starts_with("(8997, ") && changed.ends_with(" 4) d0 d2 f42 x .d1")) << changed;
  EXPECT_EQ(read(&helpers, &changing), changed);
  // While the rest is still listed, a slice whose reads waited on the disk brings in every
  // helper: the listing's end waits for three past their first reads, each held there until
  // then, so that one cannot read every slice before the others start.
  std::atomic<long> blocks = 0;
  SizeHelpers waiting(4, [&] { return blocks += 64; });
  std::atomic<int> past = 0;
  const ListingCalls overlapping{
      .getdents = [&](int at, char* buffer, std::size_t size) {
        const long n = ::syscall(SYS_getdents64, at, buffer, size);
        for (int p; n == 0 && (p = past) < 3;) past.wait(p);
        return n;
      },
      .lstatat = [&](int at, const char* name, struct stat* st) {
        static thread_local unsigned reads = 0;
        if (++reads == DiskWaits::kReadsPerSample + 1) ++past, past.notify_all();
        for (int p; reads > DiskWaits::kReadsPerSample && (p = past) < 3;) past.wait(p);
        return ::fstatat(at, name, st, AT_SYMLINK_NOFOLLOW);
      }};
  EXPECT_EQ(read(&waiting, &overlapping), alone);

  // A helper stuck in a read: the cancel lands all the same.
  Gate helperIn, stuck;
  std::atomic<bool> cancel = false;
  std::size_t listerReads = 0;
  const ListingCalls hanging{.lstatat = [&, lister = std::this_thread::get_id()](int at, const char* name, struct stat* st) {
    if (std::this_thread::get_id() == lister && ++listerReads == 1) helperIn.Wait();
    if (std::this_thread::get_id() != lister && !cancel.exchange(true)) helperIn.Open(), stuck.Wait();
    return ::fstatat(at, name, st, AT_SYMLINK_NOFOLLOW);
  }};
  EXPECT_EQ(read(&helpers, &hanging, &cancel), "not read");
  EXPECT_LE(listerReads, SizeHelpers::kSlice);  // the lister stops after the slice it was in
  stuck.Open();
  EXPECT_EQ(read(&helpers), alone);  // and they go on after a job left behind, reading what one thread reads
  // No descriptor to lend: the lister reads alone.
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &kNone), 0);
  EXPECT_EQ(read(&helpers), alone);
  ::setrlimit(RLIMIT_NOFILE, &kLimit);
  ::close(fd);
}

// One reader, so the order of its reads is known: gone, parent, then parent/x, held until the
// walk stands in parent and then again in the middle of its read.
TEST(ReadAhead, TreeChangedUnderTheReaders) {
  TempDir t;
  for (const char* dir : {"gone", "parent", "parent/x"}) MakeDir(t / dir);
  Gate walkInParent, inRead;
  Walk w({.readers = 1}, {.beforeOpen = [&](std::string_view path) {
           if (path == "gone") ::rmdir((t / "gone").c_str());  // the reader's open fails
           if (path != "parent/x") return;
           // The parent renamed once the walk stands in it (read ahead, so without a
           // descriptor), another put in its place: neither x is taken for the other.
           walkInParent.Wait();
           ::rename((t / "parent").c_str(), (t / "parent.old").c_str());
           for (const char* dir : {"parent", "parent/x"}) MakeDir(t / dir);
         },
         .listing = {.getdents = [&](int fd, char* buffer, std::size_t size) {
           if (std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)) == t / "parent/x") inRead.Wait();
           return ::syscall(SYS_getdents64, fd, buffer, size);
         }}});
  w.onEntered = [&](const std::string& path) {
    if (path.empty()) walkInParent.AwaitWaiter();
    if (path != "parent") return;
    walkInParent.Open(), inRead.AwaitWaiter();
    // Short of descriptors, the walk waits for the one the reader holds, not for those of the
    // opens that failed.
    const std::atomic<bool> cancelled = true;
    EXPECT_FALSE(w.list.ReadingAhead()->GiveBackDescriptors(&cancelled));
    // Without a cancel it waits for the reader to give its descriptor back, then gives the
    // root's, for the walk (no more after that: the walk's tests hang if it does).
    inRead.Open();
    EXPECT_TRUE(w.list.ReadingAhead()->GiveBackDescriptors());
  };
  EXPECT_EQ(w.Run(t.path()), (std::vector<std::string>{" (0, 0, 0, 0, 2) gone parent", "gone cannot be entered",
                                                       "parent (0, 0, 0, 0, 1) x", "parent/x cannot be entered"}));
}

}  // namespace
}  // namespace kvor::platform
